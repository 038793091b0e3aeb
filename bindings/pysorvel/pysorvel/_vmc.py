"""`python -m pysorvel vmc`: the solved pose of a kit over OSC, to a VMC receiver or (--vrchat) to
VRChat's OSC trackers, until the time given is up or Ctrl-C, with a progress line on standard
error.

python-osc (the `osc` extra) is imported only when the tool runs: the other tools never need it."""

from __future__ import annotations

import argparse
import asyncio
import importlib
import math
import pathlib
import shutil
import sys
import time
from typing import TYPE_CHECKING, Any, TextIO

from . import _record
from ._record import EXIT_INTERRUPTED, Failure, call, failing, seconds
from ._terminal_calibration import load_calibration

if TYPE_CHECKING:
    from . import Body, Sorvel
    from ._osc_sender import PoseSender

PROG = "python -m pysorvel vmc"
INSTALL_EXTRA = 'pip install "pysorvel[osc]"'
# Kept here as well as in _osc_sender, which needs python-osc: --help must work without it.
VMC_PORT = 39539
VRCHAT_PORT = 9000
LOOPBACK = "127.0.0.1"
# The longest wait for the trackers' first frames before poses go out regardless.
FIRST_FRAMES_S = 1.0


def add_parser(tools: Any) -> None:
    parser = tools.add_parser(
        "vmc", help="send the solved pose over VMC (OSC), or to VRChat's OSC trackers",
        description="Pairs a group of trackers, starts the kit and sends the wearer's pose, "
                    "solved with a saved calibration, over OSC: to a VMC receiver (bones in "
                    "Unity's frame), or with --vrchat to VRChat's OSC trackers, until the time "
                    f"is up or Ctrl-C. Needs the osc extra: {INSTALL_EXTRA}.")
    parser.add_argument("--to", metavar="HOST:PORT", type=destination,
                        help=f"where to send (default: {LOOPBACK}:{VMC_PORT}, with --vrchat "
                             f"{LOOPBACK}:{VRCHAT_PORT})")
    parser.add_argument("--rate", metavar="HZ", type=rate, default=60.0,
                        help="poses sent a second (default 60)")
    parser.add_argument("--calibration", metavar="FILE", type=pathlib.Path,
                        help="a calibration saved by Body.save() (python -m pysorvel record "
                             "take.csv --calibrate writes one)")
    parser.add_argument("--group", metavar="G", default=_record.FULL_BODY,
                        help="body-part codes to pair, comma-separated (default: the whole body)")
    parser.add_argument("--vrchat", action="store_true",
                        help="send VRChat's OSC trackers (hips, chest, feet, knees, elbows, "
                             "head) instead of VMC bones")
    parser.add_argument("--seconds", metavar="S", type=seconds,
                        help="stop after S seconds of sending (default: at Ctrl-C)")
    parser.set_defaults(run=run)


def destination(text: str) -> tuple[str, int]:
    host, colon, port = text.rpartition(":")
    host = host.removeprefix("[").removesuffix("]")  # [::1]:9000
    if not (colon and host and port.isdigit() and 0 < int(port) < 65536):
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return host, int(port)


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= 1000:
        raise argparse.ArgumentTypeError(f"expected a rate above 0 and up to 1000 Hz, got "
                                         f"{text!r}")
    return value


def require_osc() -> None:
    """Raises ImportError, one line naming the extra, unless python-osc loads."""
    try:
        importlib.import_module("pythonosc")
    except ImportError:
        raise ImportError(f"the osc extra is not installed: {INSTALL_EXTRA}") from None


def run(args: argparse.Namespace) -> int:
    to = args.to or (LOOPBACK, VRCHAT_PORT if args.vrchat else VMC_PORT)
    try:
        require_osc()
        from ._osc_sender import resolve

        with failing(f"cannot send to {to[0]}:{to[1]}", OSError):
            resolve(*to)  # before the kit is opened: a typo should not wait for pairing
        body = None if args.calibration is None else load_calibration(args.calibration)
        return send(to, body, args)
    except (ImportError, Failure) as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before the first pose: nothing was sent
        return EXIT_INTERRUPTED


async def calibrated(kit: Sorvel, body: Body | None) -> Body:
    """The saved calibration, or else the person's, taken now on the terminal."""
    if body is not None:
        return body
    import pysorvel

    from ._terminal_calibration import CalibrationFailed, calibrate_on_terminal
    body = pysorvel.Body(height=1.75)
    try:
        await calibrate_on_terminal(kit, body)
    except CalibrationFailed as error:
        raise Failure(f"calibration failed: {error}") from None
    return body


def send(to: tuple[str, int], body: Body | None, args: argparse.Namespace) -> int:
    kit = _record.open_kit()
    progress = Progress(sys.stderr, f"{to[0]}:{to[1]}")
    sent = Sent()
    try:
        asyncio.run(stream(kit, body, to, args, progress, sent))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except OSError as error:  # the way to the destination went away
        raise Failure(f"cannot send to {progress.destination}: {error}; {sent.poses} poses "
                      "were sent") from None
    return 0


class Sent:
    """Poses sent so far, readable once the sender is gone."""
    poses = 0


async def stream(kit: Sorvel, body: Body | None, to: tuple[str, int], args: argparse.Namespace,
                 progress: Progress, sent: Sent) -> None:
    from ._osc_sender import PoseSender

    await call(f"cannot pair {args.group}", kit.connect, args.group)
    await call("cannot start the sensor stream", kit.start)
    body = await calibrated(kit, body)
    with failing("the kit failed", TypeError):
        await first_frames(kit)
    with PoseSender(body, kit.poll, to, rate_hz=args.rate, vrchat=args.vrchat) as sender:
        started = time.monotonic()
        ticker = asyncio.create_task(tick(sender, started, progress))
        try:
            async with asyncio.timeout(args.seconds):
                with failing("the kit failed", TypeError):
                    await sender.run()
        except TimeoutError:
            pass
        finally:
            ticker.cancel()
            sent.poses = sender.sent
            progress.show(time.monotonic() - started, sender.sent, final=True)
            progress.finish()


async def first_frames(kit: Sorvel) -> None:
    """Until every paired tracker has sent a frame, or FIRST_FRAMES_S have passed: a pose solved
    before then would show a silent tracker's segment at rest."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + FIRST_FRAMES_S
    seen: set[int] = set()
    while loop.time() < deadline:
        polled = kit.poll()
        seen.update(index for index, (_, fresh) in enumerate(polled) if fresh)
        if len(seen) == len(polled):
            return
        await asyncio.sleep(0.01)


async def tick(sender: PoseSender, started: float, progress: Progress) -> None:
    for n in range(1, sys.maxsize):
        await asyncio.sleep(max(0.0, started + n - time.monotonic()))
        progress.show(time.monotonic() - started, sender.sent)


class Progress:
    """Elapsed time, poses sent and poses a second: one line rewritten in place on a terminal, a
    line every second otherwise (a log, a pipe)."""

    def __init__(self, out: TextIO, destination: str) -> None:
        self._out = out
        self._live = out.isatty()
        self._shown = 0
        self._last = (0.0, 0)
        self.destination = destination

    def show(self, elapsed: float, sent: int, final: bool = False) -> None:
        # The rate over the last second, or over the whole run for the closing line.
        last_elapsed, last_sent = (0.0, 0) if final else self._last
        span = elapsed - last_elapsed
        self._last = (elapsed, sent)
        per_second = (sent - last_sent) / span if span > 0 else 0.0
        line = (f"{elapsed:.1f} s, {sent} poses sent to {self.destination}, "
                f"{per_second:.0f}/s")
        if self._live:
            line = line[:max(20, shutil.get_terminal_size().columns - 1)]
            self._out.write("\r" + line.ljust(self._shown))
            self._shown = len(line)
        else:
            self._out.write(line + "\n")
        self._out.flush()

    def finish(self) -> None:
        if self._live and self._shown:
            self._out.write("\n")
            self._out.flush()

