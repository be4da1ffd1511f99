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

namespace {

constexpr int level_numbers[] = {10, 20, 30, 40}; // DEBUG, INFO, WARNING, ERROR

// The logging module's own source file, when `logger` is a plain logging.Logger whose records
// may be made the way Logger._log makes them; None otherwise (a stand-in, a Logger subclass that
// may override how records are made, or caller lookup switched off).
nb::object plain_logger_source(nb::handle logging, nb::handle logger) {
    nb::object logger_class = nb::getattr(logging, "Logger", nb::none());
    nb::object source = nb::getattr(logging, "_srcfile", nb::none());
    if (logger_class.is_none() || !logger.type().is(logger_class) || !PyUnicode_Check(source.ptr()))
        return nb::none();
    return source;
}

// True for a frame that Logger.findCaller would pass over: the logging module's own and the
// import machinery's.
bool internal_frame(nb::handle filename, nb::handle logging_source) {
    std::string_view name;
    if (!exact_str_view(filename, name))
        return true;
    return filename.equal(logging_source) || (name.find("importlib") != std::string_view::npos &&
                                              name.find("_bootstrap") != std::string_view::npos);
}

} // namespace

Logger::Logger() {
    nb::object logging = collaborator("logging");
    logger_ = logging.attr("getLogger")("qn.arm.switchlib");
    logging_source_ = plain_logger_source(logging, logger_);
}

bool Logger::enabled(Level level) const {
    signed char& known = enabled_[level];
    if (known < 0) {
        // A stand-in logger without the question gets every line, as calls made blindly would.
        nb::object ask = nb::getattr(logger_, "isEnabledFor", nb::none());
        known = ask.is_none() || is_true(ask(level_numbers[level])) ? 1 : 0;
    }
    return known == 1;
}

// The record that logger.<level>(line) would make, made and handed to the logger directly:
// Logger._log finds the caller by walking past its own frames to the first frame outside the
// logging module, which from here is always the innermost Python frame, the operation's
// caller. Four Python calls of the logging module per line (the level method, isEnabledFor,
// _log, findCaller and its frame tests) are left out, a third of what a line costs.
bool Logger::emit_record(Level level, nb::handle line) const {
    if (logging_source_.is_none())
        return false;
    PyFrameObject* frame = PyEval_GetFrame(); // borrowed
    if (frame == nullptr)
        return false;
    nb::object code = nb::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    nb::object filename = code.attr("co_filename");
    if (internal_frame(filename, logging_source_))
        return false;
    nb::object record = logger_.attr("makeRecord")(
        logger_.attr("name"), level_numbers[level], filename, PyFrame_GetLineNumber(frame), line,
        nb::tuple(), nb::none(), code.attr("co_name"), nb::none(), nb::none());
    logger_.attr("handle")(record);
    return true;
}

void Logger::emit(Level level, const std::string& message) const {
    nb::str line = as_str(message);
    if (emit_record(level, line))
        return;
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
