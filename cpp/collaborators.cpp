#include "collaborators.hpp"

namespace switchlib {

namespace {

PyObject* module_object = nullptr;

} // namespace

nb::handle the_module() {
    return module_object;
}

void bind_collaborators(nb::module_& module) {
    Py_XDECREF(module_object);
    module_object = module.inc_ref().ptr();

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

Logger::Logger() : logger_(collaborator("logging").attr("getLogger")("qn.arm.switchlib")) {}

bool Logger::enabled(Level level) const {
    signed char& known = enabled_[level];
    if (known < 0) {
        // A stand-in logger without the question gets every line, as calls made blindly would.
        static constexpr int numbers[level_count] = {10, 20, 30, 40};
        nb::object ask = nb::getattr(logger_, "isEnabledFor", nb::none());
        known = ask.is_none() || is_true(ask(numbers[level])) ? 1 : 0;
    }
    return known == 1;
}

void Logger::emit(Level level, const std::string& message) const {
    nb::str line = as_str(message);
    switch (level) {
    case level_debug:
        logger_.attr("debug")(line);
        break;
    case level_info:
        logger_.attr("info")(line);
        break;
    case level_warning:
        logger_.attr("warning")(line);
        break;
    default:
        logger_.attr("error")(line);
        break;
    }
}

} // namespace switchlib
