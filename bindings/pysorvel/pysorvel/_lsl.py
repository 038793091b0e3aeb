"""`python -m pysorvel lsl`: every frame of a kit onto the Lab Streaming Layer, one stream per
tracker, until the time given is up or Ctrl-C, with a progress line on standard error.

pylsl (the `lsl` extra) is imported only when the tool runs: the other tools never need it."""

import argparse
import asyncio
import importlib
import pathlib
import sys
import time
from typing import Any

from . import _record
from ._record import EXIT_INTERRUPTED, Failure, Progress, call, seconds
from ._terminal_calibration import load_calibration

PROG = "python -m pysorvel lsl"
INSTALL_EXTRA = 'pip install "pysorvel[lsl]"'


def add_parser(tools: Any) -> None:
    parser = tools.add_parser(
        "lsl", help="publish every frame of a kit on the Lab Streaming Layer",
        description="Pairs a group of trackers, starts the kit and publishes every frame on the "
                    "Lab Streaming Layer, one stream per tracker (type MoCap, named "
                    "NAME-BodyPart), until the time is up or Ctrl-C. Needs the lsl extra: "
                    f"{INSTALL_EXTRA}.")
    parser.add_argument("--group", metavar="G", default=_record.FULL_BODY,
                        help="body-part codes to pair, comma-separated (default: the whole body)")
    parser.add_argument("--name", metavar="NAME", type=stream_name, default="pysorvel",
                        help="the first part of every stream's name (default: pysorvel)")
    parser.add_argument("--seconds", metavar="S", type=seconds,
                        help="stop after S seconds of streaming (default: at Ctrl-C)")
    parser.add_argument("--interval", metavar="MS", type=milliseconds, default=50.0,
                        help="publish the frames gathered every MS milliseconds (default 50; "
                             "0: each transfer's frames at once, for the least delay at several "
                             "times the CPU); each frame keeps its receive time either way")
    parser.add_argument("--calibration", metavar="FILE", type=pathlib.Path,
                        help="a calibration saved by Body.save() (python -m pysorvel record "
                             "take.csv --calibrate writes one): one stream more, NAME-pose, "
                             "carries the solved pose")
    parser.add_argument("--pose-rate", metavar="HZ", type=rate, default=60.0,
                        help="poses a second on NAME-pose (default 60)")
    parser.add_argument("--wait-for-consumers", action="store_true",
                        help="start the kit only once every stream has a consumer (a recorder "
                             "recording it), so that none misses the first frames")
    parser.set_defaults(run=run)


def stream_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("expected a name that is not empty")
    return text


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = 0.0
    if not 0 < value <= 1000:
        raise argparse.ArgumentTypeError(f"expected a rate above 0 and at most 1000, got {text!r}")
    return value


def milliseconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 1000:
        raise argparse.ArgumentTypeError(f"expected milliseconds from 0 to 1000, got {text!r}")
    return value


def require_pylsl() -> None:
    """Raises ImportError, one line naming the extra, unless pylsl and its liblsl load."""
    try:
        importlib.import_module("pylsl")
    except ImportError:
        raise ImportError(f"the lsl extra is not installed: {INSTALL_EXTRA}") from None
    except (OSError, RuntimeError) as error:  # pylsl is there, its liblsl did not load
        raise ImportError(f"cannot load pylsl's liblsl ({error}); reinstall it: "
                          f"{INSTALL_EXTRA}") from None


def run(args: argparse.Namespace) -> int:
    try:
        require_pylsl()
        body = None if args.calibration is None else load_calibration(args.calibration)
        return publish(args.group, args.name, args.interval / 1000, args.seconds,
                       args.wait_for_consumers, body, args.pose_rate)
    except (ImportError, Failure) as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before the stream started: nothing was published
        return EXIT_INTERRUPTED


def publish(group: str, name: str, interval_s: float, limit: float | None, wait: bool,
            body: Any = None, pose_rate_hz: float = 60.0) -> int:
    from ._lsl_outlets import Publisher

    publisher = Publisher(_record.open_kit(), group, name, interval_s=interval_s, body=body,
                          pose_rate_hz=pose_rate_hz)
    try:
        asyncio.run(stream(publisher, limit, wait, Progress(sys.stderr, group)))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except ConnectionError as error:  # the receiver was lost
        published = publisher.outlets.frames if publisher.outlets else 0
        raise Failure(f"{error}; {published} frames were published") from None
    finally:
        publisher.close()
    return 0


async def stream(publisher: Any, limit: float | None, wait: bool, progress: Progress) -> None:
    try:
        await call(f"cannot pair {publisher.group}", publisher.connect)
        if wait:
            await waiting(publisher)
        await call("cannot start the sensor stream", publisher.start)
        started = time.monotonic()
        ticker = asyncio.create_task(tick(publisher, started, progress))
        try:
            async with asyncio.timeout(limit):
                await publisher.publish()
        except TimeoutError:
            pass
        finally:
            ticker.cancel()
            progress.show(time.monotonic() - started, publisher.outlets, publisher.dropped,
                          final=True)
            progress.finish()
    finally:
        publisher.close()  # while the event loop still runs, which the stream belongs to


async def waiting(publisher: Any) -> None:
    outlets = publisher.outlets
    print(f"{PROG}: {len(outlets)} streams open; waiting for a consumer on each",
          file=sys.stderr, flush=True)
    await publisher.wait_for_consumers()


async def tick(publisher: Any, started: float, progress: Progress) -> None:
    for n in range(1, sys.maxsize):
        await asyncio.sleep(max(0.0, started + n - time.monotonic()))
        progress.show(time.monotonic() - started, publisher.outlets, publisher.dropped)
