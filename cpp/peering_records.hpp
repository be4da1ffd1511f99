// What the peering steps share: the settings snapshot of a peering end, the local half of the
// records they return, and the walk over a VNet's own peerings.
#pragma once

#include "collaborators.hpp"

namespace switchlib {

// The settings of one peering end, as plain data: the driver keeps it between the forward and
// the revert run, and it goes back to Azure unchanged as the body that re-creates the peering.
nb::dict settings_snapshot(nb::handle peering);

// The local half of a peering record, shared by the peering-pair and the peeringProp records.
nb::dict local_record(nb::handle subscription_id, nb::handle rg_name, nb::handle vnet,
                      nb::handle peering_name, nb::handle peering_properties);

// True for the peerings that are never touched: those the controller created (by name prefix)
// and connections to a virtual hub, which go with the hub connection itself.
bool skip_foreign_peering(const Logger& log, nb::handle listed, nb::handle peering_name,
                          nb::handle exclude);

// Calls `handle(peering_name)` for each of the VNet's own peerings, in list order, after the
// step header; the controller's peerings and hub connections are skipped with their lines.
template <typename Handle>
void for_each_own_peering(const Logger& log, nb::handle vnet, const char* header,
                          nb::handle exclude, Handle&& handle) {
    log.info(header);
    nb::object listed_peerings = vnet.attr("virtual_network_peerings");
    nb::list peerings(listed_peerings); // list(...), not a cast of the accessor
    if (peerings.size() == 0)
        log.info("  No peering found");
    for (nb::handle listed : peerings) {
        nb::object peering_name = listed.attr("name");
        if (!skip_foreign_peering(log, listed, peering_name, exclude))
            handle(peering_name);
    }
}

} // namespace switchlib
