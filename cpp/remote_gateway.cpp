// Remote-gateway use: stops the VNet's peerings from using the hub's gateway, and restores the
// setting from the records. Updates are started and not waited for.
#include "cloud.hpp"
#include "dry_run.hpp"
#include "peering_records.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

// Starts the update of a peering and leaves it running.
void start_peering_update(nb::handle cls, nb::handle network_client, nb::handle rg_name,
                          nb::handle vnet_name, nb::handle peering_name, nb::handle peering) {
    if (!dry_run(cls))
        peerings_of(network_client)
            .attr("begin_create_or_update")(rg_name, vnet_name, peering_name, peering);
}

nb::list disable_use_remote_gw_in_peering(nb::handle cls, nb::handle subscription_id,
                                          nb::handle local_network_client, nb::handle vnet,
                                          nb::handle exclude) {
    Logger log;
    nb::list peering_prop_list;
    nb::object rg_name = resource_group_of(vnet);
    const char* header = "- Disable use_remote_gateways in peerings";
    for_each_own_peering(log, vnet, header, exclude, [&](nb::handle peering_name) {
        guarded(
            [&] {
                nb::object vnet_name = vnet.attr("name");
                nb::object peering =
                    peerings_of(local_network_client).attr("get")(rg_name, vnet_name, peering_name);
                if (peering.attr("use_remote_gateways").not_equal(nb::bool_(true)))
                    return;
                log.info("  disable use_remote_gateways in peering ", peering_name);
                nb::dict peering_properties = settings_snapshot(peering);
                peering.attr("use_remote_gateways") = false;
                start_peering_update(cls, local_network_client, rg_name, vnet_name, peering_name,
                                     peering);
                peering_prop_list.append(
                    local_record(subscription_id, rg_name, vnet, peering_name, peering_properties));
            },
            [&](const std::string& error) { log.warning("  **Alert** ", error); });
    });
    return peering_prop_list;
}

void restore_use_remote_gw_in_peering(nb::handle cls, nb::handle local_network_client,
                                      nb::handle peering_prop_list) {
    Logger log;
    log.info("- Restore use_remote_gateways in peering");
    nb::list records(peering_prop_list);
    if (records.size() == 0) {
        log.info("  no peering needs to be restored");
        return;
    }
    for (nb::handle peering_prop : records) {
        nb::object rg_name = peering_prop["localRgName"];
        nb::object peering_name = peering_prop["localPeeringName"];
        nb::object vnet_name = peering_prop["localVnetName"];
        nb::object flag = peering_prop["localPeering"]["use_remote_gateways"];
        guarded(
            [&] {
                nb::object peering =
                    peerings_of(local_network_client).attr("get")(rg_name, vnet_name, peering_name);
                log.info("  set use_remote_gateways to ", flag, " in ", peering_name);
                peering.attr("use_remote_gateways") = flag;
                start_peering_update(cls, local_network_client, rg_name, vnet_name, peering_name,
                                     peering);
            },
            [&](const std::string& error) { log.warning("  **Alert** ", error); });
    }
}

} // namespace

void register_remote_gateway(OperationTable& table) {
    table.add("disableUseRemoteGwInPeering", &disable_use_remote_gw_in_peering,
              param("subscriptionId"), param("local_network_client"), param("vnet"),
              param("exclude", nb::none()));
    table.add("restoreUseRemoteGwInPeering", &restore_use_remote_gw_in_peering,
              param("local_network_client"), param("peeringPropList"));
}

} // namespace switchlib
