#include "regions.hpp"
#include "registration.hpp"

#include <utility>

namespace switchlib {

namespace {

constexpr std::pair<const char*, const char*> region_codes[] = {
    {"eastus", "use"},         {"centralus", "usc"},   {"westus", "usw"},
    {"westus2", "usw2"},       {"northeurope", "eun"}, {"westeurope", "euw"},
    {"southeastasia", "asse"}, {"japaneast", "jae"},   {"chinaeast2", "che2"},
    {"chinanorth2", "chn2"},
};

} // namespace

void register_regions(OperationTable& table) {
    nb::dict region;
    for (const auto& [name, code] : region_codes)
        region[nb::str(name)] = nb::str(code);
    table.attribute("region", region);
}

} // namespace switchlib
