// Discovery: reads a VNet's allowed address space, its subnets and route-table associations,
// and its staged route tables, without changing anything.
#include "discovery.hpp"
#include "helpers.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

constexpr const char* netapp_service = "Microsoft.Netapp/volumes";

// The endings of the two main route tables' names after the prefix P.
constexpr std::string_view main_table_suffixes[] = {"-main-1", "-main-2"};

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
        if (nb::isinstance(value, v4_))
            return 4;
        if (nb::isinstance(value, v6_))
            return 6;
        return 0;
    }

  private:
    nb::object v4_;
    nb::object v6_;
};

AddressRange address_range(int version, nb::handle network) {
    // int(address): the accessors are read into objects first, as nb::int_ made straight from
    // an accessor would take the address object itself for an int.
    nb::object first = network.attr("network_address");
    nb::object last = network.attr("broadcast_address");
    return {version, nb::int_(first), nb::int_(last)};
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
    return prefix.version == network.version && !(network.first > prefix.first) &&
           !(prefix.last > network.last);
}

bool is_expected_vpc_prefix(nb::handle /*self*/, nb::handle ip, nb::handle prefixes) {
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

nb::list discover_vpc_cidr(nb::handle cls, nb::handle vnet, nb::handle yaml) {
    Logger log; // set up as in every operation, though this one has nothing to report
    nb::object allowed = yaml["allow_vnet_cidrs"];
    nb::list vnet_cidrs;
    nb::object is_expected = cls.attr("isExpectedVpcPrefix");
    for (nb::handle prefix : vnet.attr("address_space").attr("address_prefixes")) {
        if (is_true(is_expected(prefix, allowed)))
            vnet_cidrs.append(prefix);
    }
    return vnet_cidrs;
}

// ---------------------------------------------------------------------------------------------
// Subnets

bool delegated_to_netapp(nb::handle subnet) {
    nb::str netapp(netapp_service);
    for (nb::handle delegation : subnet.attr("delegations")) {
        if (delegation.attr("service_name").equal(netapp))
            return true;
    }
    return false;
}

void discover_subnets(nb::handle /*cls*/, nb::handle network_client, nb::handle vnet) {
    Logger log;
    log.info("- Discover subnet to route-table association");
    nb::object rg_name = resource_group_of(vnet);
    nb::list subnets(network_client.attr("subnets").attr("list")(rg_name, vnet.attr("name")));
    for (nb::handle subnet : subnets) {
        if (skip_reserved_subnet(log, subnet))
            continue;
        nb::object route_table = subnet.attr("route_table");
        if (route_table.equal(nb::none()))
            log.info("  subnet ", subnet.attr("name"), " has no route table");
        else
            log.info("  subnet ", subnet.attr("name"), " is associated to ",
                     last_segment(route_table.attr("id")));
    }
}

void discover_subnet_association(nb::handle /*cls*/, nb::handle rtb, nb::handle assocs) {
    nb::object subnets = rtb.attr("subnets");
    if (subnets.equal(nb::none()))
        return;
    for (nb::handle subnet : subnets)
        assocs.attr("append")(subnet);
}

// The resource group of an ID, as a view into its text when it is an exact str, else as the
// Python str that the plain split gives.
struct GroupSegment {
    explicit GroupSegment(nb::handle owner) : resource_id(owner.attr("id")) {
        nb::object position = collaborator("dl").attr("RG_I");
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
    GroupSegment vnet_rg(vnet);
    if (!rg.object.is_valid() && !vnet_rg.object.is_valid())
        return rg.view != vnet_rg.view;
    return rg.as_object().not_equal(vnet_rg.as_object());
}

// name == main_table_name(P, 1) or name == main_table_name(P, 2), compared in place for exact
// strs.
bool is_main_table_name(nb::handle name, nb::handle prefix) {
    std::string_view name_text, prefix_text;
    if (exact_str_view(name, name_text) && exact_str_view(prefix, prefix_text)) {
        if (name_text.substr(0, prefix_text.size()) != prefix_text)
            return false;
        std::string_view ending = name_text.substr(prefix_text.size());
        return ending == main_table_suffixes[0] || ending == main_table_suffixes[1];
    }
    return name.equal(main_table_name(prefix, 1)) || name.equal(main_table_name(prefix, 2));
}

bool is_main_rtb(nb::handle /*cls*/, nb::handle vnet, nb::handle rtb) {
    if (in_other_group(rtb, vnet))
        return false;
    nb::object prefix = main_table_prefix(vnet.attr("name"));
    return is_main_table_name(rtb.attr("name"), prefix);
}

// ---------------------------------------------------------------------------------------------
// Route tables

// The staged-list entry of a route table, under its own resource group.
nb::str staged_entry_of(nb::handle rtb) {
    return staged_entry(rtb.attr("name"), resource_group_of(rtb));
}

bool used_in_vnet(nb::handle route_table, nb::handle vnet) {
    nb::object used = collaborator("dl").attr("isRouteTableUsedInVnet")(route_table, vnet);
    return !equals_false(used);
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
            if (plain && nb::handle(key).equal(keys.org_rt))
                return nb::borrow(value);
        }
        if (plain)
            return nb::object();
    }
    for (nb::handle pair : tags.attr("items")()) {
        if (pair[0].equal(keys.org_rt))
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
    nb::object tags = rtb.attr("tags");
    if (tags.is_none())
        return nb::object();
    if (!contains(tags, keys.vnet) || item(tags, keys.vnet).not_equal(vnet.attr("name")))
        return nb::object();
    nb::object value = org_rt_tag(keys, tags);
    if (!value.is_valid())
        return nb::object();
    if (!starts_with(value, keys.org_prefix)) {
        log.warning("  **Alert** cannot find org_<routeTableId> in the Org_RT tag of new route "
                    "table ",
                    rtb.attr("id"));
        return nb::object();
    }
    return checked(PySequence_GetSlice(value.ptr(), 4, PY_SSIZE_T_MAX));
}

nb::tuple discover_route_table(nb::handle cls, nb::handle network_client, nb::handle revert,
                               nb::handle vnet, nb::handle rtb_target_rtb_map) {
    Logger log;
    nb::list tables(network_client.attr("route_tables").attr("list_all")());
    nb::dict by_name;
    for (nb::handle rtb : tables)
        by_name[rtb.attr("name")] = rtb;
    nb::list staged_udr_lst;
    nb::dict org_route_table_info;
    StagingTags keys;
    const bool forward = equals_false(revert);
    nb::object is_main = cls.attr("isMainRtb");
    for (nb::handle rtb : tables) {
        if (is_true(is_main(vnet, rtb))) {
            staged_udr_lst.append(staged_entry_of(rtb));
            continue;
        }
        nb::object old_name = old_table_name(log, keys, vnet, rtb);
        if (!old_name.is_valid())
            continue;
        if (forward) {
            if (!by_name.contains(old_name) || !used_in_vnet(by_name[old_name], vnet))
                continue;
            rtb_target_rtb_map[old_name] = rtb.attr("name");
        } else {
            if (!used_in_vnet(rtb, vnet))
                continue;
            rtb_target_rtb_map[rtb.attr("name")] = old_name;
            if (!org_route_table_info.contains(old_name)) {
                // A deleted old table must not block the revert of every other subnet: the
                // subnet switch skips the subnets whose old table has no entry here.
                if (by_name.contains(old_name))
                    org_route_table_info[old_name] = by_name[old_name];
                else
                    log.warning("  **Alert** original route table ", old_name,
                                " of new route table ", rtb.attr("id"), " not found");
            }
        }
        staged_udr_lst.append(staged_entry_of(rtb));
    }
    return nb::make_tuple(staged_udr_lst, org_route_table_info);
}

} // namespace

ReservedSubnet reserved_subnet(nb::handle subnet, nb::handle name) {
    if (contains(collaborator("common").attr("AZURE_SUBNET"), name))
        return ReservedSubnet::azure_name;
    if (delegated_to_netapp(subnet))
        return ReservedSubnet::netapp;
    return ReservedSubnet::none;
}

void log_reserved_subnet(const Logger& log, ReservedSubnet reason, nb::handle name) {
    if (reason == ReservedSubnet::azure_name)
        log.info("  found Azure ", name, " -- skipped ");
    else if (reason == ReservedSubnet::netapp)
        log.info("  ", name, " delegated to ", netapp_service, " -- skipped");
}

bool skip_reserved_subnet(const Logger& log, nb::handle subnet) {
    nb::object name = subnet.attr("name");
    ReservedSubnet reason = reserved_subnet(subnet, name);
    log_reserved_subnet(log, reason, name);
    return reason != ReservedSubnet::none;
}

nb::object main_table_prefix(nb::handle vnet_name) {
    nb::object prefix = collaborator("common").attr("getMainTablePrefix")(vnet_name);
    return prefix.is_none() ? nb::borrow(vnet_name) : prefix;
}

nb::str staged_entry(nb::handle name, nb::handle resource_group) {
    return as_str(concat(name, ":", resource_group));
}

// Joined by Python, not as UTF-8: a name with a lone surrogate has no UTF-8 form, yet Python
// builds and compares it like any other.
nb::str main_table_name(nb::handle prefix, int number) {
    nb::object joined = nb::str(prefix) + as_str(main_table_suffixes[number - 1]);
    return nb::borrow<nb::str>(joined);
}

nb::list main_table_names(nb::handle vnet_name) {
    nb::object prefix = main_table_prefix(vnet_name);
    nb::list names;
    for (int number : {1, 2})
        names.append(main_table_name(prefix, number));
    return names;
}

void register_discovery(OperationTable& table) {
    table.add_self("isExpectedVpcPrefix", &is_expected_vpc_prefix, param("ip"), param("prefixes"));
    table.add("discoverVpcCidr", &discover_vpc_cidr, param("vnet"), param("yaml"));
    table.add("discoverSubnetAssociation", &discover_subnet_association, param("rtb"),
              param("assocs"));
    table.add("isMainRtb", &is_main_rtb, param("vnet"), param("rtb"));
    table.add("discoverRouteTable", &discover_route_table, param("network_client"), param("revert"),
              param("vnet"), param("rtb_target_rtb_map"));
    table.add("discoverSubnets", &discover_subnets, param("network_client"), param("vnet"));
}

} // namespace switchlib
