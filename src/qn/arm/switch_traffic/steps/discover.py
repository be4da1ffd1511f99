"""discover-route-tables: finds the VNet's staged route tables and pairs them with the old ones.
It changes nothing; the steps after it read its records."""

from typing import Any

from qn.arm.switch_traffic.records import Records
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun


class Discovered(Records):
    stagedUdrLst: list[str]
    rtb_target_rtb_map: dict[str, str]

    @staticmethod
    def table(entry: str) -> str:
        """The table's name in an entry of `stagedUdrLst`."""
        return entry.split(":")[0]

    def staged_tables(self) -> list[str]:
        return [self.table(entry) for entry in self.stagedUdrLst]

    def narrowed_to(self, tables: list[str]) -> "Discovered":
        """Narrowed to the staged tables named (forward pairing)."""
        wanted = {t.lower() for t in tables}
        return Discovered(
            stagedUdrLst=[e for e in self.stagedUdrLst if self.table(e).lower() in wanted],
            rtb_target_rtb_map={
                old: new for old, new in self.rtb_target_rtb_map.items() if new.lower() in wanted
            },
        )

    def merged(self, fresh: "Discovered") -> "Discovered":
        """With what a fresh discovery adds (a table staged since). A subnet already moved is
        on its staged table, so a fresh discovery no longer pairs its old table, and the steps
        after the switch still need that pair."""
        staged = list(self.stagedUdrLst)
        known = {e.lower() for e in staged}
        staged += [e for e in fresh.stagedUdrLst if e.lower() not in known]
        pairs = {**self.rtb_target_rtb_map, **fresh.rtb_target_rtb_map}
        return Discovered(stagedUdrLst=staged, rtb_target_rtb_map=pairs)


class Discover(Step[Discovered]):
    name = "discover-route-tables"
    records = Discovered
    has_items = False

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Discovered:
        pairs: dict[str, str] = {}
        staged, _ = library.discoverRouteTable(run.network_client, False, run.vnet, pairs)
        return Discovered(stagedUdrLst=staged, rtb_target_rtb_map=pairs)


STEP = Discover()
