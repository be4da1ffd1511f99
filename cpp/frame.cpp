// The module: its collaborators, the SwitchTraffic class with its state and constants, and the
// assembly of the operations that the subsystems register.
#include "operations.hpp"

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

// Short region codes used in gateway names.
constexpr std::pair<const char*, const char*> region_codes[] = {
    {"eastus", "use"},         {"centralus", "usc"},   {"westus", "usw"},
    {"westus2", "usw2"},       {"northeurope", "eun"}, {"westeurope", "euw"},
    {"southeastasia", "asse"}, {"japaneast", "jae"},   {"chinaeast2", "che2"},
    {"chinanorth2", "chn2"},
};

nb::dict region_map() {
    nb::dict region;
    for (const auto& [name, code] : region_codes)
        region[name] = code;
    return region;
}

void bind_collaborators(nb::module_& module) {
    module.attr("ipaddress") = nb::module_::import_("ipaddress");
    module.attr("logging") = nb::module_::import_("logging");
    // The SDK clients come from qn.arm.res.cloud, built for the configured cloud, so every
    // client an operation builds reaches the same endpoint as the driver's own.
    nb::module_ cloud = nb::module_::import_("qn.arm.res.cloud");
    module.attr("arg") = cloud.attr("resourcegraph");
    module.attr("NetworkManagementClient") = cloud.attr("NetworkManagementClient");
    module.attr("ManagementLockClient") = cloud.attr("ManagementLockClient");
    module.attr("dl") = nb::module_::import_("qn.arm.discoverylib").attr("DiscoveryLib");
    module.attr("common") = nb::module_::import_("qn.arm.commonlib").attr("Common");
    module.attr("tf") = nb::module_::import_("qn.arm.terraform").attr("Terraform");
    module.attr("lf") = nb::module_::import_("qn.arm.lumaflow").attr("Lumaflow");
    nb::module_ yaml_context = nb::module_::import_("qn.arm.res.YamlContext");
    module.attr("AzureCredential") = yaml_context.attr("AzureCredential");
    module.attr("yctx") = yaml_context.attr("YamlContext");
    module.attr("vwm") = nb::module_::import_("qn.arm.res.VWanMgmt").attr("VWanMgmt");
    module.attr("Globals") = nb::module_::import_("qn.arm.res.Globals").attr("Globals");
}

void setDryRun(nb::handle cls) {
    cls.attr("DryRun") = true;
}

nb::object attribute_value(std::string_view name) {
    if (name == "DryRun")
        return nb::bool_(false);
    if (name == "VPN")
        return nb::str("Vpn");
    if (name == "ER")
        return nb::str("ExpressRoute");
    if (name == "region")
        return region_map();
    return nb::object();
}

nb::object build_class(nb::module_& module, OperationTable& operations) {
    nb::dict body;
    body["__module__"] = module.attr("__name__");
    body["__qualname__"] = "SwitchTraffic";
    body["__doc__"] = "Class-level operations that switch a VNet's traffic and back.";
    nb::handle type = reinterpret_cast<PyObject*>(&PyType_Type);
    nb::object cls =
        type(nb::str("SwitchTraffic"),
             nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))), body);
    for (const char* name : class_body) {
        nb::object value = attribute_value(name);
        if (!value.is_valid()) {
            nb::object function = operations.take(name, cls);
            if (!function.is_valid())
                continue; // not built yet
            value = checked(PyClassMethod_New(function.ptr()));
        }
        cls.attr(name) = value;
    }
    if (!operations.empty())
        throw std::runtime_error("operations outside the class body: " + operations.names());
    return cls;
}

} // namespace

void register_frame(OperationTable& operations) {
    operations.add("setDryRun", &setDryRun);
}

} // namespace switchlib

NB_MODULE(switchlib, module) {
    using namespace switchlib;
    remember_module(module);
    bind_collaborators(module);

    OperationTable operations;
    register_frame(operations);
    register_discovery(operations);
    register_propagation(operations);
    register_subnet_switch(operations);
    register_gateways(operations);
    register_peerings(operations);
    register_locks(operations);

    module.attr("SwitchTraffic") = build_class(module, operations);
}
