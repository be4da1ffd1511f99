// Python semantics for the operations: text, errors, the guard and resource-ID segments, so that
// the C++ behaves exactly as the same logic written in Python would. Comparisons, str(), repr(),
// isinstance() and arithmetic are nanobind's own (`a.equal(b)`, `nb::str(a)`, `a + b`).
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace switchlib {

namespace nb = nanobind;
using namespace nb::literals;

// ---------------------------------------------------------------------------------------------
// Text

// str(value), as UTF-8.
std::string text(nb::handle value);

// The UTF-8 text of an exact str, without a copy; false for anything else (a str subclass may
// define its own equality, so it must be compared as Python compares it).
bool exact_str_view(nb::handle value, std::string_view& view);

// A Python str holding the given UTF-8 text.
inline nb::str as_str(std::string_view value) {
    return nb::str(value.data(), value.size());
}

inline void append_part(std::string& out, std::string_view part) {
    out.append(part);
}
inline void append_part(std::string& out, const char* part) {
    out.append(part);
}
inline void append_part(std::string& out, const std::string& part) {
    out.append(part);
}
inline void append_part(std::string& out, nb::handle part) {
    out.append(text(part));
}

// Builds a message from literal pieces and Python values (each value rendered with str()).
template <typename... Parts> std::string concat(const Parts&... parts) {
    std::string out;
    (append_part(out, parts), ...);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Errors

// Raises the Python exception `type(message)`, as the plain Python expression would.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Converts a failed C API call (a NULL result or -1 with the error indicator set) into a throw.
nb::object checked(PyObject* new_reference);
int checked_status(int status);

// Inside a catch block: str(exception) of whatever was caught, Python error or C++ exception.
// Errors that are not failures (KeyboardInterrupt, SystemExit) are re-raised, not described:
// an operator's Ctrl-C must stop a migration, not be logged as a skipped item.
std::string caught_error_text();

// Runs `body`; on any error, returns `on_error(error text)` instead. Every guarded step of
// every operation goes through here, so that guards catch every error alike.
template <typename Body, typename OnError>
auto guarded(Body&& body, OnError&& on_error) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        return on_error(caught_error_text());
    }
}

// ---------------------------------------------------------------------------------------------
// Truth, membership, lookups

inline bool is_true(nb::handle value) {
    return checked_status(PyObject_IsTrue(value.ptr())) == 1;
}
inline bool is_false_object(nb::handle value) {
    return value.ptr() == Py_False;
}
// value == False, by rich comparison (so 0 counts as well): the test that tells the forward
// run (revert == False) from the revert run, and a flag that is off.
inline bool equals_false(nb::handle value) {
    return value.equal(nb::handle(Py_False));
}
bool contains(nb::handle container, nb::handle item); // item in container
nb::object item(nb::handle mapping, nb::handle key);  // mapping[key]

// ---------------------------------------------------------------------------------------------
// Resource IDs: resource_id.split("/")[index], exactly, including negative indexes and
// IndexError("list index out of range").

nb::object id_segment(nb::handle resource_id, nb::handle index);
// The same segment as a view into the ID's text, when the ID is an exact str and the index an
// exact int; false for anything else, and then only id_segment gives Python's result.
bool id_segment_view(nb::handle resource_id, nb::handle index, std::string_view& segment);
// A route table's or VNet's name: the last segment of its ID.
nb::object last_segment(nb::handle resource_id);

} // namespace switchlib
