// The dry-run switch: the class attribute DryRun, its setter, and the test every changing call
// makes immediately before it runs.
#pragma once

#include "python.hpp"

namespace switchlib {

// bool(cls.DryRun), read through the class so that a subclass or a patched attribute counts.
inline bool dry_run(nb::handle cls) {
    return is_true(cls.attr("DryRun"));
}

} // namespace switchlib
