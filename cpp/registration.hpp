// How each source file adds its operations and class attributes to SwitchTraffic: the parameter
// types, the table they go into, and the registration function of every file.
#pragma once

#include "python.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace switchlib {

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

// The class body as the source files register it: operations (made into classmethods) and
// plain class attributes, taken out by name in the order of the class body.
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
    // Registers a plain class attribute.
    void attribute(const char* name, nb::object value);

    // The value of `name` for the class `cls`: its classmethod or attribute. An ImportError
    // naming it when no file registered it.
    nb::object take(std::string_view name, nb::handle cls);
    // An ImportError naming what was registered outside the class body.
    void check_all_taken() const;

  private:
    using Factory = std::function<nb::object(nb::handle)>;

    template <typename Func, typename... Extra>
    void define(const char* name, const char* class_argument, Func function,
                const Extra&... extra) {
        entries_.emplace_back(name, [=](nb::handle cls) -> nb::object {
            nb::object made = nb::cpp_function(function, nb::scope(cls), nb::name(name),
                                               nb::arg(class_argument), extra...);
            return checked(PyClassMethod_New(made.ptr()));
        });
    }

    std::vector<std::pair<std::string, Factory>> entries_;
};

// Builds the SwitchTraffic class on the module from the table, in the order of its class body.
void build_class(nb::module_& module, OperationTable& table);

// One registration per source file.
void register_dry_run(OperationTable& table);
void register_discovery(OperationTable& table);
void register_subnet_switch(OperationTable& table);
void register_propagation(OperationTable& table);
void register_resource_graph(OperationTable& table);
void register_gateway_naming(OperationTable& table);
void register_regions(OperationTable& table);
void register_peering_lookup(OperationTable& table);
void register_peering_deletion(OperationTable& table);
void register_peering_recreation(OperationTable& table);
void register_remote_gateway(OperationTable& table);
void register_locks(OperationTable& table);
void register_transit(OperationTable& table);
void register_security_domain(OperationTable& table);

} // namespace switchlib
