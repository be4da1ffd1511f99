// Route propagation: turns gateway route propagation off on a VNet's staged route tables for the
// switch, and back on for a revert. Updates are started and not waited for.
#include "cloud.hpp"
#include "discovery.hpp"
#include "dry_run.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

const char* propagation_verb(nb::handle disable_flag) {
    return is_true(disable_flag) ? "disable" : "enable";
}

// A table that cannot be read or changed: the operator sees which one, the debug log says why.
void report_not_found(const Logger& log, nb::handle rtb_name, const std::string& error) {
    log.info("  **Alert** ", rtb_name, " not found");
    log.debug("  **Alert** ", error);
}

// Sets the wanted state on the table read from Azure and sends it back whole; shared by the
// switch and the restore so both report and write the change the same way.
void apply_propagation(nb::handle cls, const Logger& log, nb::handle network_client,
                       nb::handle rg_name, nb::handle rtb_name, nb::handle rtb,
                       nb::handle disable_flag) {
    rtb.attr("disable_bgp_route_propagation") = disable_flag;
    log.info("  ", propagation_verb(disable_flag), " propagate-gateway-route in ", rtb_name);
    if (!dry_run(cls))
        network_client.attr("route_tables").attr("begin_create_or_update")(rg_name, rtb_name, rtb);
}

nb::dict propagation_record(nb::handle vnet, nb::handle rg_name, nb::handle rtb_name,
                            nb::handle disable_flag) {
    nb::dict record;
    record["vnet"] = vnet.attr("name");
    record["resource_group"] = rg_name;
    record["route_table_name"] = rtb_name;
    record["disable_bgp_route_propagation"] = nb::bool_(!is_true(disable_flag));
    return record;
}

nb::object set_disable_route_table_propagation(nb::handle cls, nb::handle network_client,
                                               nb::handle vnet, nb::handle rtb_name,
                                               nb::handle disable_flag) {
    Logger log;
    nb::object rg_name = resource_group_of(vnet);
    return guarded(
        [&]() -> nb::object {
            nb::object rtb = read_route_table(network_client, rg_name, rtb_name);
            if (!rtb.attr("disable_bgp_route_propagation").not_equal(disable_flag))
                return nb::none();
            apply_propagation(cls, log, network_client, rg_name, rtb_name, rtb, disable_flag);
            return propagation_record(vnet, rg_name, rtb_name, disable_flag);
        },
        [&](const std::string& error) -> nb::object {
            report_not_found(log, rtb_name, error);
            return nb::none();
        });
}

nb::list set_disable_all_route_table_propagation_in_vnet(nb::handle cls, nb::handle args,
                                                         nb::handle network_client, nb::handle vnet,
                                                         nb::handle staged_udr_lst,
                                                         nb::handle rtb_target_rtb_map,
                                                         nb::handle disable_flag) {
    Logger log;
    log.info(is_true(disable_flag) ? "- Disable propagate-gateway-route in UDR route table"
                                   : "- Enable propagate-gateway-route in UDR route table");
    nb::list route_table_prop;
    nb::object rg_name = resource_group_of(vnet);
    nb::object set_one = cls.attr("setDisableRouteTablePropagation");
    auto set_on = [&](nb::handle rtb_name) {
        nb::object prop = set_one(network_client, vnet, rtb_name, disable_flag);
        if (!prop.is_none())
            route_table_prop.append(prop);
    };

    // The main tables are staged under the same prefix that discovery recognises them by.
    nb::object prefix = main_table_prefix(vnet.attr("name"));
    for (int number : {1, 2}) {
        nb::str rtb_name = main_table_name(prefix, number);
        if (contains(staged_udr_lst, staged_entry(rtb_name, rg_name)))
            set_on(rtb_name);
    }

    // Only the new tables are handled: the values of a forward pairing, the keys of a revert one.
    // The direction is asked for at each key, as callers may hand in arguments that answer
    // lazily; an empty pairing never asks.
    for (nb::handle key : rtb_target_rtb_map) {
        bool forward = equals_false(args.attr("revert"));
        set_on(forward ? item(rtb_target_rtb_map, key) : nb::borrow(key));
    }
    return route_table_prop;
}

void restore_route_table_propagation_in_vnet(nb::handle cls, nb::handle network_client,
                                             nb::handle rtb_prop_list) {
    Logger log;
    log.info("- Restore propagate-gateway-route in UDR route table");
    for (nb::handle prop : rtb_prop_list) {
        nb::object rg_name = prop["resource_group"];
        nb::object rtb_name = prop["route_table_name"];
        guarded(
            [&] {
                nb::object rtb = read_route_table(network_client, rg_name, rtb_name);
                apply_propagation(cls, log, network_client, rg_name, rtb_name, rtb,
                                  nb::bool_(false));
            },
            [&](const std::string& error) { report_not_found(log, rtb_name, error); });
    }
}

} // namespace

void register_propagation(OperationTable& table) {
    table.add("setDisableAllRouteTablePropagationInVnet",
              &set_disable_all_route_table_propagation_in_vnet, param("args"),
              param("network_client"), param("vnet"), param("stagedUdrLst"),
              param("rtb_target_rtb_map"), param("disableFlag"));
    table.add("setDisableRouteTablePropagation", &set_disable_route_table_propagation,
              param("network_client"), param("vnet"), param("rtbName"), param("disableFlag"));
    table.add("restoreRouteTablePropagationInVnet", &restore_route_table_propagation_in_vnet,
              param("network_client"), param("rtbPropList"));
}

} // namespace switchlib
