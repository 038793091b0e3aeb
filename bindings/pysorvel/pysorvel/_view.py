"""`python -m pysorvel view`: a live 3D view of a kit in the browser. Pairs a group, starts the
kit and serves a page on this machine that shows the trackers turning (or, once calibrated there,
the wearer's pose), their links and a record button, until Ctrl-C or the page is closed."""

import argparse
import asyncio
import collections
import datetime
import itertools
import json
import os
import pathlib
import sys
import threading
import time
import webbrowser
from collections.abc import Callable
from typing import Any

import pysorvel

from . import _record
from ._record import CsvRecording, Failure, ReceiverNotFound, call, failing
from ._view_calibration import ViewCalibration
from ._view_server import Broadcast, ViewServer

PROG = "python -m pysorvel view"
LOOPBACK = "127.0.0.1"
DEFAULT_PORT = 8765
UPDATES_PER_S = 60
# A reload reconnects well within this; a page closed for longer ends the view.
CLOSED_PAGE_GRACE_S = 3.0
RATE_WINDOW_S = 1.0
EVENTS_KEPT = 20
DEFAULT_HEIGHT_M = 1.75
# Without a receiver: a simulated person, trackers strapped on anyhow, each with a heading of its
# own, who follows the calibration's prompts.
VIRTUAL_PERSON = json.dumps({"body": {}})


def add_parser(tools: Any) -> None:
    parser = tools.add_parser(
        "view", help="show a kit live in 3D in the browser",
        description="Pairs a group of trackers, starts the kit and serves a live 3D view of it "
                    "on this machine, until Ctrl-C or the page is closed. Uses the receiver "
                    "plugged in, or the virtual kit when there is none.")
    parser.add_argument("--group", metavar="G", default=_record.FULL_BODY,
                        help="body-part codes to pair, comma-separated (default: the whole body)")
    parser.add_argument("--port", metavar="N", type=port, default=DEFAULT_PORT,
                        help=f"the port to serve on (default {DEFAULT_PORT}; 0: any free one)")
    parser.add_argument("--host", metavar="ADDRESS", default=LOOPBACK,
                        help=f"the address to serve on (default {LOOPBACK}: this machine only); "
                             "another one lets every machine that reaches it watch the kit and "
                             "start recordings")
    parser.add_argument("--open", action="store_true", help="open the page in the web browser")
    parser.add_argument("--record-dir", metavar="DIR", type=pathlib.Path, default=pathlib.Path(),
                        help="where the record button writes its CSV files (default: here)")
    parser.add_argument("--height", metavar="M", type=height, default=DEFAULT_HEIGHT_M,
                        help="the wearer's height in metres, for the calibrated figure "
                             f"(default {DEFAULT_HEIGHT_M})")
    parser.set_defaults(run=run)


def port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"expected a port from 0 to 65535, got {text!r}")
    return value


def height(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0.5 <= value <= 2.5:
        raise argparse.ArgumentTypeError(f"expected a height from 0.5 to 2.5 metres, got {text!r}")
    return value


def run(args: argparse.Namespace) -> int:
    try:
        return view(args)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: stopped", flush=True)
        return 0


def view(args: argparse.Namespace) -> int:
    state = ViewState(args.record_dir, args.height)
    buttons = {"record": state.toggle_recording, "calibrate": state.calibrate,
               "reset-heading": state.reset_heading}
    try:
        server = ViewServer((args.host, args.port), state.broadcast, buttons)
    except OSError as error:
        raise Failure(f"cannot serve on {args.host} port {args.port}: {error}") from None
    with server:
        server.start()
        kit, state.source = open_kit()
        if not server.loopback:
            print(f"{PROG}: serving on {args.host}, not only on this machine: everyone who can "
                  "reach it can watch the kit and start recordings", flush=True)
        print(f"{PROG}: {state.source}; the view is at {server.url} - Ctrl-C to stop",
              flush=True)
        if args.open:
            webbrowser.open(server.url)
        try:
            asyncio.run(stream(kit, args.group, state, server))
        finally:
            state.close()
            # The receiver is let go here, before "stopped": a traceback on its way up would
            # keep this frame, and the kit with it, alive.
            del kit
    print(f"{PROG}: stopped", flush=True)
    return 0


def open_kit() -> tuple[Any, str]:
    """The receiver plugged in, else the virtual kit, and which of them it is."""
    if os.environ.get("SORVEL_VIRTUAL_KIT"):
        return _record.open_kit(), "virtual kit (SORVEL_VIRTUAL_KIT is set)"
    with failing("cannot open the receiver", OSError):
        try:
            return pysorvel.Sorvel(), "receiver on USB"
        except ReceiverNotFound:
            pass
    os.environ["SORVEL_VIRTUAL_KIT"] = VIRTUAL_PERSON
    return _record.open_kit(), "virtual kit (no receiver plugged in)"


async def stream(kit: Any, group: str, state: "ViewState", server: ViewServer) -> None:
    """Pairs, starts and publishes the kit's state UPDATES_PER_S times a second until the page
    has been closed for CLOSED_PAGE_GRACE_S, the receiver is lost, or Ctrl-C cancels this task."""
    frames = kit.frames(buffer=_record.BUFFER_FRAMES)
    try:
        await call(f"cannot pair {group}", kit.connect, group)
        await call("cannot start the sensor stream", kit.start)
        state.paired(group)
        state.calibration.streaming(kit, state.parts, state.last_frame_ns)
        consumer = asyncio.create_task(consume(frames, state))
        try:
            await publish(kit, state, server, consumer)
        finally:
            consumer.cancel()
            state.calibration.stop()
    finally:
        frames.close()


async def consume(frames: Any, state: "ViewState") -> None:
    async for frame in frames:
        state.take([frame, *frames.drain()])


async def publish(kit: Any, state: "ViewState", server: ViewServer,
                  consumer: "asyncio.Task[None]") -> None:
    period = 1.0 / UPDATES_PER_S
    next_update = time.monotonic()
    while not consumer.done():
        state.publish(kit.lost_trackers())
        if server.page_closed_for(CLOSED_PAGE_GRACE_S):
            print(f"{PROG}: the page was closed", flush=True)
            return
        next_update += period
        await asyncio.sleep(max(0.0, next_update - time.monotonic()))
    try:
        consumer.result()
    except ConnectionError as error:
        state.fail(f"{error}: the view has stopped")
        await asyncio.sleep(1.0)  # for the page to show it before the server goes
        raise Failure(str(error)) from None


class TrackerState:
    """One tracker's latest frame, and its frames over the last second."""

    def __init__(self) -> None:
        self.frame: pysorvel.Frame | None = None
        self.rot: tuple[float, ...] = (1.0, 0.0, 0.0, 0.0)
        self.accuracy = 0
        self.arrived = 0  # since the last count
        self._arrivals: collections.deque[tuple[float, int]] = collections.deque()
        self._in_window = 0

    def count(self, now: float) -> None:
        self._arrivals.append((now, self.arrived))
        self._in_window += self.arrived
        self.arrived = 0
        while self._arrivals and self._arrivals[0][0] <= now - RATE_WINDOW_S:
            self._in_window -= self._arrivals.popleft()[1]

    def as_json(self) -> dict[str, Any]:
        return {"rot": self.rot, "fps": self._in_window / RATE_WINDOW_S,
                "accuracy": self.accuracy}


class ViewState:
    """What the page shows, updated by the kit's loop and published whole on every update; the
    recording it controls through the server's threads."""

    def __init__(self, record_dir: pathlib.Path, height: float) -> None:
        self.broadcast = Broadcast()
        self.source = ""
        self.calibration = ViewCalibration(height)
        self.parts: list[str] = []
        self._trackers: dict[str, TrackerState] = {}
        self._lost: list[str] = []
        self._events: collections.deque[dict[str, str]] = collections.deque(maxlen=EVENTS_KEPT)
        self._error = ""
        self._recording = Recording(record_dir)

    def paired(self, group: str) -> None:
        self.parts = _record.group_parts(group)
        self._trackers = {part: TrackerState() for part in self.parts}

    def last_frame_ns(self, part: str) -> int:
        """When `part`'s newest frame arrived (time.monotonic_ns()); 0 before its first."""
        frame = self._trackers[part].frame
        return frame.time_ns if frame is not None else 0

    def take(self, frames: list[Any]) -> None:
        self._recording.write(frames)
        for frame in frames:
            tracker = self._trackers.get(frame.body_part)
            if tracker is not None:
                tracker.frame, tracker.rot, tracker.accuracy = frame, frame.rot, frame.accuracy
                tracker.arrived += 1

    def _note_links(self, lost: list[str]) -> None:
        for part in lost:
            if part not in self._lost:
                self._event(f"{part} lost")
        for part in self._lost:
            if part not in lost:
                self._event(f"{part} restored")
        self._lost = lost

    def _event(self, text: str) -> None:
        self._events.append({"time": datetime.datetime.now().strftime("%H:%M:%S"),
                             "text": text})

    def fail(self, error: str) -> None:
        self._error = error
        self.publish(self._lost)

    def publish(self, lost: list[str]) -> None:
        now = time.monotonic()
        for tracker in self._trackers.values():
            tracker.count(now)
        self._note_links(lost)
        # Once an update, not once a batch of frames: the file keeps up with what the page shows.
        self._recording.flush()
        snapshot = {
            "sent": time.time() * 1000,  # for the page's lag: both ends read this machine's clock
            "source": self.source, "parts": self.parts, "lost": self._lost,
            "trackers": {part: tracker.as_json() for part, tracker in self._trackers.items()},
            "events": list(self._events), "recording": self._recording.as_json(),
            "calibration": self.calibration.as_json(),
        }
        latest = [t.frame for t in self._trackers.values() if t.frame is not None]
        if (pose := self.calibration.pose(latest, self.parts)) is not None:
            snapshot["pose"] = pose
        if self._error:
            snapshot["error"] = self._error
        self.broadcast.publish(json.dumps(snapshot, separators=(",", ":")).encode())

    def calibrate(self, fields: dict[str, str]) -> bytes:
        """Starts the calibration's steps, the ski pose's too unless `ski` is "0"; its state."""
        return json.dumps(self.calibration.request("calibrate", fields.get("ski") != "0")).encode()

    def reset_heading(self, fields: dict[str, str]) -> bytes:
        return json.dumps(self.calibration.request("reset_heading", False)).encode()

    def toggle_recording(self, fields: dict[str, str]) -> bytes:
        """Starts or stops the recording; its state as the page shows it."""
        self._recording.toggle()
        return json.dumps(self._recording.as_json()).encode()

    def close(self) -> None:
        self._recording.stop()
        self.broadcast.close()


class Recording:
    """The record button's CSV file, written as the recorder writes it; one at a time. Frames come
    from the kit's loop, the button from a server thread."""

    def __init__(self, directory: pathlib.Path) -> None:
        self._directory = directory
        self._lock = threading.Lock()
        self._file: Any = None
        self._csv: CsvRecording | None = None
        self._path = ""
        self._frames = 0  # of the last recording, once it has ended
        self._error = ""

    def toggle(self) -> None:
        with self._lock:
            if self._csv is None:
                self._start()
            else:
                self._stop()

    def _start(self) -> None:
        stamp = datetime.datetime.now().strftime("pysorvel-%Y%m%d-%H%M%S")
        for n in itertools.count(1):
            path = (self._directory / (f"{stamp}-{n}.csv" if n > 1 else f"{stamp}.csv")).resolve()
            try:
                # "x": a recording never replaces a file, not even one started the same second.
                self._file = open(path, "xb", buffering=0)
                break
            except FileExistsError:
                continue
            except OSError as error:
                self._error = str(error)
                return
        self._csv = CsvRecording(self._file)
        self._path, self._error = str(path), ""
        print(f"{PROG}: recording to {path}", flush=True)

    def _stop(self) -> None:
        if self._csv is None:
            return
        try:
            self._csv.flush()
        except OSError as error:
            self._error = f"writing {self._path} failed: {error}"
        self._frames = self._csv.kept
        self._file.close()
        self._csv = self._file = None
        print(f"{PROG}: recorded {self._frames} frames to {self._path}", flush=True)

    def stop(self) -> None:
        with self._lock:
            self._stop()

    def write(self, frames: list[Any]) -> None:
        with self._lock:
            if (csv := self._csv) is not None:
                self._or_stop(lambda: csv.write(frames))

    def flush(self) -> None:
        with self._lock:
            if (csv := self._csv) is not None:
                self._or_stop(csv.flush)

    def _or_stop(self, action: Callable[[], None]) -> None:
        """Runs `action`; a failed write ends the recording, saying why."""
        try:
            action()
        except OSError as error:
            self._error = f"writing {self._path} failed: {error}"
            self._stop()

    def as_json(self) -> dict[str, Any]:
        with self._lock:
            csv = self._csv
            return {"active": csv is not None, "path": self._path, "error": self._error,
                    "frames": csv.frames if csv is not None else self._frames}
