#include "dry_run.hpp"
#include "registration.hpp"

namespace switchlib {

namespace {

void set_dry_run(nb::handle cls) {
    cls.attr("DryRun") = true;
}

} // namespace

void register_dry_run(OperationTable& table) {
    table.attribute("DryRun", nb::bool_(false));
    table.add("setDryRun", &set_dry_run);
}

} // namespace switchlib
