// Route propagation: turns gateway route propagation off on a VNet's staged route tables for the
// switch, and back on for a revert. Updates are started and not waited for.
#include "discovery.hpp"
#include "operations.hpp"

namespace switchlib {

namespace {

const char* propagation_verb(nb::handle disableFlag) {
    return is_true(disableFlag) ? "disable" : "enable";
}

// A table that cannot be read or changed: the operator sees which one, the debug log says why.
void report_not_found(const Logger& log, nb::handle rtbName, const std::string& error) {
    log.info(concat("  **Alert** ", rtbName, " not found"));
    log.debug(concat("  **Alert** ", error));
}

// Sets the wanted state on the table read from Azure and sends it back whole; shared by the
// switch and the restore so both report and write the change the same way.
void apply_propagation(nb::handle cls, const Logger& log, nb::handle network_client,
                       nb::handle rgName, nb::handle rtbName, nb::handle rtbObj,
                       nb::handle disableFlag) {
    rtbObj.attr("disable_bgp_route_propagation") = disableFlag;
    log.info(concat("  ", propagation_verb(disableFlag), " propagate-gateway-route in ", rtbName));
    if (!is_true(cls.attr("DryRun")))
        network_client.attr("route_tables").attr("begin_create_or_update")(rgName, rtbName, rtbObj);
}

nb::object read_route_table(nb::handle network_client, nb::handle rgName, nb::handle rtbName) {
    return network_client.attr("route_tables").attr("get")(rgName, rtbName);
}

nb::dict propagation_record(nb::handle vnet, nb::handle rgName, nb::handle rtbName,
                            nb::handle disableFlag) {
    nb::dict record;
    record["vnet"] = vnet.attr("name");
    record["resource_group"] = rgName;
    record["route_table_name"] = rtbName;
    record["disable_bgp_route_propagation"] = nb::bool_(!is_true(disableFlag));
    return record;
}

nb::object setDisableRouteTablePropagation(nb::handle cls, nb::handle network_client,
                                           nb::handle vnet, nb::handle rtbName,
                                           nb::handle disableFlag) {
    Logger log;
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    return guarded(
        [&]() -> nb::object {
            nb::object rtbObj = read_route_table(network_client, rgName, rtbName);
            if (!differs(rtbObj.attr("disable_bgp_route_propagation"), disableFlag))
                return nb::none();
            apply_propagation(cls, log, network_client, rgName, rtbName, rtbObj, disableFlag);
            return propagation_record(vnet, rgName, rtbName, disableFlag);
        },
        [&](const std::string& error) -> nb::object {
            report_not_found(log, rtbName, error);
            return nb::none();
        });
}

nb::list setDisableAllRouteTablePropagationInVnet(nb::handle cls, nb::handle args,
                                                  nb::handle network_client, nb::handle vnet,
                                                  nb::handle stagedUdrLst,
                                                  nb::handle rtb_target_rtb_map,
                                                  nb::handle disableFlag) {
    Logger log;
    log.info(is_true(disableFlag) ? "- Disable propagate-gateway-route in UDR route table"
                                  : "- Enable propagate-gateway-route in UDR route table");
    nb::list route_table_prop;
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    auto set_on = [&](nb::handle rtbName) {
        nb::object prop =
            cls.attr("setDisableRouteTablePropagation")(network_client, vnet, rtbName, disableFlag);
        if (!prop.is_none())
            route_table_prop.append(prop);
    };

    // The main tables are staged under the same prefix that discovery recognises them by.
    nb::object prefix = main_table_prefix(vnet);
    for (int number : {1, 2}) {
        nb::str rtbName = main_table_name(prefix, number);
        if (contains(stagedUdrLst, staged_entry(rtbName, rgName)))
            set_on(rtbName);
    }

    // Only the new tables are handled: the values of a forward pairing, the keys of a revert one.
    for (nb::handle key : rtb_target_rtb_map) {
        bool forward = equals(args.attr("revert"), nb::bool_(false));
        set_on(forward ? item(rtb_target_rtb_map, key) : nb::borrow(key));
    }
    return route_table_prop;
}

nb::object restoreRouteTablePropagationInVnet(nb::handle cls, nb::handle network_client,
                                              nb::handle rtbPropList) {
    Logger log;
    log.info("- Restore propagate-gateway-route in UDR route table");
    for (nb::handle prop : rtbPropList) {
        nb::object rgName = item(prop, "resource_group");
        nb::object rtbName = item(prop, "route_table_name");
        guarded(
            [&] {
                nb::object rtbObj = read_route_table(network_client, rgName, rtbName);
                apply_propagation(cls, log, network_client, rgName, rtbName, rtbObj,
                                  nb::bool_(false));
            },
            [&](const std::string& error) { report_not_found(log, rtbName, error); });
    }
    return nb::none();
}

} // namespace

void register_propagation(OperationTable& operations) {
    operations.add("setDisableAllRouteTablePropagationInVnet",
                   &setDisableAllRouteTablePropagationInVnet, param("args"),
                   param("network_client"), param("vnet"), param("stagedUdrLst"),
                   param("rtb_target_rtb_map"), param("disableFlag"));
    operations.add("setDisableRouteTablePropagation", &setDisableRouteTablePropagation,
                   param("network_client"), param("vnet"), param("rtbName"), param("disableFlag"));
    operations.add("restoreRouteTablePropagationInVnet", &restoreRouteTablePropagationInVnet,
                   param("network_client"), param("rtbPropList"));
}

} // namespace switchlib
