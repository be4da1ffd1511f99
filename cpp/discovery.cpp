// Discovery: reads a VNet's allowed address space, its subnets and route-table associations,
// and its staged route tables, without changing anything.
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

// ---------------------------------------------------------------------------------------------
// Route tables

// The staged-list entry of a route table, under its own resource group.
nb::str staged_entry_of(nb::handle rtb) {
    return staged_entry(rtb.attr("name"), id_segment(rtb.attr("id"), "RG_I"));
}

bool used_in_vnet(nb::handle routeTable, nb::handle vnet) {
    nb::object used = collaborator("dl").attr("isRouteTableUsedInVnet")(routeTable, vnet);
    return !equals(used, nb::bool_(false));
}

// The tag keys and prefix that tie a staged table to its VNet and to the old table it replaces.
struct StagingTags {
    nb::str vnet{"vnet"};
    nb::str org_rt{"Org_RT"};
    nb::str org_prefix{"org_"};
};

// The value of the first tag whose key equals "Org_RT", or an invalid object when there is none.
nb::object org_rt_tag(const StagingTags& keys, nb::handle tags) {
    for (nb::handle pair : tags.attr("items")()) {
        if (equals(pair[0], keys.org_rt))
            return nb::borrow(pair[1]);
    }
    return nb::object();
}

// The old table's name that a new table of this VNet names in its tags, or an invalid object
// when the table is not a new table of this VNet or its tag is malformed (then with an alert).
nb::object old_table_name(const Logger& log, const StagingTags& keys, nb::handle vnet,
                          nb::handle rtb) {
    nb::object tags = rtb.attr("tags");
    if (tags.is_none())
        return nb::object();
    if (!contains(tags, keys.vnet) || differs(item(tags, keys.vnet), vnet.attr("name")))
        return nb::object();
    nb::object value = org_rt_tag(keys, tags);
    if (!value.is_valid())
        return nb::object();
    if (!is_true(value.attr("startswith")(keys.org_prefix))) {
        log.warning(concat("  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new "
                           "route table ",
                           rtb.attr("id")));
        return nb::object();
    }
    return checked(PySequence_GetSlice(value.ptr(), 4, PY_SSIZE_T_MAX));
}

nb::tuple discoverRouteTable(nb::handle cls, nb::handle network_client, nb::handle revert,
                             nb::handle vnet, nb::handle rtb_target_rtb_map) {
    Logger log;
    nb::list rts = to_list(network_client.attr("route_tables").attr("list_all")());
    nb::dict rtbMap;
    for (nb::handle rtb : rts)
        rtbMap[rtb.attr("name")] = rtb;
    nb::list stagedUdrLst;
    nb::dict orgRouteTableInfo;
    StagingTags keys;
    bool forward = equals(revert, nb::bool_(false));
    nb::object isMainRtb = cls.attr("isMainRtb");
    for (nb::handle rtb : rts) {
        if (is_true(isMainRtb(vnet, rtb))) {
            stagedUdrLst.append(staged_entry_of(rtb));
            continue;
        }
        nb::object orgRouteTableId = old_table_name(log, keys, vnet, rtb);
        if (!orgRouteTableId.is_valid())
            continue;
        if (forward) {
            if (!rtbMap.contains(orgRouteTableId) || !used_in_vnet(rtbMap[orgRouteTableId], vnet))
                continue;
            rtb_target_rtb_map[orgRouteTableId] = rtb.attr("name");
        } else {
            if (!used_in_vnet(rtb, vnet))
                continue;
            rtb_target_rtb_map[rtb.attr("name")] = orgRouteTableId;
            if (!orgRouteTableInfo.contains(orgRouteTableId)) {
                // A deleted old table must not block the revert of every other subnet: the
                // subnet switch skips the subnets whose old table has no entry here.
                if (rtbMap.contains(orgRouteTableId))
                    orgRouteTableInfo[orgRouteTableId] = rtbMap[orgRouteTableId];
                else
                    log.warning(concat("  **Alert** original route table ", orgRouteTableId,
                                       " of new route table ", rtb.attr("id"), " not found"));
            }
        }
        stagedUdrLst.append(staged_entry_of(rtb));
    }
    return nb::make_tuple(stagedUdrLst, orgRouteTableInfo);
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

nb::str staged_entry(nb::handle name, nb::handle resource_group) {
    return as_str(concat(name, ":", resource_group));
}

nb::str main_table_name(nb::handle prefix, int number) {
    return as_str(concat(prefix, "-main-", std::to_string(number)));
}

void register_discovery(OperationTable& operations) {
    operations.add_self("isExpectedVpcPrefix", &isExpectedVpcPrefix, param("ip"),
                        param("prefixes"));
    operations.add("discoverVpcCidr", &discoverVpcCidr, param("vnet"), param("yaml"));
    operations.add("discoverSubnetAssociation", &discoverSubnetAssociation, param("rtb"),
                   param("assocs"));
    operations.add("isMainRtb", &isMainRtb, param("vnet"), param("rtb"));
    operations.add("discoverRouteTable", &discoverRouteTable, param("network_client"),
                   param("revert"), param("vnet"), param("rtb_target_rtb_map"));
    operations.add("discoverSubnets", &discoverSubnets, param("network_client"), param("vnet"));
}

} // namespace switchlib
