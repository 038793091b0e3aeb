"""Calibrating the wearer from a terminal: a countdown, a still hold in the I-pose, then
optionally one in the ski pose, for the tools that record or stream a pose."""

from __future__ import annotations

import asyncio
import importlib
import os
import pathlib
import sys
from typing import TYPE_CHECKING, TextIO

from ._record import Failure, failing

if TYPE_CHECKING:
    from . import Body, Sorvel

HOLD_SECONDS = 1.0
COUNTDOWN_SECONDS = 3


def load_calibration(path: pathlib.Path) -> Body:
    """A calibration `Body.save` wrote; Failure, one line, for one that cannot be read or holds
    no calibration."""
    import pysorvel

    with failing("cannot read the calibration", OSError, ValueError):
        body = pysorvel.Body.load(path)
    if not body.calibrated:
        raise Failure(f"{path} holds no calibration: calibrate, then save")
    return body


class CalibrationFailed(ValueError):
    """A hold was refused; the message says which step and why (naming the body part)."""


def _ask_simulated_person(pose: str, seconds: float) -> None:
    """On the virtual kit, has its simulated person take up `pose`, as the instructions ask a
    real one to. Where the module cannot ask yet, the simulated person follows its script."""
    if not os.environ.get("SORVEL_VIRTUAL_KIT"):
        return
    extension = importlib.import_module("pysorvel._pysorvel")
    ask = getattr(extension, "_ask_virtual_person", None)
    if ask is not None:
        ask(pose, seconds)


async def _countdown(out: TextIO, instruction: str, seconds: int) -> None:
    out.write(instruction + "\n")
    out.flush()
    for left in range(seconds, 0, -1):
        out.write(f"  {left}...\n")
        out.flush()
        await asyncio.sleep(1.0)
    out.write("  hold still\n")
    out.flush()


async def _step(kit: Sorvel, body: Body, out: TextIO, instruction: str, pose: str,
                countdown: int) -> None:
    # Asked at the countdown's start, the simulated person is in the pose before the hold, as a
    # person who heard the instruction would be.
    _ask_simulated_person(pose, countdown + HOLD_SECONDS + 0.5)
    await _countdown(out, instruction, countdown)
    try:
        frames = await body.hold(kit, seconds=HOLD_SECONDS)
        if pose == "ski":
            body.calibrate_mounting(frames)
        else:
            body.calibrate(frames, pose=pose)
    except ValueError as error:
        raise CalibrationFailed(f"{instruction.rstrip('.:')}: {error}") from None


async def calibrate_on_terminal(kit: Sorvel, body: Body, ski: bool = True, *,
                                countdown: int = COUNTDOWN_SECONDS,
                                out: TextIO | None = None) -> None:
    """Calibrates `body` on the started `kit`, telling the wearer what to do on `out` (standard
    error by default). CalibrationFailed names the step and the body part that spoilt it."""
    out = sys.stderr if out is None else out
    await _step(kit, body, out, "Stand still, arms down", "I", countdown)
    if ski:
        await _step(kit, body, out,
                    "Now crouch as a skier: knees and hips bent, arms forward", "ski", countdown)
    out.write("Calibrated.\n")
    out.flush()
