// The region table: short region codes that gateway names are built from.
#pragma once

#include "python.hpp"

namespace switchlib {

// cls.region[regionId], read through the class: a KeyError for a region without a code.
inline nb::object region_code(nb::handle cls, nb::handle region_id) {
    return item(cls.attr("region"), region_id);
}

} // namespace switchlib
