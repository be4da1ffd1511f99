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
    return {version, checked(PyNumber_Long(network.attr(interned("network_address")).ptr())),
            checked(PyNumber_Long(network.attr(interned("broadcast_address")).ptr()))};
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
    nb::object ipn = ipaddress.attr(interned("ip_network"))(ip);
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
    for (nb::handle delegation : subnet.attr(interned("delegations"))) {
        if (equals(delegation.attr(interned("service_name")), netapp))
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
        nb::object route_table = subnet.attr(interned("route_table"));
        if (equals(route_table, nb::none()))
            log.info(concat("  subnet ", subnet.attr(interned("name")), " has no route table"));
        else
            log.info(concat("  subnet ", subnet.attr(interned("name")), " is associated to ",
                            last_segment(route_table.attr(interned("id")))));
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

// The resource group of an ID, as a view into its text when it is an exact str, else as the
// Python str that the plain split gives.
struct GroupSegment {
    explicit GroupSegment(nb::handle owner) : resource_id(owner.attr(interned("id"))) {
        nb::object position = collaborator("dl").attr(interned("RG_I"));
        if (!id_segment_view(resource_id, position, view))
            object = id_segment(resource_id, position);
    }
    nb::object as_object() const { return object.is_valid() ? object : as_str(view); }

    nb::object resource_id; // kept: `view` points into its text
    std::string_view view;
    nb::object object;
};

// Discovery asks this for every route table of the subscription: exact strs are compared in
// place, without building the two segments.
bool in_other_group(nb::handle rtb, nb::handle vnet) {
    GroupSegment rg(rtb);
    GroupSegment vnetRg(vnet);
    if (!rg.object.is_valid() && !vnetRg.object.is_valid())
        return rg.view != vnetRg.view;
    return differs(rg.as_object(), vnetRg.as_object());
}

// name == P + "-main-1" or name == P + "-main-2", compared in place for exact strs.
bool is_main_table_name(nb::handle name, nb::handle prefix) {
    std::string_view name_text, prefix_text;
    if (exact_str_view(name, name_text) && exact_str_view(prefix, prefix_text)) {
        constexpr std::string_view main_1 = "-main-1", main_2 = "-main-2";
        if (name_text.size() != prefix_text.size() + main_1.size() ||
            name_text.substr(0, prefix_text.size()) != prefix_text)
            return false;
        std::string_view ending = name_text.substr(prefix_text.size());
        return ending == main_1 || ending == main_2;
    }
    return equals(name, main_table_name(prefix, 1)) || equals(name, main_table_name(prefix, 2));
}

bool isMainRtb(nb::handle /*cls*/, nb::handle vnet, nb::handle rtb) {
    if (in_other_group(rtb, vnet))
        return false;
    nb::object prefix = main_table_prefix(vnet);
    return is_main_table_name(rtb.attr(interned("name")), prefix);
}

// ---------------------------------------------------------------------------------------------
// Route tables

// The staged-list entry of a route table, under its own resource group.
nb::str staged_entry_of(nb::handle rtb) {
    return staged_entry(rtb.attr(interned("name")), id_segment(rtb.attr(interned("id")), "RG_I"));
}

bool used_in_vnet(nb::handle routeTable, nb::handle vnet) {
    nb::object used = collaborator("dl").attr(interned("isRouteTableUsedInVnet"))(routeTable, vnet);
    return !equals(used, nb::bool_(false));
}

// The tag keys and prefix that tie a staged table to its VNet and to the old table it replaces.
struct StagingTags {
    nb::str vnet{"vnet"};
    nb::str org_rt{"Org_RT"};
    nb::str org_prefix{"org_"};
};

// The value of the first tag whose key equals "Org_RT", or an invalid object when there is none.
// A plain dict of str keys is walked in place, in the order items() gives: comparing exact strs
// runs no Python code, so nothing can change the dict under the walk. Any other key, or any
// other mapping, takes the items() walk with Python's own comparison.
nb::object org_rt_tag(const StagingTags& keys, nb::handle tags) {
    if (PyDict_CheckExact(tags.ptr())) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        bool plain = true;
        while (plain && PyDict_Next(tags.ptr(), &position, &key, &value)) {
            plain = PyUnicode_CheckExact(key);
            if (plain && equals(key, keys.org_rt))
                return nb::borrow(value);
        }
        if (plain)
            return nb::object();
    }
    for (nb::handle pair : tags.attr("items")()) {
        if (equals(pair[0], keys.org_rt))
            return nb::borrow(pair[1]);
    }
    return nb::object();
}

// value.startswith(prefix), without the method call for an exact str.
bool starts_with(nb::handle value, nb::handle prefix) {
    if (PyUnicode_CheckExact(value.ptr()))
        return checked_status(static_cast<int>(
                   PyUnicode_Tailmatch(value.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1))) == 1;
    return is_true(value.attr("startswith")(prefix));
}

// The old table's name that a new table of this VNet names in its tags, or an invalid object
// when the table is not a new table of this VNet or its tag is malformed (then with an alert).
nb::object old_table_name(const Logger& log, const StagingTags& keys, nb::handle vnet,
                          nb::handle rtb) {
    nb::object tags = rtb.attr(interned("tags"));
    if (tags.is_none())
        return nb::object();
    if (!contains(tags, keys.vnet) || differs(item(tags, keys.vnet), vnet.attr(interned("name"))))
        return nb::object();
    nb::object value = org_rt_tag(keys, tags);
    if (!value.is_valid())
        return nb::object();
    if (!starts_with(value, keys.org_prefix)) {
        log.warning(concat("  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new "
                           "route table ",
                           rtb.attr(interned("id"))));
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
        rtbMap[rtb.attr(interned("name"))] = rtb;
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
            rtb_target_rtb_map[orgRouteTableId] = rtb.attr(interned("name"));
        } else {
            if (!used_in_vnet(rtb, vnet))
                continue;
            rtb_target_rtb_map[rtb.attr(interned("name"))] = orgRouteTableId;
            if (!orgRouteTableInfo.contains(orgRouteTableId)) {
                // A deleted old table must not block the revert of every other subnet: the
                // subnet switch skips the subnets whose old table has no entry here.
                if (rtbMap.contains(orgRouteTableId))
                    orgRouteTableInfo[orgRouteTableId] = rtbMap[orgRouteTableId];
                else
                    log.warning(concat("  **Alert** original route table ", orgRouteTableId,
                                       " of new route table ", rtb.attr(interned("id")),
                                       " not found"));
            }
        }
        stagedUdrLst.append(staged_entry_of(rtb));
    }
    return nb::make_tuple(stagedUdrLst, orgRouteTableInfo);
}

} // namespace

bool skip_reserved_subnet(const Logger& log, nb::handle subnet) {
    nb::object name = subnet.attr(interned("name"));
    if (contains(collaborator("common").attr(interned("AZURE_SUBNET")), name)) {
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
    nb::object name = vnet.attr(interned("name"));
    nb::object prefix = collaborator("common").attr(interned("getMainTablePrefix"))(name);
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
