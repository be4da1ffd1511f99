#include "python.hpp"

#include <algorithm>

namespace switchlib {

namespace {

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

} // namespace

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
    nb::str rendered(value);
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(rendered.ptr(), &length);
    if (data == nullptr)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(length));
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

bool contains(nb::handle container, nb::handle item) {
    return checked_status(PySequence_Contains(container.ptr(), item.ptr())) == 1;
}

nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
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

nb::object last_segment(nb::handle resource_id) {
    return id_segment(resource_id, nb::int_(-1));
}

} // namespace switchlib
