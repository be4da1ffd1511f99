// Discovery: reads a VNet's allowed address space, its subnets and route-table associations,
// without changing anything.
#include "discovery.hpp"
#include "operations.hpp"

namespace switchlib {

namespace {

constexpr const char* netapp_service = "Microsoft.Netapp/volumes";

// ---------------------------------------------------------------------------------------------
// Address space

// An IP network reduced to what containment needs: its family and its first and last address
// as Python ints, so that each test is two integer comparisons instead of calls into the
// address classes' Python-level ordering.
struct AddressRange {
    int version;
    nb::object first;
    nb::object last;
};

class NetworkKinds {
  public:
    explicit NetworkKinds(nb::handle ipaddress)
        : v4_(ipaddress.attr("IPv4Network")), v6_(ipaddress.attr("IPv6Network")) {}

    // 4 or 6 for an IP network value, 0 for anything else.
    int version_of(nb::handle value) const {
        if (checked_status(PyObject_IsInstance(value.ptr(), v4_.ptr())) == 1)
            return 4;
        if (checked_status(PyObject_IsInstance(value.ptr(), v6_.ptr())) == 1)
            return 6;
        return 0;
    }

  private:
    nb::object v4_;
    nb::object v6_;
};

AddressRange address_range(int version, nb::handle network) {
    return {version, checked(PyNumber_Long(network.attr("network_address").ptr())),
            checked(PyNumber_Long(network.attr("broadcast_address").ptr()))};
}

// The same failure, and text, as the Python library's containment test gives for a value that
// is not a network.
[[noreturn]] void raise_not_a_network(nb::handle prefix, nb::handle entry) {
    raise(PyExc_TypeError,
          concat("Unable to test subnet containment between ", prefix, " and ", entry));
}

// A network of the other IP version simply does not contain the prefix: a dual-stack VNet
// checked against an IPv4-only allow list must keep its IPv4 prefixes, not fail.
bool lies_inside(const AddressRange& prefix, const AddressRange& network) {
    return prefix.version == network.version && !greater(network.first, prefix.first) &&
           !greater(prefix.last, network.last);
}

bool isExpectedVpcPrefix(nb::handle /*self*/, nb::handle ip, nb::handle prefixes) {
    nb::object ipaddress = collaborator("ipaddress");
    nb::object ipn = ipaddress.attr("ip_network")(ip);
    NetworkKinds kinds(ipaddress);
    int version = kinds.version_of(ipn);
    if (version == 0)
        raise(PyExc_TypeError, concat(ip, " does not parse to an IP network"));
    AddressRange prefix = address_range(version, ipn);
    for (nb::handle entry : prefixes) {
        int entry_version = kinds.version_of(entry);
        if (entry_version == 0)
            raise_not_a_network(ipn, entry);
        if (lies_inside(prefix, address_range(entry_version, entry)))
            return true;
    }
    return false;
}

nb::list discoverVpcCidr(nb::handle cls, nb::handle vnet, nb::handle yaml) {
    Logger log; // set up as in every operation, though this one has nothing to report
    nb::object allowVnetCidr = item(yaml, "allow_vnet_cidrs");
    nb::list vnetCidrs;
    nb::object isExpected = cls.attr("isExpectedVpcPrefix");
    for (nb::handle prefix : vnet.attr("address_space").attr("address_prefixes")) {
        if (is_true(isExpected(prefix, allowVnetCidr)))
            vnetCidrs.append(prefix);
    }
    return vnetCidrs;
}

// ---------------------------------------------------------------------------------------------
// Subnets

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
    operations.add_self("isExpectedVpcPrefix", &isExpectedVpcPrefix, param("ip"),
                        param("prefixes"));
    operations.add("discoverVpcCidr", &discoverVpcCidr, param("vnet"), param("yaml"));
    operations.add("discoverSubnetAssociation", &discoverSubnetAssociation, param("rtb"),
                   param("assocs"));
    operations.add("isMainRtb", &isMainRtb, param("vnet"), param("rtb"));
    operations.add("discoverSubnets", &discoverSubnets, param("network_client"), param("vnet"));
}

} // namespace switchlib
