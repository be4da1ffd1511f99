// Discovery helpers that the switch-over and propagation steps share.
#pragma once

#include "collaborators.hpp"

namespace switchlib {

// Why the walks never touch a subnet, whatever its route table: an Azure-reserved name or a
// NetApp delegation; `none` for an ordinary subnet.
enum class ReservedSubnet { none, azure_name, netapp };
ReservedSubnet reserved_subnet(nb::handle subnet, nb::handle name);

// The skip line of a reserved subnet, the same in every walk.
void log_reserved_subnet(const Logger& log, ReservedSubnet reason, nb::handle name);

// True when the subnet is reserved; its skip line is logged.
bool skip_reserved_subnet(const Logger& log, nb::handle subnet);

// The prefix P of the VNet's two main route tables: the configured one, else the VNet's name.
nb::object main_table_prefix(nb::handle vnet_name);

// An entry of the staged route-table list: "<name>:<resource group>".
nb::str staged_entry(nb::handle name, nb::handle resource_group);

// "<P>-main-<number>", for number 1 or 2.
nb::str main_table_name(nb::handle prefix, int number);

} // namespace switchlib
