// The module-level collaborator names and the logger. The names are bound once at load time and
// looked up anew on every use, so that a replaced name (a test fake, the driver's endpoint-aware
// client) takes effect at once.
#pragma once

#include "python.hpp"

namespace switchlib {

// Binds the collaborator names on the module, in their order, and keeps the module for lookups.
void bind_collaborators(nb::module_& module);

// The module object, kept for the interpreter's life.
nb::handle the_module();

// The collaborator bound to `name` now. Names are literals, so nanobind keeps their Python strs.
template <size_t N> nb::object collaborator(const char (&name)[N]) {
    return the_module().attr(name);
}

// resource_id.split("/")[dl.<position>], the position being one of DiscoveryLib's "SUB_I",
// "RG_I", "VNET_I", "PEER_I".
template <size_t N> nb::object id_segment(nb::handle resource_id, const char (&position)[N]) {
    return id_segment(resource_id, collaborator("dl").attr(position));
}

// DiscoveryLib's four positions, read once for an operation that splits many IDs.
struct DiscoveryPositions {
    DiscoveryPositions()
        : dl(collaborator("dl")), sub(dl.attr("SUB_I")), rg(dl.attr("RG_I")),
          vnet(dl.attr("VNET_I")), peer(dl.attr("PEER_I")) {}
    nb::object dl, sub, rg, vnet, peer;
};

// The resource group of a VNet, a route table or any model with an `id`.
inline nb::object resource_group_of(nb::handle resource) {
    return id_segment(resource.attr("id"), "RG_I");
}

// The logger "qn.arm.switchlib", obtained through the module's bound `logging` when made, at
// the start of each operation that logs. A line's parts are literals and Python values, each
// value rendered with str(). A line is built only when the logger takes its level: the debug
// lines of a peering lookup would otherwise cost more than the lookup. The logger is asked once
// per operation and level (isEnabledFor), as the level is the caller's, set before it calls.
class Logger {
  public:
    Logger();
    template <typename... Parts> void info(const Parts&... parts) const {
        log(level_info, parts...);
    }
    template <typename... Parts> void warning(const Parts&... parts) const {
        log(level_warning, parts...);
    }
    template <typename... Parts> void error(const Parts&... parts) const {
        log(level_error, parts...);
    }
    template <typename... Parts> void debug(const Parts&... parts) const {
        log(level_debug, parts...);
    }

  private:
    enum Level { level_debug, level_info, level_warning, level_error, level_count };

    template <typename... Parts> void log(Level level, const Parts&... parts) const {
        if (enabled(level))
            emit(level, concat(parts...));
    }
    bool enabled(Level level) const;
    void emit(Level level, const std::string& message) const;
    void prepare_records() const;
    bool emit_record(Level level, nb::handle line) const;

    nb::object logging_;
    nb::object logger_;
    // Set at the first line, for a plain Logger only: the logging module's file, the record
    // factory and the logger's name.
    mutable bool prepared_ = false;
    mutable nb::object logging_source_, record_factory_, name_;
    mutable signed char enabled_[level_count] = {-1, -1, -1, -1}; // -1: not asked yet
};

} // namespace switchlib
