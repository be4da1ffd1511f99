#include "bridge.hpp"

namespace switchlib {

namespace {

// The module object lives as long as the interpreter; it is kept, never the collaborators.
PyObject* the_module = nullptr;

constexpr const char* logger_name = "qn.arm.switchlib";

// Python's own index rule for a list of `size` items: negative counts from the end.
Py_ssize_t list_position(Py_ssize_t index, Py_ssize_t size) {
    Py_ssize_t position = index < 0 ? index + size : index;
    if (position < 0 || position >= size)
        raise(PyExc_IndexError, "list index out of range");
    return position;
}

// The fast, exact path for the common case of a str ID and an int index; anything else takes
// the literal Python expression so that odd inputs fail as Python would make them fail.
bool fast_segment(nb::handle resource_id, nb::handle index, nb::object& segment) {
    if (!PyUnicode_CheckExact(resource_id.ptr()) || !PyLong_CheckExact(index.ptr()))
        return false;
    int overflow = 0;
    long long wanted = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || (wanted == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(resource_id.ptr(), &length);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    std::string_view id(data, static_cast<size_t>(length));
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t slash = id.find('/'); slash != std::string_view::npos;
         slash = id.find('/', start)) {
        parts.push_back(id.substr(start, slash - start));
        start = slash + 1;
    }
    parts.push_back(id.substr(start));
    std::string_view part = parts[static_cast<size_t>(
        list_position(static_cast<Py_ssize_t>(wanted), static_cast<Py_ssize_t>(parts.size())))];
    segment =
        checked(PyUnicode_FromStringAndSize(part.data(), static_cast<Py_ssize_t>(part.size())));
    return true;
}

} // namespace

void remember_module(nb::handle module) {
    Py_XDECREF(the_module);
    the_module = module.inc_ref().ptr();
}

nb::object collaborator(const char* name) {
    return nb::handle(the_module).attr(name);
}

std::string text(nb::handle value) {
    nb::object rendered = checked(PyObject_Str(value.ptr()));
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(rendered.ptr(), &length);
    if (data == nullptr)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(length));
}

Logger::Logger() : logger_(collaborator("logging").attr("getLogger")(logger_name)) {}

void Logger::emit(const char* level, const std::string& message) const {
    logger_.attr(level)(as_str(message));
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

nb::object checked(PyObject* new_reference) {
    if (new_reference == nullptr)
        throw nb::python_error();
    return nb::steal(new_reference);
}

int checked_status(int status) {
    if (status < 0)
        throw nb::python_error();
    return status;
}

std::string caught_error_text() {
    try {
        throw;
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception))
            throw;
        try {
            return text(error.value());
        } catch (nb::python_error&) {
            return concat("<unprintable ", nb::handle(error.type()).attr("__name__"), ">");
        }
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

bool equals(nb::handle a, nb::handle b) {
    return checked_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) == 1;
}

bool differs(nb::handle a, nb::handle b) {
    return checked_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE)) == 1;
}

bool greater(nb::handle a, nb::handle b) {
    return checked_status(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT)) == 1;
}

bool contains(nb::handle container, nb::handle item) {
    return checked_status(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

nb::object item(nb::handle mapping, const char* key) {
    return item(mapping, nb::str(key));
}

nb::list to_list(nb::handle iterable) {
    return nb::steal<nb::list>(checked(PySequence_List(iterable.ptr())).release());
}

nb::object id_segment(nb::handle resource_id, nb::handle index) {
    nb::object segment;
    if (fast_segment(resource_id, index, segment))
        return segment;
    return item(resource_id.attr("split")("/"), index);
}

nb::object id_segment(nb::handle resource_id, Py_ssize_t index) {
    return id_segment(resource_id, nb::int_(index));
}

nb::object id_segment(nb::handle resource_id, const char* discovery_position) {
    return id_segment(resource_id, collaborator("dl").attr(discovery_position));
}

nb::object OperationTable::take(std::string_view name, nb::handle cls) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->first == name) {
            nb::object function = it->second(cls);
            entries_.erase(it);
            return function;
        }
    }
    return nb::object();
}

std::string OperationTable::names() const {
    std::string out;
    for (const auto& entry : entries_)
        out += (out.empty() ? "" : ", ") + entry.first;
    return out;
}

} // namespace switchlib
