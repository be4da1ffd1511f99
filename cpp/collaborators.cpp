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
    module.attr("arg") = nb::module_::import_("qn.arm.res.resourcegraph");
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

Logger::Logger()
    : logging_(collaborator("logging")), logger_(logging_.attr("getLogger")("qn.arm.switchlib")) {}

bool Logger::enabled(Level level) const {
    signed char& known = enabled_[level];
    if (known < 0) {
        // A stand-in logger without the question gets every line, as calls made blindly would.
        nb::object ask = nb::getattr(logger_, "isEnabledFor", nb::none());
        known = ask.is_none() || is_true(ask(level_numbers[level])) ? 1 : 0;
    }
    return known == 1;
}

// Records are made here only for a plain logging.Logger (a stand-in or a Logger subclass may
// make or hand out records its own way) and while the logging module looks its callers up.
void Logger::prepare_records() const {
    prepared_ = true;
    nb::object logger_class = nb::getattr(logging_, "Logger", nb::none());
    nb::object source = nb::getattr(logging_, "_srcfile", nb::none());
    if (logger_class.is_none() || !logger_.type().is(logger_class) ||
        !PyUnicode_Check(source.ptr()))
        return;
    logging_source_ = source;
    record_factory_ = logging_.attr("getLogRecordFactory")();
    name_ = logger_.attr("name");
}

// The record that logger.<level>(line) would make, made and handed out directly. Logger._log
// finds the caller by walking past its own frames to the first frame outside the logging
// module, which from here is always the innermost Python frame, the operation's caller; a plain
// Logger's makeRecord is the record factory, and its handle() is callHandlers unless it is
// disabled or has filters. So the Python calls that only lead there (the level method,
// isEnabledFor, _log, findCaller and its frame tests, makeRecord, handle, filter) are left
// out: close to half of what a line costs.
bool Logger::emit_record(Level level, nb::handle line) const {
    if (!prepared_)
        prepare_records();
    if (!logging_source_.is_valid())
        return false;
    PyFrameObject* frame = PyEval_GetFrame(); // borrowed
    if (frame == nullptr)
        return false;
    nb::object code = nb::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    nb::object filename = code.attr("co_filename");
    if (internal_frame(filename, logging_source_))
        return false;
    nb::object record =
        record_factory_(name_, level_numbers[level], filename, PyFrame_GetLineNumber(frame), line,
                        nb::tuple(), nb::none(), code.attr("co_name"), nb::none());
    if (is_true(logger_.attr("disabled")))
        return true;
    if (is_true(logger_.attr("filters")))
        logger_.attr("handle")(record);
    else
        logger_.attr("callHandlers")(record);
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
