// The Azure management clients, built afresh for every use through the module's client names:
// nothing is cached between calls, and a replaced name (a fake, an endpoint-aware client) is
// honoured at once.
#pragma once

#include "collaborators.hpp"

namespace switchlib {

// The tool's credential for a subscription, or None when it has none.
nb::object credential_for(nb::handle subscription_id);

// The credential for the subscription a record names under `key`. The configuration context
// is made before the key is read, as YamlContext().generateAzureCredential(record[key]) does,
// so a record without the key fails after the context, not before it.
nb::object credential_for_record(nb::handle record, nb::handle key);

// NetworkManagementClient(cred.getCSC(), cred.getSubId())
nb::object network_client_for(nb::handle cred);

// ManagementLockClient(cred.getSPC(), cred.getSubId())
nb::object lock_client_for(nb::handle cred);

// network_client.route_tables.get(rg_name, rtb_name)
inline nb::object read_route_table(nb::handle network_client, nb::handle rg_name,
                                   nb::handle rtb_name) {
    return network_client.attr("route_tables").attr("get")(rg_name, rtb_name);
}

// network_client.virtual_network_peerings
inline nb::object peerings_of(nb::handle network_client) {
    return network_client.attr("virtual_network_peerings");
}

} // namespace switchlib
