// Each subsystem registers its class-level operations in its own source file.
#pragma once

#include "bridge.hpp"

namespace switchlib {

void register_frame(OperationTable& operations);
void register_discovery(OperationTable& operations);
void register_propagation(OperationTable& operations);
void register_subnet_switch(OperationTable& operations);
void register_gateways(OperationTable& operations);
void register_peerings(OperationTable& operations);
void register_locks(OperationTable& operations);

} // namespace switchlib
