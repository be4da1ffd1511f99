#include "peering_records.hpp"

namespace switchlib {

nb::dict settings_snapshot(nb::handle peering) {
    nb::dict snapshot;
    snapshot["id"] = peering.attr("id");
    snapshot["name"] = peering.attr("name");
    snapshot["allow_virtual_network_access"] = peering.attr("allow_virtual_network_access");
    snapshot["allow_forwarded_traffic"] = peering.attr("allow_forwarded_traffic");
    snapshot["allow_gateway_transit"] = peering.attr("allow_gateway_transit");
    snapshot["use_remote_gateways"] = peering.attr("use_remote_gateways");
    nb::dict remote;
    remote["id"] = peering.attr("remote_virtual_network").attr("id");
    snapshot["remote_virtual_network"] = remote;
    return snapshot;
}

nb::dict local_record(nb::handle subscription_id, nb::handle rg_name, nb::handle vnet,
                      nb::handle peering_name, nb::handle peering_properties) {
    nb::dict record;
    record["localSubscriptionId"] = subscription_id;
    record["localRgName"] = rg_name;
    record["localVnetName"] = vnet.attr("name");
    record["localPeeringName"] = peering_name;
    record["localPeering"] = peering_properties;
    return record;
}

bool skip_foreign_peering(const Logger& log, nb::handle listed, nb::handle peering_name,
                          nb::handle exclude) {
    if (!exclude.is_none() && is_true(peering_name.attr("startswith")(exclude))) {
        log.info("  controller created peering ", peering_name, " -- skipped");
        return true;
    }
    nb::object remote_id = listed.attr("remote_virtual_network").attr("id");
    if (is_true(collaborator("vwm").attr("getVHubNameFromPeering")(remote_id))) {
        log.info("  virtual hub connection ", peering_name, " -- skipped");
        return true;
    }
    return false;
}

} // namespace switchlib
