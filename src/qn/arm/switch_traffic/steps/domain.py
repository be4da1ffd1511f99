"""security-domain: attaches the spoke gateway to its security domain; the revert detaches it."""

from typing import Any

from qn.arm.switch_traffic.records import Change, Records
from qn.arm.switch_traffic.steps.base import Earlier, Step, VnetRun


class Domain(Records):
    attached: bool


class SecurityDomain(Step[Domain]):
    name = "security-domain"
    records = Domain
    has_items = False

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Domain:
        return Domain(attached=run.config.configure_gw_name)

    def forward(self, run: VnetRun, records: Domain, pending: list[str], earlier: Earlier) -> None:
        if not records.attached:
            run.log.info("  security domain not enabled -- skipped")
        run.library.attach_spoke_domain(True)

    def revert(self, run: VnetRun, records: Domain, pending: list[str]) -> None:
        run.library.attach_spoke_domain(False)

    def rows(self, run: VnetRun, records: Domain, revert: bool) -> list[Change]:
        config, vnet_config = run.config, run.vnet_config
        if not records.attached:
            return [] if revert else [Change(self.name, "-", "-", "not enabled: nothing to attach")]
        domain = f"in domain {vnet_config.domain or config.domain}"
        gateway = vnet_config.spoke_gw_name or "-"
        before, after = (domain, "-") if revert else ("-", domain)
        return [Change(self.name, gateway, before, after)]


STEP = SecurityDomain()
