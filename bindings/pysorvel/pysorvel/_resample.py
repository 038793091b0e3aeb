"""Frames at a fixed rate from trackers that each send at their own pace: every output instant
takes the newest frame of every tracker at that time."""

from collections.abc import Collection, Iterable
from typing import Any

NS_PER_S = 1_000_000_000


class Resampler:
    """Takes frames in arrival order (their times never go back) and hands out the instants they
    settle: one a `rate`-th of a second after another, the first once every tracker of `parts`
    has sent a frame, so that every instant has them all. An instant is settled once a later
    frame has arrived, or at finish()."""

    def __init__(self, parts: Collection[str], rate: float) -> None:
        self._parts = frozenset(parts)
        self._rate = rate
        self._latest: dict[str, Any] = {}
        self._start_ns: int | None = None
        self._last_ns: int | None = None
        self.instants = 0  # handed out so far

    def _next_ns(self) -> int:
        assert self._start_ns is not None
        return self._start_ns + round(self.instants * NS_PER_S / self._rate)

    def _settle(self, before_ns: int, inclusive: bool) -> list[tuple[float, dict[str, Any]]]:
        settled = []
        if self._start_ns is not None:
            while (at := self._next_ns()) < before_ns or (inclusive and at == before_ns):
                settled.append((self.instants / self._rate, dict(self._latest)))
                self.instants += 1
        return settled

    def add(self, frames: Iterable[Any]) -> list[tuple[float, dict[str, Any]]]:
        """The instants these frames settle: (seconds from the first, newest frame by body part)."""
        settled = []
        for frame in frames:
            ns = frame.time_ns
            settled += self._settle(ns, inclusive=False)
            self._latest[frame.body_part] = frame
            self._last_ns = ns
            if self._start_ns is None and self._parts <= self._latest.keys():
                self._start_ns = ns
        return settled

    def finish(self) -> list[tuple[float, dict[str, Any]]]:
        """The instants up to the last frame's time, no frame being left to come."""
        if self._last_ns is None:
            return []
        return self._settle(self._last_ns, inclusive=True)
