// The module: its collaborators, then the SwitchTraffic class from what every file registers.
#include "collaborators.hpp"
#include "helpers.hpp"
#include "registration.hpp"

NB_MODULE(switchlib, module) {
    using namespace switchlib;
    bind_collaborators(module);

    OperationTable table;
    register_dry_run(table);
    register_discovery(table);
    register_subnet_switch(table);
    register_propagation(table);
    register_resource_graph(table);
    register_gateway_naming(table);
    register_regions(table);
    register_peering_lookup(table);
    register_peering_deletion(table);
    register_peering_recreation(table);
    register_remote_gateway(table);
    register_locks(table);
    register_transit(table);
    register_security_domain(table);
    build_class(module, table);
    register_helpers(module);
}
