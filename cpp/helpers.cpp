// The module-level helpers, with the signatures the stub file shows: the driver plans with
// them before a run, so they are typed as precisely as the values they give.
#include "helpers.hpp"

namespace switchlib {

void register_helpers(nb::module_& module) {
    module.def("main_table_names", &main_table_names, "vnet_name"_a,
               nb::sig("def main_table_names(vnet_name: str) -> list[str]"),
               "The VNet's two main route tables, in the order the forward switch deals subnets "
               "out to them: \"<P>-main-1\", \"<P>-main-2\", P being the configured main-table "
               "prefix, else the VNet's name.");
    module.def("forward_switch_target", &forward_switch_target, "yaml"_a, "vnet"_a, "subnet"_a,
               "rtb_target_rtb_map"_a,
               nb::sig("def forward_switch_target(yaml: collections.abc.Mapping[str, object], "
                       "vnet: object, subnet: object, "
                       "rtb_target_rtb_map: collections.abc.Mapping[str, str]) -> "
                       "tuple[typing.Literal['reserved', 'netapp', 'spoke_gateway', "
                       "'not_migrated', 'not_copied', 'main', 'staged'], str | None]"),
               "What the forward updateSubnetAssociation does with one subnet, as (kind, table).\n"
               "\n"
               "Skipped: 'reserved' (Azure-reserved name), 'netapp' (NetApp delegation), "
               "'spoke_gateway' (a controller spoke-gateway subnet with its own table), "
               "'not_migrated' (no own table, migrate_non_associated_subnet is False), "
               "'not_copied' (its table is not a key of rtb_target_rtb_map).\n"
               "Moved: 'main' (to one of main_table_names, in turn), 'staged' (to table, the "
               "map's value for its table; with shared route-table replication the discovery "
               "record may name another).\n"
               "table is None for every kind but 'staged'. Reads yaml's \"default_route_table\" "
               "and, for a subnet without an own table, \"migrate_non_associated_subnet\".");
    module.def("lock_to_remove", &lock_to_remove, "locks"_a,
               nb::sig("def lock_to_remove(locks: collections.abc.Iterable[typing.Any]) -> "
                       "typing.Any | None"),
               "Of a VNet's lock listing, the lock deleteVnetLock deletes (the first listed), "
               "or None for an empty listing.");
}

} // namespace switchlib
