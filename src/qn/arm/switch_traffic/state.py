"""The state file: the records of every step, kept between the forward and the revert run.

It is JSON, rewritten whole after every step through a temporary file and a rename, so an
interruption leaves either the state before the step or the state after it, never half of one.

Layout:
    {"version": 1,
     "vnets": {"<subscription>/<resource group>/<vnet>": {
         "forward": {"<step>": {"started": "<time>", "planned": {...},
                                "at": "<time>", "records": {...}}, ...},
         "reverted": {"<step>": "<time>", ...}}}}

A step is entered under "forward" when it starts; "planned" holds the records of its read-only
plan, kept before it changes anything; "records" and "at" are added when it completes.
"""

import json
import os
import tempfile
from datetime import UTC, datetime

VERSION = 1


class StateError(RuntimeError):
    """The state file cannot be used as it is; the text says why and what to do."""


def _now():
    return datetime.now(UTC).isoformat(timespec="seconds")


class StateFile:
    def __init__(self, path, read_only=False):
        self.path = path
        self.read_only = read_only
        self.data = self._load()

    def _load(self):
        try:
            with open(self.path, encoding="utf-8") as handle:
                data = json.load(handle)
        except FileNotFoundError:
            return {"version": VERSION, "vnets": {}}
        except (OSError, ValueError) as error:
            raise StateError(f"{self.path}: cannot read the state file: {error}") from None
        if not isinstance(data, dict) or data.get("version") != VERSION:
            raise StateError(f"{self.path}: not a state file of this tool (version {VERSION})")
        data.setdefault("vnets", {})
        return data

    def _save(self):
        if self.read_only:
            return
        directory = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(directory, exist_ok=True)
        handle, temporary = tempfile.mkstemp(prefix=".state-", suffix=".json", dir=directory)
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as out:
                json.dump(self.data, out, indent=2, sort_keys=False)
                out.write("\n")
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, self.path)
        except BaseException:
            if os.path.exists(temporary):
                os.unlink(temporary)
            raise

    def _vnet(self, key):
        return self.data["vnets"].setdefault(key, {"forward": {}, "reverted": {}})

    # -- forward run ------------------------------------------------------------------------
    def pending_vnets(self):
        """VNets whose forward records are not all reverted yet."""
        return [
            key
            for key, entry in self.data["vnets"].items()
            if set(entry.get("forward", {})) - set(entry.get("reverted", {}))
        ]

    def start_forward(self, key):
        """Forgets an earlier, fully reverted (or overridden) migration of the VNet."""
        self.data["vnets"][key] = {"forward": {}, "reverted": {}}
        self._save()

    def start_step(self, key, step):
        self._vnet(key)["forward"][step] = {"started": _now()}
        self._save()

    def plan(self, key, step, records):
        """Keeps what a step is about to change, before it changes anything."""
        self._keep(key, step, {"planned": records})

    def record(self, key, step, records):
        """Keeps what a forward step returned; written out before the next step starts."""
        self._keep(key, step, {"at": _now(), "records": records})

    def _keep(self, key, step, entries):
        json.dumps(entries)  # a record that cannot be kept must fail here, not at revert
        self._vnet(key)["forward"].setdefault(step, {"started": _now()}).update(entries)
        self._save()

    # -- revert run -------------------------------------------------------------------------
    def forward_entry(self, key, step):
        """What the forward run kept of a step, or None when the step never started."""
        return self.data["vnets"].get(key, {}).get("forward", {}).get(step)

    def is_reverted(self, key, step):
        return step in self.data["vnets"].get(key, {}).get("reverted", {})

    def mark_reverted(self, key, step):
        self._vnet(key)["reverted"][step] = _now()
        self._save()
