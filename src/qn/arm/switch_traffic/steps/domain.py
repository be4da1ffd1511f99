"""security-domain: puts the spoke gateway into its security domain at the end of the forward
run; the revert takes it out first. The controller's answer is examined and its listing of the
domain read back: a refusal is never taken for a join. A spoke in the domain before the run
stays in it."""

from typing import Any

from qn.arm.lumaflow import LumaflowError
from qn.arm.switch_traffic import adapter
from qn.arm.switch_traffic.config import DriverConfig
from qn.arm.switch_traffic.records import Change, Items, Records
from qn.arm.switch_traffic.resources import Verdict, attempt, readable
from qn.arm.switch_traffic.steps.base import Earlier, PlanError, Step, VnetRun


class Domain(Records):
    attached: bool  # the security domain is enabled
    domain: str | None = None
    attachment: str | None = None  # the spoke gateway
    member_before: bool = False  # in the domain before the run: the revert leaves it

    def item(self) -> str:
        return f"{self.attachment} in {self.domain}"


class SecurityDomain(Step[Domain]):
    name = "security-domain"
    records = Domain
    counted = "domain"
    revert_goes_on = True

    def in_play(self, config: DriverConfig) -> bool:
        return config.configure_gw_name

    def keys(self, records: Domain) -> list[str]:
        # Records of earlier versions name no domain: those are not read back.
        return [records.item()] if records.attached and records.domain else []

    def plannable(self, run: VnetRun) -> None:
        if not run.config.configure_gw_name:
            return
        try:
            run.gateways()
            run.session().domain_attachments(self.domain_of(run))
        except LumaflowError as error:
            raise PlanError(f"the controller: {error}") from None

    @staticmethod
    def domain_of(run: VnetRun) -> str:
        return run.vnet_config.domain or run.config.domain or ""

    def plan(self, run: VnetRun, library: Any, earlier: Earlier) -> Domain:
        if not run.config.configure_gw_name:
            return Domain(attached=False)
        domain, spoke = self.domain_of(run), run.gateways().spoke
        members = run.session().domain_attachments(domain)
        return Domain(
            attached=True, domain=domain, attachment=spoke, member_before=spoke in members
        )

    def forward(self, run: VnetRun, records: Domain, pending: list[str], earlier: Earlier) -> None:
        if records.member_before:
            return
        with adapter.domain_settings(run.config, records.domain, records.attachment):
            run.library.attach_spoke_domain(True)

    def after_forward(self, run: VnetRun, records: Domain, known: Items) -> None:
        if not records.attached:
            run.log.info("  security domain not enabled -- skipped")

    def revert(self, run: VnetRun, records: Domain, pending: list[str]) -> None:
        if records.member_before:
            return  # not this run's to undo
        with adapter.domain_settings(run.config, records.domain, records.attachment):
            run.library.attach_spoke_domain(False)

    def read(self, run: VnetRun, records: Domain, names: list[str]) -> dict[str, Any]:
        members = attempt(lambda: run.session().domain_attachments(records.domain or ""))
        return dict.fromkeys(names, members)

    def judge(self, records: Domain, name: str, members: Any, revert: bool) -> Verdict:
        if not readable(members):
            return False, f"domain {records.domain} {members or 'not found'}"
        if revert and records.member_before:
            return True, ""
        inside = records.attachment in members
        if inside == (not revert):
            return True, ""
        return False, f"{records.attachment} {'still' if inside else 'not'} in {records.domain}"

    def rows(self, run: VnetRun, records: Domain, revert: bool) -> list[Change]:
        if not records.attached:
            return [] if revert else [Change(self.name, "-", "-", "not enabled: nothing to attach")]
        vnet_config, config = run.vnet_config, run.config
        domain = f"in domain {records.domain or vnet_config.domain or config.domain}"
        gateway = records.attachment or vnet_config.spoke_gw_name or "-"
        if records.member_before:
            return [] if revert else [Change(self.name, gateway, domain, f"{domain} (as before)")]
        before, after = (domain, "-") if revert else ("-", domain)
        return [Change(self.name, gateway, before, after, self.counted or "")]


STEP = SecurityDomain()
