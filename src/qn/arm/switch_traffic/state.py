"""The state file: what every step was to change and what Azure showed of it, kept between
the forward and the revert run.

It is JSON, rewritten whole after every change through a temporary file and a rename, so an
interruption leaves either the state before a change or the state after it, never half of one.
The version it replaces stays beside it as "<state>.prev" (a hard link moved into place before
the rename), so at every instant there is a current file and a previous one; the records a
`--force` run drops are kept as "<state>.dropped-<time>" the same way.
An operator reads it as laid out below: one line per step's field, one per item, the deeper
parts (a step's records, an item) each on a line of their own. Each VNet's text is kept between
rewrites and made again only when its entry changes, so a rewrite costs one VNet's encoding, not
the estate's.
One driver at a time may use it: `hold()` takes an exclusive lock on a file beside it
("<state>.lock", holding the process ID) for the whole run, and removes the lock file (and the
directories) it made as it ends. Within the driver, the workers that
run VNets at once share one StateFile: every change and its save happen under one lock, what
is read is a copy, and what is kept is copied in, so that no worker changes what another is
writing out.

Layout:
    {"version": 3,
     "revision": <n>,                     # one more at every write; a file without it is 0
     "vnets": {"<subscription>/<resource group>/<vnet>": {
         "order": <n>,                    # forward runs in the order they started
         "forward": {"<step>": {"started": "<time>", "records": {...},
                                "items": {"<item>": {"status": "done" | "pending",
                                                     "reason": "...", "at": "<time>"}},
                                "done": "<time>"}, ...},
         "revert": {"<step>": {"started": "<time>", "items": {...}, "done": "<time>"}},
         "revert_attempts": [{"at": "<time>", "result": "failed" | "done",
                              "reason": "..."}]}}}

"records" holds what the step is to change, kept before it changes anything; "items" what
Azure showed of each item after the last attempt; "done" is set once every item is done.
"revert_attempts" (absent in older files) lists each revert run of the VNet and how it ended.
Records and items are written and read as the typed models of records.py and of each step.
"""

import contextlib
import fcntl
import json
import os
import shutil
import tempfile
import threading
from collections.abc import Iterator
from typing import IO, Any, Generic, Literal, TypeVar

from pydantic import BaseModel, ConfigDict, Field, ValidationError, create_model

from qn.arm.switch_traffic.records import Item, Items, Part, Records, now
from qn.arm.switch_traffic.steps import transit
from qn.arm.switch_traffic.steps.base import Step
from qn.arm.switch_traffic.steps.order import NAMES, ORDER
from qn.arm.switch_traffic.validation import problems

VERSION = 3
PREVIOUS, DROPPED = ".prev", ".dropped-"  # the kept versions, beside the file
# Version 2 had no attach-transit step: a run past its place did not attach anything.
UPGRADED = 2
TRANSIT = transit.STEP.name

# -- the layout: the parts the driver reads, with their types ----------------------------------
# A part of the wrong type would otherwise surface as a KeyError or AttributeError in the middle
# of a run; each step's records are typed by the step. The step names are fixed.

R = TypeVar("R")


class Kept(Part, Generic[R]):
    """What a direction kept of one step."""

    started: str | None = None
    records: R | None = None
    items: dict[str, Item] = {}
    done: str | None = None


class Steps(BaseModel):
    model_config = ConfigDict(extra="forbid", strict=True)


def _steps(name: str, records: dict[str, Any]) -> type[Steps]:
    """A direction's steps, keyed by step name; an unknown name is refused."""
    fields = {
        step.replace("-", "_"): (Kept[kind], Field(None, alias=step))  # type: ignore[valid-type]
        for step, kind in records.items()
    }
    made: type[Steps] = create_model(name, __base__=Steps, **fields)  # type: ignore[call-overload]
    return made


Forward = _steps("Forward", {step.name: step.records for step in ORDER})
Revert = _steps("Revert", dict.fromkeys(NAMES, None))


class Attempt(Part):
    """One revert run of a VNet: when it began, and why it failed."""

    at: str
    result: Literal["failed", "done"]
    reason: str | None = None


class VnetEntry(Part):
    order: int = 0
    revert_attempts: list[Attempt] = []
    # Models made at run time: mypy cannot see their fields, pydantic checks them.
    forward: Forward  # type: ignore[valid-type]
    revert: Revert = Field(default_factory=Revert)  # type: ignore[valid-type]


class Layout(Part):
    version: Literal[3]
    revision: int = 0
    vnets: dict[str, VnetEntry] = {}


# The levels of the file laid out one member a line: the document and its VNets, then in each
# VNet's entry its directions, their steps, each step's fields and its items (one a line).
VNETS_LEVELS, ENTRY_LEVELS = 2, 4


class Encoded(str):
    """JSON text already made, put in as it is."""


def layered(value: object, levels: int, indent: str = "") -> str:
    """JSON with the objects of the outer `levels` levels one member a line, two spaces further
    in per level, and what lies deeper on one line each. Made by json's C encoder: an indent
    would have json use its pure-Python one, ten times slower on a whole estate."""
    if isinstance(value, Encoded):
        return value
    if levels == 0 or not isinstance(value, dict) or not value:
        return json.dumps(value)
    inner = indent + "  "
    members = ",\n".join(
        f"{inner}{json.dumps(key)}: {layered(part, levels - 1, inner)}"
        for key, part in value.items()
    )
    return "{\n" + members + "\n" + indent + "}"


def upgraded(data: dict[str, Any]) -> dict[str, Any]:
    """A version-2 file as version 3 writes it: where a run had gone past the attach-transit
    step's place (the next step begun), that step is kept as done, with nothing attached."""
    added = NAMES.index(TRANSIT)
    before, after = NAMES[added - 1], NAMES[added + 1]
    for entry in (data.get("vnets") or {}).values():
        if not isinstance(entry, dict):
            continue
        for direction, passed in (("forward", after), ("revert", before)):
            steps = entry.get(direction)
            if isinstance(steps, dict) and passed in steps and TRANSIT not in steps:
                entry[direction] = _with_transit(steps, direction, before)
    return {**data, "version": VERSION}


def _with_transit(steps: dict[str, Any], direction: str, before: str) -> dict[str, Any]:
    kept: dict[str, Any] = {"items": {}, "done": now()}
    if direction == "forward":
        kept = {"records": {"enabled": False}, **kept}
    ordered: dict[str, Any] = {}
    for name, step in steps.items():
        if direction == "revert" and name == before:
            ordered[TRANSIT] = kept
        ordered[name] = step
        if direction == "forward" and name == before:
            ordered[TRANSIT] = kept
    ordered.setdefault(TRANSIT, kept)
    return ordered


class StateError(RuntimeError):
    """The state file cannot be used as it is; the text says why and what to do."""


class StateFile:
    def __init__(self, path: str, read_only: bool = False) -> None:
        self.path = path
        self.read_only = read_only
        self.exists = os.path.exists(path)
        self._lock = threading.RLock()
        self._texts: dict[str, str] = {}  # each VNet's part of the file, as last written
        self.data = self._load()

    def _load(self) -> dict[str, Any]:
        try:
            with open(self.path, encoding="utf-8") as handle:
                data = json.load(handle)
        except FileNotFoundError:
            return {"version": VERSION, "vnets": {}}
        except (OSError, ValueError) as error:
            raise StateError(f"{self.path}: cannot read the state file: {error}") from None
        if isinstance(data, dict) and data.get("version") == UPGRADED:
            data = upgraded(data)
        if isinstance(data, dict) and isinstance(data.get("version"), int):
            if data["version"] < VERSION:
                raise StateError(
                    f"{self.path}: written by an earlier version of the tool (state file "
                    f"version {data['version']}, not {VERSION}); revert with that version"
                )
        if not isinstance(data, dict) or data.get("version") != VERSION:
            raise StateError(f"{self.path}: not a state file of this tool (version {VERSION})")
        try:
            Layout.model_validate(data, by_alias=True)
        except ValidationError as error:
            raise StateError(
                "\n".join(problems(self.path, Layout, error))
                + f"\n{self.path}: damaged; mend the parts named, or name another state file "
                "with --state"
            ) from None
        data.setdefault("vnets", {})
        return data

    @property
    def revision(self) -> int:
        """How many times the file was written; a saved plan holds the revision it was made
        from, so that a write since (another run, a revert) is seen before it is applied."""
        with self._lock:
            return int(self.data.get("revision", 0))

    @contextlib.contextmanager
    def hold(self) -> Iterator[None]:
        """Holds the state file for this process; another driver on it stops at once. What the
        hold made (the lock file, the directories) goes when it ends, so a run that kept no
        records leaves nothing behind; the state file and what was there before stay."""
        if self.read_only:
            yield
            return
        lock_path = self.path + ".lock"
        made = missing_directories(os.path.dirname(os.path.abspath(lock_path)))
        os.makedirs(os.path.dirname(os.path.abspath(lock_path)), exist_ok=True)
        try:
            with locked(lock_path, self.path) as (handle, ours):
                handle.seek(0)
                handle.truncate()
                handle.write(f"{os.getpid()}\n")
                handle.flush()
                # Read again under the lock: the file may have changed since it was first read.
                self.data, self._texts = self._load(), {}
                try:
                    yield
                finally:
                    handle.seek(0)
                    handle.truncate()
                    if ours:  # removed while held: see locked()
                        os.unlink(lock_path)
        finally:
            if not os.path.exists(self.path):
                remove_empty(made)

    def _save(self, key: str) -> None:
        """Writes the file out after a change to the VNet's entry."""
        if self.read_only:
            return
        with self._lock:
            self._texts.pop(key, None)
            self.data["revision"] = self.revision + 1
            self._write(self._text())

    def _text(self) -> str:
        """The file's text; each VNet's part made again only when its entry changed."""
        vnets = self.data["vnets"]
        for key in vnets.keys() - self._texts.keys():
            self._texts[key] = layered(vnets[key], ENTRY_LEVELS, " " * 2 * VNETS_LEVELS)
        document = {
            "version": self.data["version"],
            "revision": self.revision,
            **self.data,
            "vnets": {key: Encoded(self._texts[key]) for key in vnets},
        }
        return layered(document, VNETS_LEVELS) + "\n"

    def _write(self, text: str) -> None:
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix=".state-", suffix=".json", dir=directory)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as out:
                out.write(text)
                out.flush()
                # Every rewrite carries every step's records: a rename that reached the disk
                # before the new file's data would lose them all at a power cut. A few
                # milliseconds, beside the seconds of Azure's answer that follows.
                os.fsync(out.fileno())
            self._keep_previous(self.path + PREVIOUS)
            os.replace(temporary, self.path)
        except BaseException:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise

    def _keep_previous(self, kept: str) -> None:
        """Makes `kept` the file as it is now, if there is one: linked under a temporary name
        and renamed over `kept`, so `kept` is always whole; a link, not a copy, for the write
        path is hot."""
        if not os.path.exists(self.path):
            return
        # Named as the write's temporary files are: a kill here leaves a hidden file only.
        directory = os.path.dirname(os.path.abspath(kept))
        linked = os.path.join(directory, f".state-kept-{os.getpid()}-{threading.get_ident()}")
        with contextlib.suppress(FileNotFoundError):
            os.unlink(linked)
        try:
            os.link(self.path, linked)
        except OSError:  # a file system without hard links
            shutil.copy2(self.path, linked)
        os.replace(linked, kept)

    def keep_dropped(self) -> str | None:
        """Keeps the file as it is now beside it, before records are dropped from it; returns
        where, or None when there is nothing to keep."""
        if self.read_only or not os.path.exists(self.path):
            return None
        kept = f"{self.path}{DROPPED}{now().replace(':', '')}"
        with self._lock:
            self._keep_previous(kept)
        return kept

    def directions(self, key: str) -> "KeptRun":
        """What both directions kept of the VNet; nothing when it has no entry."""
        with self._lock:  # read in place: what is handed out is made from it
            entry = self.data["vnets"].get(key, {})
            forward, revert = entry.get("forward", {}), entry.get("revert", {})
            return KeptRun(
                {s.name: _typed(forward.get(s.name), s, "forward") or NOT_STARTED for s in ORDER},
                {s.name: _typed(revert.get(s.name), s, "revert") or NOT_STARTED for s in ORDER},
            )

    def has_records(self, key: str) -> bool:
        with self._lock:
            return bool(self.data["vnets"].get(key, {}).get("forward"))

    # -- forward run ------------------------------------------------------------------------
    def forward_status(self, key: str) -> str:
        """ "new" (nothing kept, or fully reverted), "unfinished" (forward run not done and no
        revert begun), "done" (forward run done, not reverted) or "reverting"."""
        with self._lock:  # read in place: nothing of it is handed out
            entry = self.data["vnets"].get(key, {})
            forward, revert = entry.get("forward", {}), entry.get("revert", {})
            if not forward or all(revert.get(s, {}).get("done") for s in forward):
                return "new"
            if revert:
                return "reverting"
            if all(forward.get(s, {}).get("done") for s in NAMES):
                return "done"
            return "unfinished"

    def start_forward(self, key: str) -> None:
        """Forgets an earlier, fully reverted (or overridden) migration of the VNet."""
        with self._lock:
            order = 1 + max((v.get("order", 0) for v in self.data["vnets"].values()), default=0)
            self.data["vnets"][key] = {"order": order, "forward": {}, "revert": {}}
            self._save(key)

    def order(self, key: str) -> int:
        with self._lock:
            return int(self.data["vnets"].get(key, {}).get("order", 0))

    # -- either direction -------------------------------------------------------------------
    def entry(self, key: str, direction: str, step: Step[Any]) -> "Kept[Any] | None":
        """What a direction kept of a step (its records typed by the step), or None when the
        step never started."""
        with self._lock:  # the step's part alone: a VNet's whole entry is tens of KB
            raw = self.data["vnets"].get(key, {}).get(direction, {}).get(step.name)
            return _typed(raw, step, direction)

    def start_step(self, key: str, direction: str, step: str) -> None:
        with self._lock:
            self._started(key, direction, step)
            self._save(key)

    def _started(self, key: str, direction: str, step: str) -> dict[str, Any]:
        """The step's entry in the data, made when it has none; under the lock."""
        vnet = self.data["vnets"].setdefault(key, {"order": 0, "forward": {}, "revert": {}})
        started: dict[str, Any] = vnet.setdefault(direction, {}).setdefault(
            step, {"started": now(), "items": {}}
        )
        return started

    def keep_records(self, key: str, step: str, records: Records) -> None:
        """Keeps what a forward step is about to change, before it changes anything."""
        # Made into JSON here: a record that cannot be kept fails here, not at revert, and the
        # caller's later changes to its records are not written out half-made.
        kept = json.loads(json.dumps(records.dumped()))
        with self._lock:
            self._started(key, "forward", step)["records"] = kept
            self._save(key)

    def keep_attempt(self, key: str, attempt: Attempt) -> None:
        """Keeps how a revert run of the VNet ended."""
        with self._lock:
            entry = self.data["vnets"].get(key)
            if entry is None:
                return
            entry.setdefault("revert_attempts", []).append(attempt.dumped())
            self._save(key)

    def revert_attempts(self, key: str) -> list[Attempt]:
        with self._lock:
            kept = self.data["vnets"].get(key, {}).get("revert_attempts", [])
            return [Attempt.model_validate(attempt) for attempt in kept]

    def keep_items(self, key: str, direction: str, step: str, items: Items, done: bool) -> None:
        """Keeps what Azure showed of the step's items; the step is done when all are."""
        kept = {name: item.dumped() for name, item in items.items()}
        with self._lock:
            entry = self._started(key, direction, step)
            entry.setdefault("items", {}).update(kept)
            if done:
                entry["done"] = now()
            self._save(key)


@contextlib.contextmanager
def locked(lock_path: str, state_path: str) -> Iterator[tuple[IO[str], bool]]:
    """The lock file, opened and exclusively locked, and whether this driver made it. A holder
    removes the lock file it made before it lets go; a driver that opened the file before the
    removal then holds a lock on a file no longer there, while a later one makes and locks a
    new one. So the lock counts only while the path still names the locked file, else it is
    taken again."""
    while True:
        try:
            descriptor, made = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666), True
        except FileExistsError:
            try:
                descriptor, made = os.open(lock_path, os.O_RDWR), False
            except FileNotFoundError:  # removed meanwhile by the driver that made it
                continue
        with open(descriptor, "r+", encoding="utf-8") as handle:
            try:
                fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                handle.seek(0)
                holder = handle.read().strip() or "unknown"
                raise StateError(
                    f"{state_path}: in use by process {holder}; one driver at a time may use a "
                    "state file"
                ) from None
            try:
                if _same_file(handle, lock_path):
                    yield handle, made
                    return
            finally:
                fcntl.flock(handle, fcntl.LOCK_UN)


def _same_file(handle: IO[str], path: str) -> bool:
    try:
        return os.path.samestat(os.fstat(handle.fileno()), os.stat(path))
    except FileNotFoundError:
        return False


def missing_directories(directory: str) -> list[str]:
    """The directories that making `directory` would make, the deepest first."""
    missing = []
    while not os.path.exists(directory):
        missing.append(directory)
        parent = os.path.dirname(directory)
        if parent == directory:
            break
        directory = parent
    return missing


def remove_empty(directories: list[str]) -> None:
    """Removes the directories, the deepest first, as long as they are empty."""
    for directory in directories:
        try:
            os.rmdir(directory)
        except OSError:  # something was written there (or it is gone): it stays
            return


def _typed(raw: Any, step: Step[Any], direction: str) -> "Kept[Any] | None":
    """A step's part as kept, its forward records typed by the step; None when there is none."""
    if raw is None:
        return None
    kind: Any = step.records if direction == "forward" else None
    return Kept[kind].model_validate(raw)


NOT_STARTED: Kept[Any] = Kept()


class KeptRun:
    """What both directions kept of one VNet, by step name; a step never started is
    NOT_STARTED."""

    def __init__(self, forward: dict[str, Kept[Any]], revert: dict[str, Kept[Any]]) -> None:
        self.forward = forward
        self.revert = revert

    def of(self, direction: str) -> dict[str, Kept[Any]]:
        return self.forward if direction == "forward" else self.revert
