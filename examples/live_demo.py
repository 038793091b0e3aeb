#!/usr/bin/env python3
"""Stream a full-body kit live: pair every body part, start, and show each tracker's data.

Uses the receiver plugged into this machine, or the virtual kit when there is none.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import sys
import time
from dataclasses import dataclass, field

import pysorvel

FULL_BODY = "LLA,RLA,LLL,RLL,HE,HI,LUA,RUA,LUL,RUL,CH,LH,RH,LF,RF"
POLL_INTERVAL = 1 / 60


@dataclass
class TrackerStats:
    location: str = ""
    rot: tuple[float, ...] = (1.0, 0.0, 0.0, 0.0)
    acc: tuple[float, ...] = (0.0, 0.0, 0.0)
    accuracy: int = 0
    polls: int = 0
    fresh: int = 0
    fresh_times: list[float] = field(default_factory=list)

    def record(self, report: "pysorvel.Report", fresh: bool, now: float) -> None:
        self.polls += 1
        if fresh:
            self.fresh += 1
            self.fresh_times.append(now)
            self.location = report.location
        self.rot, self.acc, self.accuracy = report.rot, report.acc, report.accuracy

    def rate(self, now: float) -> float:
        """Fresh frames seen in the last second."""
        self.fresh_times = [t for t in self.fresh_times if now - t <= 1.0]
        return float(len(self.fresh_times))


def open_kit() -> tuple[pysorvel.Sorvel, str]:
    """The plugged-in receiver, else the virtual kit."""
    if os.environ.get("SORVEL_VIRTUAL_KIT"):
        return pysorvel.Sorvel(), "virtual kit (SORVEL_VIRTUAL_KIT is set)"
    try:
        return pysorvel.Sorvel(), "receiver on USB"
    except OSError as error:
        if str(error) != "Receiver not found":
            raise
    # A simulated person wears the trackers, strapped on anyhow, as a real kit would report them.
    os.environ["SORVEL_VIRTUAL_KIT"] = json.dumps({"body": {}})
    return pysorvel.Sorvel(), "virtual kit (no receiver plugged in)"


def table(source: str, stats: list[TrackerStats], elapsed: float, seconds: float) -> str:
    now = time.monotonic()
    lines = [
        f"pysorvel live demo - {source} - {elapsed:4.1f}/{seconds:.0f} s - Ctrl-C to stop",
        "",
        f"{'body part':<14} {'rotation (w, x, y, z)':<34} {'acceleration (x, y, z)':<26} "
        f"{'acc.':>4} {'fresh':>6} {'fps':>6}",
    ]
    for s in stats:
        rot = ", ".join(f"{v:+.3f}" for v in s.rot)
        acc = ", ".join(f"{v:+.2f}" for v in s.acc)
        share = 100.0 * s.fresh / s.polls if s.polls else 0.0
        lines.append(
            f"{s.location or '(waiting)':<14} {rot:<34} {acc:<26} {s.accuracy:>4} "
            f"{share:>5.0f}% {s.rate(now):>6.0f}"
        )
    return "\n".join(lines)


def summary(stats: list[TrackerStats], elapsed: float) -> str:
    now = time.monotonic()
    total = sum(s.rate(now) for s in stats)
    fresh = sum(s.fresh for s in stats)
    polls = sum(s.polls for s in stats) or 1
    return (
        f"{elapsed:5.1f} s: {len(stats)} trackers, {total:.0f} fresh frames/s in all, "
        f"{100.0 * fresh / polls:.0f}% of polled frames fresh"
    )


async def run(seconds: float) -> None:
    kit, source = open_kit()
    print(f"Opened the {source}. Pairing a full-body group...", flush=True)
    await kit.connect(FULL_BODY)
    await kit.start()
    interactive = sys.stdout.isatty()
    stats: list[TrackerStats] = []
    start = time.monotonic()
    last_print = 0.0
    if interactive:
        print("\x1b[2J", end="")
    while (elapsed := time.monotonic() - start) < seconds:
        now = time.monotonic()
        polled = kit.poll()
        if not stats:
            stats = [TrackerStats() for _ in polled]
        for entry, (report, fresh) in zip(stats, polled):
            entry.record(report, fresh, now)
        if interactive:
            if now - last_print >= 0.1:
                print("\x1b[H" + table(source, stats, elapsed, seconds), end="\x1b[J\n", flush=True)
                last_print = now
        elif now - last_print >= 1.0:
            print(summary(stats, elapsed), flush=True)
            last_print = now
        await asyncio.sleep(POLL_INTERVAL)
    print(summary(stats, time.monotonic() - start), flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to stream (10)")
    parser.add_argument("--log", choices=["error", "info", "debug"], help="driver log level")
    args = parser.parse_args()
    if args.log:
        pysorvel.enable_log(args.log)
    try:
        asyncio.run(run(args.seconds))
    except KeyboardInterrupt:
        print("\nStopped.")
        return 0
    except BaseException as error:  # the driver's internal failures derive from BaseException
        print(f"live demo failed: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
