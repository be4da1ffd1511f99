"""A table of named profiles of durations, each giving the unscaled seconds of every kind of
work an emulator times; settings pick a profile and may override kinds of it."""

from collections.abc import Mapping, Sequence
from dataclasses import dataclass


@dataclass(frozen=True)
class Profiles:
    kinds: Sequence[str]
    table: Mapping[str, Mapping[str, float]]

    def seconds(self, profile: str, overrides: Mapping[str, float] | None, kind: str) -> float:
        """Unscaled seconds `kind` takes in `profile`, overrides first. An unknown profile or an
        override of an unknown kind is a ValueError naming the choices, so that settings can
        refuse it as soon as they are made."""
        if profile not in self.table:
            raise ValueError(f"unknown profile {profile!r}; use one of {', '.join(self.table)}")
        unknown = set(overrides or ()) - set(self.kinds)
        if unknown:
            raise ValueError(f"unknown durations {sorted(unknown)}; use {', '.join(self.kinds)}")
        return {**self.table[profile], **(overrides or {})}[kind]
