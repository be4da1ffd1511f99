// Subnet switch-over: moves every subnet of a VNet from its old route table to the staged one,
// emitting a Terraform association for each, and moves it back on revert. Both directions share
// the walk, the filters and the write-back; only the choice of the target table differs.
#include "discovery.hpp"
#include "operations.hpp"

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
            log.info(concat("  spoke gw subnet ", name, " -- skipped"));
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
        nb::object groups = item(yaml_, "subnet_in_subnet_groups");
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
                 nb::handle vnet, nb::handle rtb_target_rtb_map, nb::handle orgRouteTableInfo)
        : cls_(cls), yaml_(yaml), revert_(revert), network_client_(network_client), vnet_(vnet),
          rtb_target_rtb_map_(rtb_target_rtb_map), orgRouteTableInfo_(orgRouteTableInfo),
          groups_(yaml) {}

    void run() {
        log_.info("- Switch subnet to route-table association");
        rgName_ = id_segment(vnet_.attr("id"), "RG_I");
        vnetName_ = vnet_.attr("name");
        nb::list subnets = to_list(subnets_api().attr("list")(rgName_, vnetName_));
        find_default_table();
        item(yaml_, "subscriptionId"); // required, though its value is not used
        subscriptionInfo_ = item(yaml_, "subscriptionInfo");
        prefix_ = main_table_prefix(vnet_);

        const bool forward = equals(revert_, nb::bool_(false));
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
    nb::object route_table(nb::handle rg, nb::handle name) const {
        return network_client_.attr("route_tables").attr("get")(rg, name);
    }

    void find_default_table() {
        defaultRtbName_ = nb::none();
        defaultRtbObj_ = nb::none();
        nb::object suffix = item(yaml_, "default_route_table");
        if (suffix.is_none())
            return;
        defaultRtbName_ = as_str(concat(vnetName_, "-", suffix));
        defaultRtbObj_ =
            guarded([&] { return route_table(rgName_, defaultRtbName_); },
                    [&](const std::string& error) {
                        log_.info(concat("  **Alert** ", defaultRtbName_, " not found"));
                        log_.debug(concat("  **Alert** ", error));
                        return nb::none();
                    });
    }

    // Each change is waited for before the next subnet, so a failure leaves a clear boundary
    // between the subnets already switched and those still untouched.
    void write_back(nb::handle subnet, nb::handle table) {
        subnet.attr("route_table") = table;
        if (is_true(cls_.attr("DryRun")))
            return;
        subnets_api()
            .attr("begin_create_or_update")(rgName_, vnetName_, subnet.attr("name"), subnet)
            .attr("result")();
    }

    // -- forward ------------------------------------------------------------------------------

    bool without_own_table(nb::handle subnet) const {
        nb::object current = subnet.attr("route_table");
        if (current.is_none())
            return true;
        return !defaultRtbName_.is_none() &&
               equals(last_segment(current.attr("id")), defaultRtbName_);
    }

    Target forward_target(nb::handle subnet) {
        return without_own_table(subnet) ? to_main_table(subnet) : to_staged_table(subnet);
    }

    // Subnets without a table of their own are dealt out to the two main tables in turn.
    Target to_main_table(nb::handle subnet) {
        nb::object name = subnet.attr("name");
        if (is_false_object(item(yaml_, "migrate_non_associated_subnet"))) {
            log_.info(concat("  subnet ", name, " without route table association -- skipped"));
            return Target::skipped();
        }
        const int index = num_ % 2;
        nb::str newRtbName = main_table_name(prefix_, index + 1);
        std::string routeTableRef =
            concat("module.", vnetName_, ".azurerm_route_table_lumaflow_managed_main[",
                   std::to_string(index), "].id");
        ++num_;
        nb::object newRtbObj = guarded([&] { return route_table(rgName_, newRtbName); },
                                       [&](const std::string& error) {
                                           log_.error(concat("  **Error** ", error));
                                           return nb::object();
                                       });
        if (!newRtbObj.is_valid())
            return Target::stopped();
        log_.info(concat("  associate ", name, " to ", newRtbName));
        emit_association(subnet, newRtbObj, routeTableRef);
        return Target::to(newRtbObj);
    }

    Target to_staged_table(nb::handle subnet) {
        if (skip_spoke_subnet(log_, subnet))
            return Target::skipped();
        nb::object name = subnet.attr("name");
        nb::object rtbName = last_segment(subnet.attr("route_table").attr("id"));
        if (!contains(rtb_target_rtb_map_, rtbName)) {
            log_.warning(
                concat("  **Alert** ", name, " associated to ", rtbName, " not copied -- skipped"));
            return Target::skipped();
        }
        nb::object newRtbName = item(rtb_target_rtb_map_, rtbName);
        if (shared_table_replication()) {
            nb::object infos =
                item(collaborator("tf").attr("readDiscoveryInfo")(), "rtbSubnetGwGroupInfos");
            nb::object vnetId = vnet_.attr("id");
            if (!contains(infos, vnetId)) {
                log_.error(concat("  fail to reassociate ", name, " - no ", vnet_,
                                  " info found in discovery.json"));
                return Target::skipped();
            }
            for (nb::handle entry : item(item(infos, vnetId), rtbName)) {
                if (equals(item(entry, "subnetId"), name)) {
                    newRtbName = item(entry, "rtbName");
                    break;
                }
            }
        }
        nb::object newRtbObj = route_table(rgName_, newRtbName);
        log_.info(concat("  switch ", name, " from ", rtbName, " to ", newRtbName));
        std::string routeTableRef = concat(
            "module.", vnetName_, ".azurerm_route_table_lumaflow_managed[\"", newRtbName, "\"].id");
        emit_association(subnet, newRtbObj, routeTableRef);
        return Target::to(newRtbObj);
    }

    bool shared_table_replication() const {
        nb::object setting = collaborator("yctx")().attr("getGlobalContext")(
            "configure_shared_route_table_replication");
        return greater(setting, nb::int_(0));
    }

    void emit_association(nb::handle subnet, nb::handle table, const std::string& routeTableRef) {
        nb::object name = subnet.attr("name");
        if (groups_.has(name))
            return; // switched in Azure, but their association lives with the subnet group
        std::string subnetResourceName = resource_name(concat(vnetName_, "_", name));
        nb::dict record;
        record["vnet_name"] = vnetName_;
        record["subnet_id"] = subnet.attr("id");
        record["subnet_ref"] = as_str(concat("azurerm_subnet.", subnetResourceName, ".id"));
        record["route_table_id"] = table.attr("id");
        record["route_table_ref"] = as_str(routeTableRef);
        record["rname"] =
            as_str(resource_name(concat(vnetName_, "_", name, "_", table.attr("name"))));
        record["provider"] = item(subscriptionInfo_, "alias");
        collaborator("tf").attr("createSubnetAssociationTf")(record);
    }

    // -- revert -------------------------------------------------------------------------------

    Target revert_target(nb::handle subnet) {
        nb::object name = subnet.attr("name");
        nb::object current = subnet.attr("route_table");
        if (equals(current, nb::none())) {
            log_.warning(concat("  **Alert** Subnet ", name,
                                " without route table detected during revert traffic -- skipped"));
            return Target::skipped();
        }
        if (skip_spoke_subnet(log_, subnet))
            return Target::skipped();
        nb::object rtbName = last_segment(current.attr("id"));
        nb::str main_route_table = as_str(concat(prefix_, "-main-"));
        if (is_true(rtbName.attr("startswith")(main_route_table))) {
            // Without a default table the subnet goes back to no association at all.
            nb::handle shown = defaultRtbObj_.is_none() ? nb::handle(Py_None) : defaultRtbName_;
            log_.info(concat("  re-associate ", name, " from ", rtbName, " to ", shown));
            return Target::to(defaultRtbObj_);
        }
        if (!contains(rtb_target_rtb_map_, rtbName)) {
            log_.warning(concat("  **Alert** ", name, " is using a route table ", rtbName,
                                " that has not been copied -- skipped"));
            return Target::skipped();
        }
        nb::object newRtbName = item(rtb_target_rtb_map_, rtbName);
        nb::object newRtbObj = guarded(
            [&] {
                if (!contains(orgRouteTableInfo_, newRtbName)) {
                    log_.warning(
                        concat("  **Alert** ", rtbName, " region info not found -- skipped"));
                    return nb::object();
                }
                nb::object rtRgName =
                    id_segment(item(orgRouteTableInfo_, newRtbName).attr("id"), "RG_I");
                return route_table(rtRgName, newRtbName);
            },
            [&](const std::string& error) {
                log_.error(concat("  **Error** ", error));
                return nb::object();
            });
        if (!newRtbObj.is_valid())
            return Target::skipped();
        log_.info(concat("  switch ", name, " from ", rtbName, " to ", newRtbName));
        return Target::to(newRtbObj);
    }

    Logger log_;
    nb::handle cls_, yaml_, revert_, network_client_, vnet_, rtb_target_rtb_map_,
        orgRouteTableInfo_;
    SubnetGroups groups_;
    nb::object rgName_, vnetName_, defaultRtbName_, defaultRtbObj_, subscriptionInfo_, prefix_;
    int num_ = 0;
};

nb::object updateSubnetAssociation(nb::handle cls, nb::handle yaml, nb::handle revert,
                                   nb::handle network_client, nb::handle vnet,
                                   nb::handle rtb_target_rtb_map, nb::handle orgRouteTableInfo) {
    SubnetSwitch(cls, yaml, revert, network_client, vnet, rtb_target_rtb_map, orgRouteTableInfo)
        .run();
    return nb::none();
}

} // namespace

void register_subnet_switch(OperationTable& operations) {
    operations.add("updateSubnetAssociation", &updateSubnetAssociation, param("yaml"),
                   param("revert"), param("network_client"), param("vnet"),
                   param("rtb_target_rtb_map"), param("orgRouteTableInfo"));
}

} // namespace switchlib
