"""How long the controller takes over its own part of each action, and how long a session
lives; every figure is multiplied by `time_scale`, as the Azure emulator's are."""

from dataclasses import dataclass

from qn.arm import typical_durations
from qn.arm.emulator.durations import Profiles

# The kinds of action that take time, as `durations` and the profiles name them.
KINDS = tuple(typical_durations.CONTROLLER)

# Seconds of the controller's own work per action, before and besides its Azure calls (whose
# time the Azure emulator adds: two peerings and a route-table write per managed table). The
# realistic figures are the ones the driver's estimate assumes too.
PROFILES = {
    "realistic": dict(typical_durations.CONTROLLER),
    "instant": dict.fromkeys(KINDS, 0.0),
}
DURATIONS = Profiles(KINDS, PROFILES)

# An idle session of an operator's login lasts an hour unless the controller is told otherwise.
SESSION_LIFETIME = 3600.0


@dataclass
class Settings:
    """profile: the named table of durations ("realistic" or "instant").
    time_scale: multiplies every duration and the session lifetime; 0 stops the clock
        (actions take no time, sessions never expire).
    durations: per-kind overrides of the profile, in unscaled seconds.
    session_lifetime: unscaled seconds a CID stays valid after its login.
    """

    profile: str = "realistic"
    time_scale: float = 1.0
    durations: dict[str, float] | None = None
    session_lifetime: float = SESSION_LIFETIME

    def __post_init__(self) -> None:
        self.duration("login")  # refuses an unknown profile or kind at once
        if self.time_scale < 0 or self.session_lifetime <= 0:
            raise ValueError("time_scale must not be negative and session_lifetime above 0")

    def duration(self, kind: str) -> float:
        """Scaled seconds the controller's own part of an action takes."""
        return DURATIONS.seconds(self.profile, self.durations, kind) * self.time_scale

    def lifetime(self) -> float | None:
        """Real seconds a session lives; None when the clock stands still."""
        return self.session_lifetime * self.time_scale if self.time_scale > 0 else None
