// Discovery helpers that the switch-over and propagation steps share.
#pragma once

#include "collaborators.hpp"

namespace switchlib {

// True when the subnet is one the walks never touch: an Azure-reserved name or a NetApp
// delegation. The skip line is logged here, so every walk reports it with the same text.
bool skip_reserved_subnet(const Logger& log, nb::handle subnet);

// The prefix P of the VNet's two main route tables: the configured one, else the VNet's name.
nb::object main_table_prefix(nb::handle vnet);

// An entry of the staged route-table list: "<name>:<resource group>".
nb::str staged_entry(nb::handle name, nb::handle resource_group);

// "<P>-main-<number>".
nb::str main_table_name(nb::handle prefix, int number);

} // namespace switchlib
