// Subnet switch-over: moves every subnet of a VNet from its old route table to the staged one,
// emitting a Terraform association for each, and moves it back on revert. Both directions share
// the walk, the filters and the write-back; only the choice of the target table differs.
#include "cloud.hpp"
#include "discovery.hpp"
#include "dry_run.hpp"
#include "helpers.hpp"
#include "registration.hpp"

#include <algorithm>

namespace switchlib {

namespace {

// Where the forward walk sends one subnet, before any table is fetched: the filters and the
// pairing, which the driver asks for too (forward_switch_target). The main-table alternation
// and the shared-replication lookup stay with the walk.
struct ForwardDecision {
    enum Kind { reserved, netapp, spoke_gateway, not_migrated, not_copied, main, staged } kind;
    nb::object current; // for `not_copied` and `staged`: the subnet's route-table name
    nb::object target;  // for `staged`: rtb_target_rtb_map[current]
};

const char* kind_name(ForwardDecision::Kind kind) {
    switch (kind) {
    case ForwardDecision::reserved:
        return "reserved";
    case ForwardDecision::netapp:
        return "netapp";
    case ForwardDecision::spoke_gateway:
        return "spoke_gateway";
    case ForwardDecision::not_migrated:
        return "not_migrated";
    case ForwardDecision::not_copied:
        return "not_copied";
    case ForwardDecision::main:
        return "main";
    case ForwardDecision::staged:
        return "staged";
    }
    return "";
}

// The controller's own spoke-gateway subnets keep the route table the controller gave them.
bool is_spoke_subnet(nb::handle name) {
    for (nb::handle fragment : collaborator("dl").attr("lumaflowSpokeSubnetNames")) {
        if (contains(name, fragment))
            return true;
    }
    return false;
}

bool skip_spoke_subnet(const Logger& log, nb::handle subnet) {
    nb::object name = subnet.attr("name");
    if (!is_spoke_subnet(name))
        return false;
    log.info("  spoke gw subnet ", name, " -- skipped");
    return true;
}

// "<vnet name>-<default_route_table>", or None when no default table is configured.
nb::object default_table_name(nb::handle yaml, nb::handle vnet_name) {
    nb::object suffix = yaml["default_route_table"];
    if (suffix.is_none())
        return nb::none();
    return as_str(concat(vnet_name, "-", suffix));
}

// The forward rules of one VNet. "migrate_non_associated_subnet" is looked up only when a subnet
// without its own table asks for it, as a configuration without subnets of that kind need not
// carry the key.
class ForwardRules {
  public:
    ForwardRules(nb::handle yaml, nb::handle rtb_target_rtb_map, nb::object default_rtb_name)
        : yaml_(yaml), rtb_target_rtb_map_(rtb_target_rtb_map),
          default_rtb_name_(std::move(default_rtb_name)) {}

    ForwardDecision decide(nb::handle subnet, nb::handle name) const {
        switch (reserved_subnet(subnet, name)) {
        case ReservedSubnet::azure_name:
            return {ForwardDecision::reserved, {}, {}};
        case ReservedSubnet::netapp:
            return {ForwardDecision::netapp, {}, {}};
        case ReservedSubnet::none:
            break;
        }
        nb::object route_table = subnet.attr("route_table");
        if (without_own_table(route_table)) {
            // Identity with False: 0 or None still migrates.
            if (is_false_object(yaml_["migrate_non_associated_subnet"]))
                return {ForwardDecision::not_migrated, {}, {}};
            return {ForwardDecision::main, {}, {}};
        }
        if (is_spoke_subnet(name))
            return {ForwardDecision::spoke_gateway, {}, {}};
        nb::object current = last_segment(route_table.attr("id"));
        if (!contains(rtb_target_rtb_map_, current))
            return {ForwardDecision::not_copied, current, {}};
        nb::object staged = item(rtb_target_rtb_map_, current);
        return {ForwardDecision::staged, current, staged};
    }

  private:
    // No table, or the VNet's default table: such subnets go to a main table.
    bool without_own_table(nb::handle route_table) const {
        if (route_table.is_none())
            return true;
        return !default_rtb_name_.is_none() &&
               last_segment(route_table.attr("id")).equal(default_rtb_name_);
    }

    nb::handle yaml_, rtb_target_rtb_map_;
    nb::object default_rtb_name_;
};

// What a branch decided for one subnet.
struct Target {
    enum Kind { skip, write, stop } kind;
    nb::object table; // for `write`: the route table to associate, or None for no association

    static Target skipped() { return {skip, nb::object()}; }
    static Target stopped() { return {stop, nb::object()}; }
    static Target to(nb::object table) { return {write, std::move(table)}; }
};

// Terraform resource names cannot hold dots.
std::string resource_name(std::string name) {
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

// `name in yaml["subnet_in_subnet_groups"]`, with the key looked up when first needed. A list
// of names is turned into a set once, so that a VNet with thousands of grouped subnets is not
// walked name by name for every subnet; any other collection keeps Python's own `in`.
class SubnetGroups {
  public:
    explicit SubnetGroups(nb::handle yaml) : yaml_(yaml) {}

    bool has(nb::handle name) {
        if (!members_.is_valid())
            members_ = lookup();
        return contains(members_, name);
    }

  private:
    nb::object lookup() const {
        nb::object groups = yaml_["subnet_in_subnet_groups"];
        if (!PyList_CheckExact(groups.ptr()) && !PyTuple_CheckExact(groups.ptr()))
            return groups;
        for (nb::handle member : groups) {
            if (!PyUnicode_CheckExact(member.ptr()))
                return groups;
        }
        return checked(PyFrozenSet_New(groups.ptr()));
    }

    nb::handle yaml_;
    nb::object members_;
};

class SubnetSwitch {
  public:
    SubnetSwitch(nb::handle cls, nb::handle yaml, nb::handle revert, nb::handle network_client,
                 nb::handle vnet, nb::handle rtb_target_rtb_map, nb::handle org_route_table_info)
        : cls_(cls), yaml_(yaml), revert_(revert), network_client_(network_client), vnet_(vnet),
          rtb_target_rtb_map_(rtb_target_rtb_map), org_route_table_info_(org_route_table_info),
          groups_(yaml) {}

    void run() {
        log_.info("- Switch subnet to route-table association");
        rg_name_ = resource_group_of(vnet_);
        vnet_name_ = vnet_.attr("name");
        nb::list subnets(subnets_api().attr("list")(rg_name_, vnet_name_));
        find_default_table();
        nb::object subscription_id = yaml_["subscriptionId"]; // required, though not used
        subscription_info_ = yaml_["subscriptionInfo"];
        prefix_ = main_table_prefix(vnet_name_);

        const bool forward = equals_false(revert_);
        ForwardRules rules(yaml_, rtb_target_rtb_map_, default_rtb_name_);
        for (nb::handle subnet : subnets) {
            Target target = forward ? forward_target(rules, subnet) : revert_target(subnet);
            if (target.kind == Target::stop)
                return; // without its main tables the VNet cannot be switched: touch no more
            if (target.kind == Target::write)
                write_back(subnet, target.table);
        }
        cls_.attr("discoverSubnets")(network_client_, vnet_);
    }

  private:
    nb::object subnets_api() const { return network_client_.attr("subnets"); }

    void find_default_table() {
        default_rtb_ = nb::none();
        default_rtb_name_ = default_table_name(yaml_, vnet_name_);
        if (default_rtb_name_.is_none())
            return;
        default_rtb_ =
            guarded([&] { return read_route_table(network_client_, rg_name_, default_rtb_name_); },
                    [&](const std::string& error) {
                        log_.info("  **Alert** ", default_rtb_name_, " not found");
                        log_.debug("  **Alert** ", error);
                        return nb::none();
                    });
    }

    // Each change is waited for before the next subnet, so a failure leaves a clear boundary
    // between the subnets already switched and those still untouched.
    void write_back(nb::handle subnet, nb::handle table) {
        subnet.attr("route_table") = table;
        if (dry_run(cls_))
            return;
        subnets_api()
            .attr("begin_create_or_update")(rg_name_, vnet_name_, subnet.attr("name"), subnet)
            .attr("result")();
    }

    // -- forward ------------------------------------------------------------------------------

    Target forward_target(const ForwardRules& rules, nb::handle subnet) {
        nb::object name = subnet.attr("name");
        ForwardDecision decision = rules.decide(subnet, name);
        switch (decision.kind) {
        case ForwardDecision::reserved:
            log_reserved_subnet(log_, ReservedSubnet::azure_name, name);
            break;
        case ForwardDecision::netapp:
            log_reserved_subnet(log_, ReservedSubnet::netapp, name);
            break;
        case ForwardDecision::not_migrated:
            log_.info("  subnet ", name, " without route table association -- skipped");
            break;
        case ForwardDecision::spoke_gateway:
            log_.info("  spoke gw subnet ", name, " -- skipped");
            break;
        case ForwardDecision::not_copied:
            log_.warning("  **Alert** ", name, " associated to ", decision.current,
                         " not copied -- skipped");
            break;
        case ForwardDecision::main:
            return to_main_table(subnet, name);
        case ForwardDecision::staged:
            return to_staged_table(subnet, name, decision.current, decision.target);
        }
        return Target::skipped();
    }

    // Subnets without a table of their own are dealt out to the two main tables in turn.
    Target to_main_table(nb::handle subnet, nb::handle name) {
        const int index = num_ % 2;
        nb::str new_rtb_name = main_table_name(prefix_, index + 1);
        std::string route_table_ref =
            concat("module.", vnet_name_, ".azurerm_route_table_lumaflow_managed_main[",
                   std::to_string(index), "].id");
        ++num_;
        nb::object new_rtb =
            guarded([&] { return read_route_table(network_client_, rg_name_, new_rtb_name); },
                    [&](const std::string& error) {
                        log_.error("  **Error** ", error);
                        return nb::object();
                    });
        if (!new_rtb.is_valid())
            return Target::stopped();
        log_.info("  associate ", name, " to ", new_rtb_name);
        emit_association(subnet, new_rtb, route_table_ref);
        return Target::to(new_rtb);
    }

    Target to_staged_table(nb::handle subnet, nb::handle name, nb::handle rtb_name,
                           nb::object new_rtb_name) {
        if (shared_table_replication()) {
            nb::object infos =
                collaborator("tf").attr("readDiscoveryInfo")()["rtbSubnetGwGroupInfos"];
            nb::object vnet_id = vnet_.attr("id");
            if (!contains(infos, vnet_id)) {
                log_.error("  fail to reassociate ", name, " - no ", vnet_,
                           " info found in discovery.json");
                return Target::skipped();
            }
            for (nb::handle entry : item(item(infos, vnet_id), rtb_name)) {
                if (entry["subnetId"].equal(name)) {
                    new_rtb_name = entry["rtbName"];
                    break;
                }
            }
        }
        nb::object new_rtb = read_route_table(network_client_, rg_name_, new_rtb_name);
        log_.info("  switch ", name, " from ", rtb_name, " to ", new_rtb_name);
        std::string route_table_ref =
            concat("module.", vnet_name_, ".azurerm_route_table_lumaflow_managed[\"", new_rtb_name,
                   "\"].id");
        emit_association(subnet, new_rtb, route_table_ref);
        return Target::to(new_rtb);
    }

    bool shared_table_replication() const {
        nb::object setting = collaborator("yctx")().attr("getGlobalContext")(
            "configure_shared_route_table_replication");
        return setting > nb::int_(0);
    }

    void emit_association(nb::handle subnet, nb::handle table, const std::string& route_table_ref) {
        nb::object name = subnet.attr("name");
        if (groups_.has(name))
            return; // switched in Azure, but their association lives with the subnet group
        std::string subnet_resource_name = resource_name(concat(vnet_name_, "_", name));
        nb::dict record;
        record["vnet_name"] = vnet_name_;
        record["subnet_id"] = subnet.attr("id");
        record["subnet_ref"] = as_str(concat("azurerm_subnet.", subnet_resource_name, ".id"));
        record["route_table_id"] = table.attr("id");
        record["route_table_ref"] = as_str(route_table_ref);
        record["rname"] =
            as_str(resource_name(concat(vnet_name_, "_", name, "_", table.attr("name"))));
        record["provider"] = subscription_info_["alias"];
        collaborator("tf").attr("createSubnetAssociationTf")(record);
    }

    // -- revert -------------------------------------------------------------------------------

    Target revert_target(nb::handle subnet) {
        if (skip_reserved_subnet(log_, subnet))
            return Target::skipped();
        nb::object name = subnet.attr("name");
        nb::object current = subnet.attr("route_table");
        if (current.equal(nb::none())) {
            log_.warning("  **Alert** Subnet ", name,
                         " without route table detected during revert traffic -- skipped");
            return Target::skipped();
        }
        if (skip_spoke_subnet(log_, subnet))
            return Target::skipped();
        nb::object rtb_name = last_segment(current.attr("id"));
        nb::str main_route_table = as_str(concat(prefix_, "-main-"));
        if (is_true(rtb_name.attr("startswith")(main_route_table))) {
            // Without a default table the subnet goes back to no association at all.
            nb::handle shown = default_rtb_.is_none() ? nb::handle(Py_None) : default_rtb_name_;
            log_.info("  re-associate ", name, " from ", rtb_name, " to ", shown);
            return Target::to(default_rtb_);
        }
        if (!contains(rtb_target_rtb_map_, rtb_name)) {
            log_.warning("  **Alert** ", name, " is using a route table ", rtb_name,
                         " that has not been copied -- skipped");
            return Target::skipped();
        }
        nb::object new_rtb_name = item(rtb_target_rtb_map_, rtb_name);
        nb::object new_rtb = guarded(
            [&] {
                if (!contains(org_route_table_info_, new_rtb_name)) {
                    log_.warning("  **Alert** ", rtb_name, " region info not found -- skipped");
                    return nb::object();
                }
                nb::object old_table = item(org_route_table_info_, new_rtb_name);
                return read_route_table(network_client_, resource_group_of(old_table),
                                        new_rtb_name);
            },
            [&](const std::string& error) {
                log_.error("  **Error** ", error);
                return nb::object();
            });
        if (!new_rtb.is_valid())
            return Target::skipped();
        log_.info("  switch ", name, " from ", rtb_name, " to ", new_rtb_name);
        return Target::to(new_rtb);
    }

    Logger log_;
    nb::handle cls_, yaml_, revert_, network_client_, vnet_, rtb_target_rtb_map_,
        org_route_table_info_;
    SubnetGroups groups_;
    nb::object rg_name_, vnet_name_, default_rtb_name_, default_rtb_, subscription_info_, prefix_;
    int num_ = 0;
};

void update_subnet_association(nb::handle cls, nb::handle yaml, nb::handle revert,
                               nb::handle network_client, nb::handle vnet,
                               nb::handle rtb_target_rtb_map, nb::handle org_route_table_info) {
    SubnetSwitch(cls, yaml, revert, network_client, vnet, rtb_target_rtb_map, org_route_table_info)
        .run();
}

} // namespace

// The forward walk's decision for one subnet, for the driver to know before the run which subnets
// the switch moves and where: (kind, staged table name or None).
nb::tuple forward_switch_target(nb::handle yaml, nb::handle vnet, nb::handle subnet,
                                nb::handle rtb_target_rtb_map) {
    ForwardRules rules(yaml, rtb_target_rtb_map, default_table_name(yaml, vnet.attr("name")));
    ForwardDecision decision = rules.decide(subnet, subnet.attr("name"));
    nb::object table = decision.kind == ForwardDecision::staged ? decision.target : nb::none();
    return nb::make_tuple(kind_name(decision.kind), table);
}

void register_subnet_switch(OperationTable& table) {
    table.add("updateSubnetAssociation", &update_subnet_association, param("yaml"), param("revert"),
              param("network_client"), param("vnet"), param("rtb_target_rtb_map"),
              param("orgRouteTableInfo"));
}

} // namespace switchlib
