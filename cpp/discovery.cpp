// Discovery: reads a VNet's subnets and route-table associations without changing anything.
#include "discovery.hpp"
#include "operations.hpp"

namespace switchlib {

namespace {

constexpr const char* netapp_service = "Microsoft.Netapp/volumes";

bool delegated_to_netapp(nb::handle subnet) {
    nb::str netapp(netapp_service);
    for (nb::handle delegation : subnet.attr("delegations")) {
        if (equals(delegation.attr("service_name"), netapp))
            return true;
    }
    return false;
}

nb::object discoverSubnets(nb::handle /*cls*/, nb::handle network_client, nb::handle vnet) {
    Logger log;
    log.info("- Discover subnet to route-table association");
    nb::object rgName = id_segment(vnet.attr("id"), "RG_I");
    nb::list subnets =
        to_list(network_client.attr("subnets").attr("list")(rgName, vnet.attr("name")));
    for (nb::handle subnet : subnets) {
        if (skip_reserved_subnet(log, subnet))
            continue;
        nb::object route_table = subnet.attr("route_table");
        if (equals(route_table, nb::none()))
            log.info(concat("  subnet ", subnet.attr("name"), " has no route table"));
        else
            log.info(concat("  subnet ", subnet.attr("name"), " is associated to ",
                            last_segment(route_table.attr("id"))));
    }
    return nb::none();
}

nb::object discoverSubnetAssociation(nb::handle /*cls*/, nb::handle rtb, nb::handle assocs) {
    nb::object subnets = rtb.attr("subnets");
    if (equals(subnets, nb::none()))
        return nb::none();
    for (nb::handle subnet : subnets)
        assocs.attr("append")(subnet);
    return nb::none();
}

bool isMainRtb(nb::handle /*cls*/, nb::handle vnet, nb::handle rtb) {
    nb::object rg = id_segment(rtb.attr("id"), "RG_I");
    nb::object vnetRg = id_segment(vnet.attr("id"), "RG_I");
    if (differs(rg, vnetRg))
        return false;
    nb::object prefix = main_table_prefix(vnet);
    nb::object name = rtb.attr("name");
    return equals(name, main_table_name(prefix, 1)) || equals(name, main_table_name(prefix, 2));
}

} // namespace

bool skip_reserved_subnet(const Logger& log, nb::handle subnet) {
    nb::object name = subnet.attr("name");
    if (contains(collaborator("common").attr("AZURE_SUBNET"), name)) {
        log.info(concat("  found Azure ", name, " -- skipped "));
        return true;
    }
    if (delegated_to_netapp(subnet)) {
        log.info(concat("  ", name, " delegated to ", netapp_service, " -- skipped"));
        return true;
    }
    return false;
}

nb::object main_table_prefix(nb::handle vnet) {
    nb::object name = vnet.attr("name");
    nb::object prefix = collaborator("common").attr("getMainTablePrefix")(name);
    return prefix.is_none() ? name : prefix;
}

nb::str main_table_name(nb::handle prefix, int number) {
    std::string name = concat(prefix, "-main-", std::to_string(number));
    return nb::str(name.data(), name.size());
}

void register_discovery(OperationTable& operations) {
    operations.add("discoverSubnetAssociation", &discoverSubnetAssociation, param("rtb"),
                   param("assocs"));
    operations.add("isMainRtb", &isMainRtb, param("vnet"), param("rtb"));
    operations.add("discoverSubnets", &discoverSubnets, param("network_client"), param("vnet"));
}

} // namespace switchlib
