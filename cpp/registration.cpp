#include "registration.hpp"

namespace switchlib {

namespace {

// The class body, in order: operations and class attributes as the class defines them.
constexpr const char* class_body[] = {
    "DryRun",
    "setDryRun",
    "isExpectedVpcPrefix",
    "discoverVpcCidr",
    "discoverSubnetAssociation",
    "isMainRtb",
    "discoverRouteTable",
    "discoverSubnets",
    "updateSubnetAssociation",
    "setDisableAllRouteTablePropagationInVnet",
    "setDisableRouteTablePropagation",
    "restoreRouteTablePropagationInVnet",
    "getResources",
    "VPN",
    "ER",
    "isVnetWithVng",
    "deduceGwName",
    "region",
    "deduceGwNameWithSubnetCidr",
    "deduceTransitNameWithRegion",
    "getRemotePeering",
    "getVnet",
    "deletePeerings",
    "addPeerings",
    "disableUseRemoteGwInPeering",
    "restoreUseRemoteGwInPeering",
    "deleteVnetLock",
    "getTransitVnet",
    "attach_spoke_domain",
};

} // namespace

void OperationTable::attribute(const char* name, nb::object value) {
    entries_.emplace_back(name, [value](nb::handle) { return value; });
}

nb::object OperationTable::take(std::string_view name, nb::handle cls) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == name) {
            nb::object value = it->second(cls);
            entries_.erase(it);
            return value;
        }
    }
    raise(PyExc_ImportError,
          concat("SwitchTraffic.", std::string(name), " is not registered by any source file"));
}

void OperationTable::check_all_taken() const {
    if (entries_.empty())
        return;
    std::string names;
    for (const auto& entry : entries_)
        names += (names.empty() ? "" : ", ") + entry.first;
    raise(PyExc_ImportError, "registered outside the SwitchTraffic class body: " + names);
}

void build_class(nb::module_& module, OperationTable& table) {
    nb::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = "SwitchTraffic";
    body["__doc__"] = "Class-level operations that switch a VNet's traffic and back.";
    nb::handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    nb::handle base = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    nb::object cls = type("SwitchTraffic", nb::make_tuple(base), body);
    for (const char* name : class_body)
        cls.attr(name) = table.take(name, cls);
    table.check_all_taken();
    module.attr("SwitchTraffic") = cls;
}

} // namespace switchlib
