// Module-level helpers: the rules that the operations apply, for the driver to know beforehand
// what an operation will do. Each is the very function the operation itself uses.
#pragma once

#include "python.hpp"

namespace switchlib {

// The VNet's two main route tables, "<P>-main-1" and "<P>-main-2".
nb::list main_table_names(nb::handle vnet_name);

// The forward switch's decision for one subnet: (kind, staged table name or None).
nb::tuple forward_switch_target(nb::handle yaml, nb::handle vnet, nb::handle subnet,
                                nb::handle rtb_target_rtb_map);

// Of a lock listing (any iterable), the lock the removal deletes, or None.
nb::object lock_to_remove(nb::handle locks);

// Defines the helpers on the module.
void register_helpers(nb::module_& module);

} // namespace switchlib
