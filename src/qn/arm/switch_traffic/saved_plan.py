"""A plan kept in a file: made with --out-plan in one window (a change board reads and approves
it), applied with --plan in another. The file is the plan's data (plan.py) with what it was
made from: the configuration's hash, the state file's revision, the run's direction and
options, the tool's version.

Applying it plans again from Azure and the state file, as every run does, and goes ahead only
when that plan is the saved one: the same VNets, direction and options, the same configuration
and state file revision, and every item as it was (what Azure shows now, what the run would make
of it). Anything else is refused, each difference named, and nothing is changed: what was
approved is what is applied, or nothing is.

The same document is the plan in a dry run's `--output json` result.
"""

import hashlib
import importlib.metadata
import json
import os
import tempfile
from typing import Any, Final, Literal

from pydantic import BaseModel, ConfigDict, ValidationError

from qn.arm.switch_traffic import report
from qn.arm.switch_traffic.config import VnetConfig
from qn.arm.switch_traffic.options import RunOptions
from qn.arm.switch_traffic.plan import Plan, PlanError, VnetPlan
from qn.arm.switch_traffic.records import now
from qn.arm.switch_traffic.state import StateFile
from qn.arm.switch_traffic.validation import problems

VERSION: Final = 1
# Keys of a plan that no other document of the tool has (a run's result is version 1 as well).
PLAN_KEYS = {"config_sha256", "state_revision", "run"}


class Model(BaseModel):
    model_config = ConfigDict(extra="forbid", strict=True, frozen=True)


class PlannedItem(Model):
    """One row of the plan: what an item of a step is in Azure now, what the run makes it."""

    step: str
    item: str
    before: str
    after: str
    counted: str = ""  # the summary's count it adds to, if any


class PlannedVnet(Model):
    name: str
    id: str  # its key in the state file: <subscription>/<resource group>/<vnet>
    items: list[PlannedItem]
    notes: list[str] = []
    stops: str | None = None  # why its run will stop, foreseen


class PlannedRun(Model):
    """What the plan is a plan of: the options that change what a run does."""

    direction: Literal["forward", "revert"]
    vnets: list[str]  # as chosen (all the configuration's when none were), in that order
    force: bool
    state_file: str  # absolute: the revision below is that file's


class SavedPlan(Model):
    version: Literal[1]
    tool_version: str
    made: str  # when, in UTC
    config: str  # the configuration file, as named
    config_sha256: str  # of the file's bytes
    state_revision: int  # 0: no state file yet, or one that never counted its writes
    run: PlannedRun
    vnets: list[PlannedVnet]  # in the order the run takes them

    def document(self) -> dict[str, Any]:
        """The JSON form: the saved file, and the plan in a dry run's result."""
        return self.model_dump(mode="json")


def tool_version() -> str:
    try:
        return importlib.metadata.version("qn-arm-switchlib")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "unknown"


def config_hash(path: str) -> str:
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest()


def planned_run(options: RunOptions, vnets: list[VnetConfig], state: StateFile) -> PlannedRun:
    return PlannedRun(
        direction="revert" if options.revert else "forward",
        vnets=[v.name for v in vnets],
        force=options.force,
        state_file=os.path.abspath(state.path),
    )


def planned_vnet(vnet: VnetPlan) -> PlannedVnet:
    items = [
        PlannedItem(step=c.step, item=c.item, before=c.before, after=c.after, counted=c.counted)
        for c in vnet.changes
    ]
    return PlannedVnet(name=vnet.name, id=vnet.key, items=items, notes=vnet.notes, stops=vnet.stops)


def saved(plan: Plan, options: RunOptions, vnets: list[VnetConfig], state: StateFile) -> SavedPlan:
    """The plan as it is kept, with what it was made from."""
    return SavedPlan(
        version=VERSION,
        tool_version=tool_version(),
        made=now(),
        config=options.config,
        config_sha256=config_hash(options.config),
        state_revision=state.revision,
        run=planned_run(options, vnets, state),
        vnets=[planned_vnet(v) for v in plan.vnets],
    )


# -- the file ---------------------------------------------------------------------------------


def write(path: str, plan: SavedPlan) -> None:
    """Writes the file whole or not at all: a change board must not approve half a plan."""
    text = json.dumps(plan.document(), indent=2, sort_keys=True) + "\n"
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise PlanError(f"--out-plan {path}: no directory {directory}; nothing was changed")
    temporary = None
    try:
        handle, temporary = tempfile.mkstemp(prefix=".plan-", suffix=".json", dir=directory)
        with os.fdopen(handle, "w", encoding="utf-8") as out:
            out.write(text)
        os.replace(temporary, path)
    except OSError as error:
        if temporary and os.path.exists(temporary):
            os.unlink(temporary)
        raise PlanError(f"--out-plan {path}: {error.strerror}; nothing was changed") from None


def read(path: str) -> SavedPlan:
    try:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    except (OSError, ValueError) as error:
        reason = error.strerror if isinstance(error, OSError) else f"not JSON: {error}"
        raise PlanError(f"--plan {path}: {reason}") from None
    if isinstance(data, dict) and isinstance(data.get("plan"), dict):
        data = data["plan"]  # a dry run's -o json result holds the same plan
    if not isinstance(data, dict) or data.get("version") != VERSION or not PLAN_KEYS & set(data):
        raise PlanError(
            f"--plan {path}: not a plan saved by this tool with --out-plan (version {VERSION})"
        )
    try:
        return SavedPlan.model_validate(data)
    except ValidationError as error:
        raise PlanError(
            "\n".join(problems(path, SavedPlan, error)) + f"\n--plan {path}: damaged; make the "
            "plan again with --out-plan"
        ) from None


# -- applying it --------------------------------------------------------------------------------


def check_run(path: str, run: PlannedRun) -> SavedPlan:
    """The saved plan, when it is one for this run's VNets, direction and options; checked
    before anything is read, so that a plan for another run is refused as that, not as what
    the state file or Azure show for this one."""
    plan = read(path)
    found = run_differences(plan.run, run)
    if plan.tool_version != tool_version():
        found.append(f"made by version {plan.tool_version} of the tool, this is {tool_version()}")
    if found:
        raise refused(path, found, "the plan is not one for this run")
    return plan


def check_unchanged(path: str, approved: SavedPlan, now_planned: SavedPlan) -> None:
    """Refuses unless the plan made now is the approved one."""
    found = []
    if approved.config_sha256 != now_planned.config_sha256:
        found.append(
            f"the configuration {now_planned.config} changed (sha256 {approved.config_sha256[:12]}"
            f"... when planned, now {now_planned.config_sha256[:12]}...)"
        )
    if approved.state_revision != now_planned.state_revision:
        found.append(
            f"the state file {now_planned.run.state_file} was written since (revision "
            f"{approved.state_revision} when planned, now {now_planned.state_revision})"
        )
    now_by_name = {v.name: v for v in now_planned.vnets}
    for vnet in approved.vnets:
        current = now_by_name.get(vnet.name)
        found += vnet_differences(vnet, current) if current else [f"{vnet.name}: not planned now"]
    if found:
        raise refused(
            path, found, "the configuration, the state file or Azure moved since the plan was made"
        )


def refused(path: str, found: list[str], why: str) -> PlanError:
    return PlanError(
        f"--plan {path}: {why}; nothing was changed:\n  "
        + "\n  ".join(found)
        + "\nmake a new plan with --out-plan, and have it approved"
    )


def run_differences(approved: PlannedRun, now_run: PlannedRun) -> list[str]:
    said = {
        "direction": "direction",
        "vnets": "VNets",
        "force": "--force",
        "state_file": "state file",
    }
    return [
        f"{label}: the plan is for {shown(getattr(approved, field))}, this run for "
        f"{shown(getattr(now_run, field))}"
        for field, label in said.items()
        if getattr(approved, field) != getattr(now_run, field)
    ]


def shown(value: object) -> str:
    if isinstance(value, list):
        return ", ".join(value)
    if isinstance(value, bool):
        return "on" if value else "off"
    return str(value)


def vnet_differences(approved: PlannedVnet, now_vnet: PlannedVnet) -> list[str]:
    """Each item that is not as it was planned, by step and item."""
    name = approved.name
    before = {(i.step, i.item): i for i in approved.items}
    after = {(i.step, i.item): i for i in now_vnet.items}
    found = []
    for key, item in before.items():
        current = after.get(key)
        where = f"{name}: {item.step} {item.item}"
        if current is None:
            found.append(f"{where}: planned ({item.before} -> {item.after}), now nothing to do")
        elif current.before != item.before:
            found.append(f"{where}: was {item.before!r} when planned, now {current.before!r}")
        elif current.after != item.after:
            found.append(f"{where}: was to become {item.after!r}, now {current.after!r}")
    found += [
        f"{name}: {i.step} {i.item}: not in the plan, now to change ({i.before} -> {i.after})"
        for key, i in after.items()
        if key not in before
    ]
    if approved.stops != now_vnet.stops:
        found.append(
            f"{name}: stops {approved.stops or 'nowhere'} when planned, now "
            f"{now_vnet.stops or 'nowhere'}"
        )
    return found


# -- the run's hooks --------------------------------------------------------------------------


def approved_plan(
    options: RunOptions, vnets: list[VnetConfig], state: StateFile
) -> SavedPlan | None:
    """The plan given with --plan, once it is known to be for this run; None without one."""
    if options.plan is None:
        return None
    return check_run(options.plan, planned_run(options, vnets, state))


def settle(
    options: RunOptions,
    plan: Plan,
    vnets: list[VnetConfig],
    state: StateFile,
    approved: SavedPlan | None,
) -> SavedPlan:
    """The plan made now, as kept: checked against the approved one (--plan), written out
    (--out-plan) before the question is asked."""
    made = saved(plan, options, vnets, state)
    log = report.driver_log()
    if approved is not None and options.plan is not None:
        check_unchanged(options.plan, approved, made)
        log.info(
            f"the saved plan {options.plan} (made {approved.made}) is what Azure and the state "
            "file show now: applied as approved, without asking again"
        )
    if options.out_plan is not None:
        write(options.out_plan, made)
        log.info(
            f"plan saved to {options.out_plan}; to apply it, run this command with --plan "
            f"{options.out_plan} in place of --out-plan"
            + (" and without --dry-run" if options.dry_run else "")
        )
    return made
