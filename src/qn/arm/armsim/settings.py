"""How the emulator answers: how long each kind of write takes, how waits are scaled, how many
writes a subscription may send, paging."""

from dataclasses import dataclass

from qn.arm import typical_durations
from qn.arm.emulator.durations import Profiles

# The kinds of write that take time, as `durations` and the profiles name them.
KINDS = tuple(typical_durations.AZURE)

# Seconds each kind of write takes. "realistic" holds Azure's typical figures, the ones the
# driver's estimate assumes too (their sources are cited in docs/emulator.md); "instant"
# completes every write in its answer.
PROFILES = {
    "realistic": dict(typical_durations.AZURE),
    "instant": dict.fromkeys(KINDS, 0.0),
}
DURATIONS = Profiles(KINDS, PROFILES)


# Azure Resource Manager's allowance per subscription and principal, for writes and for deletes
# alike: a bucket of 200 requests that refills 10 a second (docs/emulator.md cites the figures).
# "instant" answers at once and refuses nothing for speed: it serves benchmarks of the library's
# own cost.
AZURE_ALLOWANCE = (200.0, 10.0)
ALLOWANCES: dict[str, tuple[float, float] | None] = {
    "realistic": AZURE_ALLOWANCE,
    "instant": None,
}


# Seconds Azure's network provider has clients wait between looks at an operation, and before
# retrying a write refused as retryable.
POLL_INTERVAL = typical_durations.POLL_INTERVAL


@dataclass
class Settings:
    """How the emulator answers; every field may be changed between runs.

    profile: the named table of durations ("realistic" or "instant").
    time_scale: multiplies every duration and every wait the emulator announces.
    durations: per-kind overrides of the profile, in unscaled seconds.
    page_size: split listings into pages of this size (nextLink).
    allowance: requests in a full bucket of writes (and of deletes) per subscription and
        principal; None: the profile's.
    refill: tokens back per unscaled second (the real rate is refill / time_scale); None: the
        profile's. Giving either throttles the `instant` profile too (Azure's figure for the
        other).
    """

    profile: str = "realistic"
    time_scale: float = 1.0
    durations: dict[str, float] | None = None
    page_size: int | None = None
    allowance: float | None = None
    refill: float | None = None

    def __post_init__(self) -> None:
        self.duration("subnet_put")  # refuses an unknown profile or kind at once
        if (self.allowance is not None and self.allowance < 1) or (
            self.refill is not None and self.refill <= 0
        ):
            raise ValueError("allowance must be at least 1 and refill above 0")

    def duration(self, kind: str) -> float:
        """Scaled seconds a write of this kind takes."""
        return self.scaled(DURATIONS.seconds(self.profile, self.durations, kind))

    def bucket(self) -> tuple[float, float] | None:
        """(size, tokens back per real second) of each subscription's buckets, or None when
        nothing is throttled."""
        if self.time_scale <= 0:
            return None  # time stands still: every bucket is always full
        figures = ALLOWANCES[self.profile]
        if figures is None and self.allowance is None and self.refill is None:
            return None
        return self.bucket_size(), self.refill_rate() / self.time_scale

    def bucket_size(self) -> float:
        return self.allowance or (ALLOWANCES[self.profile] or AZURE_ALLOWANCE)[0]

    def refill_rate(self) -> float:
        """Tokens back per unscaled second."""
        return self.refill or (ALLOWANCES[self.profile] or AZURE_ALLOWANCE)[1]

    def poll_wait(self) -> float:
        """Scaled seconds an operation's answers ask the client to wait before looking again."""
        return self.scaled(POLL_INTERVAL)

    def scaled(self, seconds: float) -> float:
        """A wait as the emulator announces it, in scaled seconds."""
        return seconds * self.time_scale
