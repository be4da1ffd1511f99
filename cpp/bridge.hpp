// The bridge between the operations and the Python world they live in: every operation reaches
// Python values, collaborators, the logger and error texts through these helpers, so that the
// C++ behaves exactly as the same logic written in Python would.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace switchlib {

namespace nb = nanobind;

// ---------------------------------------------------------------------------------------------
// Collaborators: the module-level names bound at load time, looked up anew on every call so
// that a replaced name (a test fake, the driver's endpoint-aware client) takes effect at once.

void remember_module(nb::handle module);
nb::object collaborator(const char* name);

// The name as an interned Python str, made once per name and kept for the interpreter's life.
// Looking an attribute up with it skips building, hashing and comparing a new str each time:
// `value.attr(interned("name"))` on the paths that run once per item.
nb::handle interned(const char* name);

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
// Logging: one logger, "qn.arm.switchlib", obtained through the module's bound `logging`.

class Logger {
  public:
    Logger();
    void info(const std::string& message) const { emit("info", message); }
    void warning(const std::string& message) const { emit("warning", message); }
    void error(const std::string& message) const { emit("error", message); }
    void debug(const std::string& message) const { emit("debug", message); }

  private:
    void emit(const char* level, const std::string& message) const;
    nb::object logger_;
};

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
// Python semantics

inline bool is_true(nb::handle value) {
    return checked_status(PyObject_IsTrue(value.ptr())) == 1;
}
inline bool is_false_object(nb::handle value) {
    return value.ptr() == Py_False;
}
bool equals(nb::handle a, nb::handle b);              // a == b
bool differs(nb::handle a, nb::handle b);             // a != b
bool greater(nb::handle a, nb::handle b);             // a > b
bool contains(nb::handle container, nb::handle item); // item in container
nb::object item(nb::handle mapping, nb::handle key);  // mapping[key]
nb::object item(nb::handle mapping, const char* key);
nb::list to_list(nb::handle iterable); // list(iterable)

// ---------------------------------------------------------------------------------------------
// Resource IDs: resource_id.split("/")[index], exactly, including negative indexes and
// IndexError("list index out of range").

nb::object id_segment(nb::handle resource_id, nb::handle index);
nb::object id_segment(nb::handle resource_id, Py_ssize_t index);
// The segment at one of DiscoveryLib's positions ("SUB_I", "RG_I", "VNET_I", "PEER_I").
nb::object id_segment(nb::handle resource_id, const char* discovery_position);
// The same segment as a view into the ID's text, when the ID is an exact str and the index an
// exact int; false for anything else, and then only id_segment gives Python's result.
bool id_segment_view(nb::handle resource_id, nb::handle index, std::string_view& segment);
inline nb::object last_segment(nb::handle resource_id) {
    return id_segment(resource_id, -1);
}

// ---------------------------------------------------------------------------------------------
// Operations: each subsystem adds its class-level operations to the table; the frame builds the
// SwitchTraffic class from it in the order of the class body.

// A parameter declared as the tool's AzureCredential. Like a Python annotation, the declaration
// shows in the operation's signature and checks nothing: any value is accepted.
inline bool accepts_any(PyObject*) {
    return true;
}
class AzureCredentialParam : public nb::object {
  public:
    NB_OBJECT_DEFAULT(AzureCredentialParam, object, "AzureCredential", accepts_any)
};

// A parameter of an operation: any Python value, None included. Operations declare every
// parameter after the class argument with it: param("vnet"), param("indent", nb::int_(0)).
inline auto param(const char* name) {
    return nb::arg(name).none();
}
inline auto param(const char* name, nb::object default_value) {
    return nb::arg(name).none() = std::move(default_value);
}

class OperationTable {
  public:
    // Registers `function` as the classmethod `name`; `extra` names the parameters after the
    // class argument, each made with param().
    template <typename Func, typename... Extra>
    void add(const char* name, Func function, const Extra&... extra) {
        define(name, "cls", function, extra...);
    }
    // Like add, for an operation whose class argument is named `self`.
    template <typename Func, typename... Extra>
    void add_self(const char* name, Func function, const Extra&... extra) {
        define(name, "self", function, extra...);
    }
    // The function of operation `name`, made within `cls` (for its qualified name), or an
    // invalid object when no subsystem registered it.
    nb::object take(std::string_view name, nb::handle cls);
    bool empty() const { return entries_.empty(); }
    std::string names() const;

  private:
    using Factory = std::function<nb::object(nb::handle)>;

    template <typename Func, typename... Extra>
    void define(const char* name, const char* class_argument, Func function,
                const Extra&... extra) {
        entries_.emplace_back(name, [=](nb::handle cls) -> nb::object {
            return nb::cpp_function(function, nb::scope(cls), nb::name(name),
                                    nb::arg(class_argument), extra...);
        });
    }

    std::vector<std::pair<std::string, Factory>> entries_;
};

} // namespace switchlib
