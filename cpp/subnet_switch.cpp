// Subnet switch-over: moves every subnet of a VNet from its old route table to the staged one,
// emitting a Terraform association for each, and moves it back on revert. Both directions share
// the walk, the filters and the write-back; only the choice of the target table differs.
#include "cloud.hpp"
#include "discovery.hpp"
#include "dry_run.hpp"
#include "registration.hpp"

#include <algorithm>

namespace switchlib {

namespace {

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

// The controller's own spoke-gateway subnets keep the route table the controller gave them.
bool skip_spoke_subnet(const Logger& log, nb::handle subnet) {
    nb::object name = subnet.attr("name");
    for (nb::handle fragment : collaborator("dl").attr("lumaflowSpokeSubnetNames")) {
        if (contains(name, fragment)) {
            log.info("  spoke gw subnet ", name, " -- skipped");
            return true;
        }
    }
    return false;
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
        prefix_ = main_table_prefix(vnet_);

        const bool forward = equals_false(revert_);
        for (nb::handle subnet : subnets) {
            if (skip_reserved_subnet(log_, subnet))
                continue;
            Target target = forward ? forward_target(subnet) : revert_target(subnet);
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
        default_rtb_name_ = nb::none();
        default_rtb_ = nb::none();
        nb::object suffix = yaml_["default_route_table"];
        if (suffix.is_none())
            return;
        default_rtb_name_ = as_str(concat(vnet_name_, "-", suffix));
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

    bool without_own_table(nb::handle subnet) const {
        nb::object current = subnet.attr("route_table");
        if (current.is_none())
            return true;
        return !default_rtb_name_.is_none() &&
               last_segment(current.attr("id")).equal(default_rtb_name_);
    }

    Target forward_target(nb::handle subnet) {
        return without_own_table(subnet) ? to_main_table(subnet) : to_staged_table(subnet);
    }

    // Subnets without a table of their own are dealt out to the two main tables in turn.
    Target to_main_table(nb::handle subnet) {
        nb::object name = subnet.attr("name");
        if (is_false_object(yaml_["migrate_non_associated_subnet"])) {
            log_.info("  subnet ", name, " without route table association -- skipped");
            return Target::skipped();
        }
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

    Target to_staged_table(nb::handle subnet) {
        if (skip_spoke_subnet(log_, subnet))
            return Target::skipped();
        nb::object name = subnet.attr("name");
        nb::object rtb_name = last_segment(subnet.attr("route_table").attr("id"));
        if (!contains(rtb_target_rtb_map_, rtb_name)) {
            log_.warning("  **Alert** ", name, " associated to ", rtb_name,
                         " not copied -- skipped");
            return Target::skipped();
        }
        nb::object new_rtb_name = item(rtb_target_rtb_map_, rtb_name);
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

void register_subnet_switch(OperationTable& table) {
    table.add("updateSubnetAssociation", &update_subnet_association, param("yaml"), param("revert"),
              param("network_client"), param("vnet"), param("rtb_target_rtb_map"),
              param("orgRouteTableInfo"));
}

} // namespace switchlib
