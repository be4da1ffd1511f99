"""How the emulator answers: how long each kind of write takes, how waits are scaled, paging."""

from dataclasses import dataclass

# The kinds of write that take time, as `durations` and the profiles name them.
KINDS = (
    "subnet_put",
    "route_table_put",
    "peering_put",
    "peering_delete",
    "lock_put",
    "lock_delete",
)

# Seconds each kind of write takes. "realistic" holds Azure's typical figures (their sources
# are cited in docs/emulator.md); "instant" completes every write in its answer.
PROFILES = {
    "realistic": {
        "subnet_put": 3.0,
        "route_table_put": 5.0,
        "peering_put": 15.0,
        "peering_delete": 10.0,
        "lock_put": 1.5,
        "lock_delete": 1.5,
    },
    "instant": dict.fromkeys(KINDS, 0.0),
}


# Seconds Azure's network provider has clients wait between looks at an operation (recorded
# SDK and CLI runs poll 10 s apart), and before retrying a write refused as retryable.
POLL_INTERVAL = 10.0


@dataclass
class Settings:
    """How the emulator answers; every field may be changed between runs.

    profile: the named table of durations ("realistic" or "instant").
    time_scale: multiplies every duration and every wait the emulator announces.
    durations: per-kind overrides of the profile, in unscaled seconds.
    page_size: split listings into pages of this size (nextLink).
    """

    profile: str = "realistic"
    time_scale: float = 1.0
    durations: dict[str, float] | None = None
    page_size: int | None = None

    def __post_init__(self) -> None:
        self.duration("subnet_put")  # refuses an unknown profile or kind at once

    def duration(self, kind: str) -> float:
        """Scaled seconds a write of this kind takes."""
        if self.profile not in PROFILES:
            raise ValueError(f"unknown profile {self.profile!r}; use one of {', '.join(PROFILES)}")
        unknown = set(self.durations or ()) - set(KINDS)
        if unknown:
            raise ValueError(f"unknown durations {sorted(unknown)}; use {', '.join(KINDS)}")
        seconds = {**PROFILES[self.profile], **(self.durations or {})}[kind]
        return self.scaled(seconds)

    def poll_wait(self) -> float:
        """Scaled seconds an operation's answers ask the client to wait before looking again."""
        return self.scaled(POLL_INTERVAL)

    def scaled(self, seconds: float) -> float:
        """A wait as the emulator announces it, in scaled seconds."""
        return seconds * self.time_scale
