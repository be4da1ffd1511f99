#include "bridge.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>

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

// Part `index` of id.split("/"), found in place: the split itself would allocate a list of
// every part for each lookup. A position from the front is reached without counting the rest.
std::string_view split_part(std::string_view id, Py_ssize_t index) {
    size_t start = 0;
    if (index >= 0) {
        for (Py_ssize_t part = 0; part < index; ++part) {
            size_t slash = id.find('/', start);
            if (slash == std::string_view::npos)
                raise(PyExc_IndexError, "list index out of range");
            start = slash + 1;
        }
    } else {
        Py_ssize_t parts = static_cast<Py_ssize_t>(std::count(id.begin(), id.end(), '/')) + 1;
        Py_ssize_t position = list_position(index, parts);
        for (Py_ssize_t part = 0; part < position; ++part)
            start = id.find('/', start) + 1;
    }
    size_t end = id.find('/', start);
    return id.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

// The interned names. Each name's one Python str is found by its text; call sites pass the same
// few literals again and again, so a small table keyed by the pointer answers first, and checks
// the text before it trusts a pointer (an address may be reused for another name).
class InternedNames {
  public:
    nb::handle get(const char* name) {
        Slot& slot = recent_[(reinterpret_cast<uintptr_t>(name) >> 3) % recent_size];
        if (slot.key == name && std::strcmp(PyUnicode_AsUTF8(slot.value), name) == 0)
            return slot.value;
        slot = {name, by_text(name)};
        return slot.value;
    }

  private:
    PyObject* by_text(const char* name) {
        auto found = names_.find(std::string_view(name));
        if (found != names_.end())
            return found->second;
        PyObject* made = PyUnicode_InternFromString(name);
        if (made == nullptr)
            throw nb::python_error();
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(made, &length);
        if (text == nullptr)
            throw nb::python_error();
        names_.emplace(std::string_view(text, static_cast<size_t>(length)), made);
        return made;
    }

    struct Slot {
        const char* key = nullptr;
        PyObject* value = nullptr;
    };
    static constexpr size_t recent_size = 512;
    Slot recent_[recent_size];
    std::unordered_map<std::string_view, PyObject*> names_; // views into the interned strs
};

} // namespace

void remember_module(nb::handle module) {
    Py_XDECREF(the_module);
    the_module = module.inc_ref().ptr();
}

nb::object collaborator(const char* name) {
    return nb::handle(the_module).attr(interned(name));
}

nb::handle interned(const char* name) {
    static InternedNames names;
    return names.get(name);
}

bool exact_str_view(nb::handle value, std::string_view& view) {
    if (!PyUnicode_CheckExact(value.ptr()))
        return false;
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &length);
    if (data == nullptr) { // lone surrogates: no UTF-8 form, so leave it to Python
        PyErr_Clear();
        return false;
    }
    view = std::string_view(data, static_cast<size_t>(length));
    return true;
}

std::string text(nb::handle value) {
    nb::object rendered = checked(PyObject_Str(value.ptr()));
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(rendered.ptr(), &length);
    if (data == nullptr)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(length));
}

Logger::Logger()
    : logger_(collaborator("logging").attr(interned("getLogger"))(interned(logger_name))) {}

void Logger::emit(const char* level, const std::string& message) const {
    logger_.attr(interned(level))(as_str(message));
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

bool id_segment_view(nb::handle resource_id, nb::handle index, std::string_view& segment) {
    std::string_view id;
    if (!PyLong_CheckExact(index.ptr()) || !exact_str_view(resource_id, id))
        return false;
    int overflow = 0;
    long long wanted = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0 || (wanted == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    segment = split_part(id, static_cast<Py_ssize_t>(wanted));
    return true;
}

nb::object id_segment(nb::handle resource_id, nb::handle index) {
    std::string_view segment;
    if (id_segment_view(resource_id, index, segment))
        return as_str(segment);
    return item(resource_id.attr("split")("/"), index);
}

nb::object id_segment(nb::handle resource_id, Py_ssize_t index) {
    return id_segment(resource_id, nb::int_(index));
}

nb::object id_segment(nb::handle resource_id, const char* discovery_position) {
    return id_segment(resource_id, collaborator("dl").attr(interned(discovery_position)));
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
