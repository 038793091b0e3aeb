"""The live view's calibration: the steps the page walks a person through, the Body calibrated
from their holds, and the pose it solves from then on. Runs on the kit's loop; the page's buttons
reach it from the server's threads through `request`."""

from __future__ import annotations

import asyncio
import concurrent.futures
import time
from collections.abc import Callable, Coroutine, Iterable
from typing import Any

import pysorvel

COUNTDOWN_S = 3.0
HOLD_S = 1.0
# The simulated person is asked to hold a little past the hold's end, and it takes a moment to
# turn into the pose, which the heading reset (no countdown) waits for.
PERSON_MARGIN_S = 0.5
PERSON_SETTLES_S = 0.5
# How long a button's request waits for the kit's loop to take it.
REQUEST_TIMEOUT_S = 5.0

STAND = "Stand still, arms down"
CROUCH = "Now crouch as a skier: knees and hips bent, arms forward"
NOT_CALIBRATED = "Not calibrated: the figure shows raw tracker orientations"
# Decimals sent to the page: a tenth of a millimetre, and far below a degree.
DIGITS = 4


class ViewCalibration:
    """The calibration's state as the page shows it, and the Body once calibrated."""

    def __init__(self, height: float) -> None:
        self._height = height
        self.body: pysorvel.Body | None = None  # calibrated, or None
        self._kit: Any = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._parts: list[str] = []
        self._last_frame_ns: Callable[[str], int] = lambda part: 0
        self._task: asyncio.Task[None] | None = None
        self._step = ""  # what the person is asked to do now; "" when no step runs
        self._until = 0.0  # the countdown's end, time.monotonic()
        self._error = ""
        self._message = NOT_CALIBRATED

    def streaming(self, kit: Any, parts: list[str], last_frame_ns: Callable[[str], int]) -> None:
        """The kit is paired and streaming, on the running loop: the buttons work from now on."""
        self._kit, self._parts, self._last_frame_ns = kit, parts, last_frame_ns
        self._loop = asyncio.get_running_loop()

    def request(self, action: str, ski: bool) -> dict[str, Any]:
        """From a server thread: starts "calibrate" or "reset_heading"; the state the page shows,
        with "refused" saying why when it did not start."""
        loop = self._loop
        if loop is None:
            return {**self.as_json(), "refused": "the kit is not streaming yet"}
        future = asyncio.run_coroutine_threadsafe(self._start(action, ski), loop)
        try:
            return future.result(REQUEST_TIMEOUT_S)
        except (concurrent.futures.TimeoutError, RuntimeError):
            return {**self.as_json(), "refused": "the view is stopping"}

    async def _start(self, action: str, ski: bool) -> dict[str, Any]:
        refused = ""
        if self._task is not None and not self._task.done():
            refused = "a step is under way"
        elif action == "reset_heading" and self.body is None:
            refused = "calibrate first"
        else:
            steps = self._calibrate(ski) if action == "calibrate" else self._reset_heading()
            self._task = asyncio.create_task(self._run(steps))
            await asyncio.sleep(0)  # the first step begins: the answer shows it
        state = self.as_json()
        if refused:
            state["refused"] = refused
        return state

    async def _run(self, steps: Coroutine[Any, Any, str]) -> None:
        self._error = ""
        try:
            self._message = await steps
        except ValueError as error:
            self._error = str(error)
        finally:
            self._step = ""

    async def _calibrate(self, ski: bool) -> str:
        # A new Body each time: a failed attempt leaves the last good calibration in use.
        body = pysorvel.Body(height=self._height)
        body.calibrate(await self._hold(body, "I", STAND, COUNTDOWN_S), pose="I")
        if ski:
            body.calibrate_mounting(await self._hold(body, "ski", CROUCH, COUNTDOWN_S))
        self.body = body
        return "Calibrated" + (" with the ski pose" if ski else "")

    async def _reset_heading(self) -> str:
        assert self.body is not None
        body = self.body
        body.reset_heading(await self._hold(body, "I", STAND, 0.0))
        return "Heading reset"

    async def _hold(self, body: pysorvel.Body, pose: str, prompt: str,
                    countdown_s: float) -> list[pysorvel.Frame]:
        """The frames of a hold of `pose` after a countdown; ValueError naming what went wrong."""
        self._step, self._until = prompt, time.monotonic() + countdown_s
        if pysorvel._ask_virtual_person(pose, max(countdown_s, PERSON_SETTLES_S) + HOLD_S +
                                        PERSON_MARGIN_S):
            countdown_s = max(countdown_s, PERSON_SETTLES_S)
        await asyncio.sleep(countdown_s)
        started_ns = time.monotonic_ns()
        try:
            return await body.hold(self._kit, seconds=HOLD_S)
        except ValueError:
            # A hold that ran its time counts the silent trackers; this view knows their names.
            ran_ns = time.monotonic_ns() - started_ns
            silent = [part for part in self._parts if self._last_frame_ns(part) < started_ns]
            if silent and ran_ns >= HOLD_S * 1e9:
                raise ValueError(f"{', '.join(silent)} sent nothing during the hold") from None
            raise

    def stop(self) -> None:
        if self._task is not None:
            self._task.cancel()

    def pose(self, frames: Iterable[pysorvel.Frame], parts: list[str]) -> dict[str, Any] | None:
        """The solved pose of `frames` for the page: each part's rotation (w, x, y, z), joint and
        far end in the body frame; None before calibration."""
        if self.body is None:
            return None
        solved = self.body.solve(frames).as_dict()
        return {part: {key: [round(value, DIGITS) for value in solved[part][key]]
                       for key in ("rotation", "position", "end")} for part in parts}

    def as_json(self) -> dict[str, Any]:
        state: dict[str, Any] = {"calibrated": self.body is not None, "message": self._message,
                                 "step": self._step, "error": self._error}
        if self._step:
            state["countdown_s"] = round(max(0.0, self._until - time.monotonic()), 2)
        return state
