"""`python -m pysorvel record OUT`: every frame of a kit into a CSV file, or the motion into a BVH
file or OpenSim's orientations (by OUT's extension), until the time given is up or Ctrl-C, with a
progress line on standard error."""

import argparse
import asyncio
import contextlib
import csv
import importlib
import io
import math
import os
import pathlib
import shutil
import sys
import time
from collections.abc import Callable, Coroutine, Iterable, Iterator
from typing import Any, BinaryIO, Protocol, TextIO

import pysorvel

PROG = "python -m pysorvel record"
HEADER = ("time_s", "body_part", "w", "x", "y", "z", "ax", "ay", "az", "accuracy")
# Frames name their body part in full; a group and the progress line use the codes. The extension
# holds the table, in address order.
_extension = importlib.import_module("pysorvel._pysorvel")
NAMES: dict[str, str] = dict(_extension._BODY_PARTS)
# What Sorvel() raises when no receiver is plugged in: an OSError of its own, kept off the
# module's public surface as PanicException is.
ReceiverNotFound: type[OSError] = _extension._ReceiverNotFoundError
CODES = {name: code for code, name in NAMES.items()}
FULL_BODY = ",".join(NAMES)
# Several seconds of a full kit: a slow disk or a busy interpreter delays the file, it loses
# nothing.
BUFFER_FRAMES = 1 << 16
# Rows wait in memory until the next flush or until they fill this much.
FLUSH_BYTES = 1 << 16
NS_PER_S = 1_000_000_000
EXIT_INTERRUPTED = 130  # what a shell reports for a program stopped by SIGINT


class Failure(Exception):
    """Ends the recording with this message and exit status 1."""


def add_parser(tools: Any) -> None:
    parser = tools.add_parser(
        "record", help="write every frame of a kit to a CSV file",
        description="Pairs a group of trackers, starts the kit and writes every frame to OUT as "
                    "CSV (" + ",".join(HEADER) + ") until the time is up or Ctrl-C; an OUT "
                    "ending in .bvh gets the solved motion as BVH, one ending in .sto the "
                    "trackers' orientations for OpenSim, both at a fixed rate.")
    parser.add_argument("out", metavar="OUT", type=pathlib.Path,
                        help="the file to write (replaced if it exists): .bvh, .sto, else CSV")
    parser.add_argument("--group", metavar="G", default=FULL_BODY,
                        help="body-part codes to pair, comma-separated (default: the whole body, "
                             f"{FULL_BODY})")
    parser.add_argument("--seconds", metavar="N", type=seconds,
                        help="stop after N seconds of streaming, counted after the calibration "
                             "(default: at Ctrl-C)")
    parser.add_argument("--calibrate", action="store_true",
                        help="calibrate the wearer first (stand still, then crouch as a skier) "
                             "and save it beside OUT with the suffix .calibration.json; a BVH "
                             "recording needs it")
    parser.add_argument("--height", metavar="M", type=height, default=1.75,
                        help="the wearer's height in metres, for the segment lengths "
                             "(default: 1.75)")
    parser.add_argument("--rate", metavar="HZ", type=rate, default=100.0,
                        help="rows a second of a .bvh or .sto file (default: 100)")
    parser.add_argument("--metres", action="store_true",
                        help="BVH offsets and positions in metres (default: centimetres)")
    parser.add_argument("--capture", action="store_true",
                        help="also write the USB traffic to OUT with the suffix .pcap")
    parser.set_defaults(run=run)


def group_parts(group: str) -> list[str]:
    """The body parts of a group of codes, by the names frames give them, in the group's order;
    codes that name none are left out."""
    return [NAMES[code] for code in (c.strip() for c in group.split(",")) if code in NAMES]


def seconds(text: str) -> float:
    return positive(text, "a number of seconds")


def positive(text: str, what: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"expected {what} above 0, got {text!r}")
    return value


def rate(text: str) -> float:
    return positive(text, "a rate in Hz")


def height(text: str) -> float:
    return positive(text, "a height in metres")


class Options(Protocol):
    """What record() takes besides OUT and the group."""
    seconds: float | None
    capture: bool
    calibrate: bool
    height: float
    rate: float
    metres: bool


def run(args: argparse.Namespace) -> int:
    if args.out.suffix.lower() == ".bvh" and not args.calibrate:
        print(f"{PROG}: a BVH recording needs --calibrate: its poses come from a calibrated "
              "body", file=sys.stderr)
        return 2
    try:
        return record(args.out, args.group, args)
    except Failure as failure:
        print(f"{PROG}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before the stream started: nothing was received
        return EXIT_INTERRUPTED


def make_recording(file: BinaryIO, out: pathlib.Path, body: Any, group: str,
                   options: Options) -> "Recording":
    # Imported here: a CSV recording needs neither.
    from ._bvh import BvhFile
    from ._sto import StoFile
    suffix = out.suffix.lower()
    if suffix == ".bvh":
        return BvhFile(file, body, group_parts(group), options.rate, metres=options.metres)
    if suffix == ".sto":
        return StoFile(file, group_parts(group), options.rate)
    return CsvRecording(file)


def record(out: pathlib.Path, group: str, options: Options) -> int:
    limit = options.seconds
    if options.capture:
        pcap = out.with_suffix(".pcap")
        if pcap == out:
            raise Failure(f"{out} would be both the recording and the capture: "
                          "give OUT another suffix")
        # Read by the constructor: the capture starts with the receiver's first transfer.
        os.environ["SORVEL_CAPTURE"] = str(pcap)
    kit = open_kit()
    try:
        file = open(out, "wb", buffering=0)
    except OSError as error:
        raise Failure(f"cannot write the recording: {error}") from None
    with file:
        body = pysorvel.Body(height=options.height)
        try:
            recording = make_recording(file, out, body, group, options)
        except OSError as error:
            raise Failure(f"cannot write the recording: {error}") from None
        progress = Progress(sys.stderr, group)
        calibration = None
        if options.calibrate:
            async def calibration() -> None:
                await calibrate(kit, body, out.with_suffix(".calibration.json"))
        try:
            try:
                asyncio.run(stream_to(recording, kit, group, limit, progress, calibration))
            finally:
                recording.finish()
        except KeyboardInterrupt:
            return EXIT_INTERRUPTED
        except OSError as error:
            if recording.error is not None:
                raise Failure(f"cannot write the recording: {recording.error}; "
                              f"{recording.kept} frames were written to {out}") from None
            if isinstance(error, ConnectionError):  # the receiver was lost
                raise Failure(f"{error}; {recording.kept} frames were written to {out}") \
                    from None
            raise
    return 0


def open_kit() -> Any:
    with failing("cannot open the receiver", OSError):
        return pysorvel.Sorvel()


@contextlib.contextmanager
def failing(what: str, *errors: type[Exception]) -> Iterator[None]:
    """Turns the driver's `errors`, and its internal failures, into a Failure saying `what`
    failed."""
    try:
        yield
    except BaseException as error:
        if not (isinstance(error, errors) or is_panic(error)):
            raise
        raise Failure(f"{what}: {error}") from None


def is_panic(error: BaseException) -> bool:
    # The driver's internal failures are not a module attribute: known by name.
    return type(error).__name__ == "PanicException"


async def calibrate(kit: Any, body: Any, saved: pathlib.Path) -> None:
    from ._terminal_calibration import CalibrationFailed, calibrate_on_terminal
    try:
        await calibrate_on_terminal(kit, body)
    except CalibrationFailed as error:
        raise Failure(f"calibration failed: {error}") from None
    try:
        body.save(saved)
    except OSError as error:
        raise Failure(f"cannot write the calibration: {error}") from None
    print(f"Calibration saved to {saved}; recording.", file=sys.stderr)


async def stream_to(recording: "Recording", kit: Any, group: str, limit: float | None,
                    progress: "Progress",
                    calibration: Callable[[], Coroutine[Any, Any, None]] | None = None) -> None:
    """Pairs, starts, calibrates when asked to and writes frames until `limit` seconds have
    passed (None: until cancelled, which is what Ctrl-C does to asyncio.run's task). Whatever
    arrived is written either way, and the stream is closed while its event loop still runs."""
    # Opened before start(), the first frames count too; after a calibration, the frames after
    # it are the recording.
    stream = kit.frames(buffer=BUFFER_FRAMES) if calibration is None else None
    try:
        await call(f"cannot pair {group}", kit.connect, group)
        await call("cannot start the sensor stream", kit.start)
        if calibration is not None:
            await calibration()
            stream = kit.frames(buffer=BUFFER_FRAMES)
        await write_frames(recording, stream, limit, progress)
    finally:
        if stream is not None:
            stream.close()


async def write_frames(recording: "Recording", stream: Any, limit: float | None,
                       progress: "Progress") -> None:
    started = time.monotonic()
    ticker = asyncio.create_task(tick(recording, stream, started, progress))
    try:
        async with asyncio.timeout(limit):
            async for frame in stream:
                recording.write((frame,))
                recording.write(stream.drain())
    except TimeoutError:
        pass
    finally:
        ticker.cancel()
        try:
            recording.write(stream.drain())
        finally:
            progress.show(time.monotonic() - started, recording, stream.dropped, final=True)
            progress.finish()


async def call(what: str, method: Any, *args: str) -> None:
    """Awaits `method(*args)`; the driver's errors, whether raised by the call or by its future,
    end the recording saying `what` failed."""
    with failing(what, OSError, TypeError):
        await method(*args)


async def tick(recording: "Recording", stream: Any, started: float,
               progress: "Progress") -> None:
    """Once a second: the file flushed, and the progress line."""
    for n in range(1, sys.maxsize):
        await asyncio.sleep(max(0.0, started + n - time.monotonic()))
        try:
            recording.flush()
        except OSError:
            return  # the recording has ended: its next write says why
        progress.show(time.monotonic() - started, recording, stream.dropped)


class CsvRecording:
    """The CSV file: the header, then one row per frame. Rows reach the file whole: when a write
    fails, the file keeps the rows written before it and loses the one cut short; the recording
    then writes nothing more, and every later write or flush raises the same error."""

    def __init__(self, file: BinaryIO) -> None:
        self._file = file  # unbuffered: each write says how much of it reached the file
        self._pending = io.StringIO()
        self._writer = csv.writer(self._pending, lineterminator="\n")
        self._writer.writerow(HEADER)
        self._size = 0  # of the whole rows in the file
        self._rows = 0  # in the file, the header included
        self.frames = 0
        self.per_part: dict[str, int] = {}
        self.error: OSError | None = None

    @property
    def kept(self) -> int:
        """Frames the file holds whole."""
        return max(0, self._rows - 1)

    def write(self, frames: Iterable[Any]) -> None:
        if self.error is not None:
            raise self.error
        rows = []
        per_part = self.per_part
        for frame in frames:
            ns = frame.time_ns
            part = frame.body_part
            # Integer arithmetic: a float of the monotonic clock loses nanoseconds after days.
            rows.append((f"{ns // NS_PER_S}.{ns % NS_PER_S:09d}", part, *frame.rot, *frame.acc,
                         frame.accuracy))
            per_part[part] = per_part.get(part, 0) + 1
        self._writer.writerows(rows)
        self.frames += len(rows)
        if self._pending.tell() >= FLUSH_BYTES:
            self.flush()

    def finish(self) -> None:
        self.flush()

    def flush(self) -> None:
        if self.error is not None:
            raise self.error
        data = self._pending.getvalue().encode()
        self._pending.seek(0)
        self._pending.truncate()
        written = 0
        try:
            while written < len(data):
                written += self._file.write(data[written:])
        except OSError as error:
            self.error = error
            whole = data.rfind(b"\n", 0, written) + 1
            self._size += whole
            self._rows += data.count(b"\n", 0, whole)
            with contextlib.suppress(OSError):  # a device cannot be cut, and holds nothing
                self._file.truncate(self._size)
            raise
        self._size += len(data)
        self._rows += data.count(b"\n")


class FrameCounts(Protocol):
    """What the progress line reads: frames handled in all, and per body part."""
    frames: int
    per_part: dict[str, int]


class Recording(FrameCounts, Protocol):
    """A file being recorded: CSV, BVH or OpenSim's orientations."""
    error: OSError | None

    @property
    def kept(self) -> int: ...
    def write(self, frames: Iterable[Any]) -> None: ...
    def flush(self) -> None: ...
    def finish(self) -> None: ...


class Progress:
    """Elapsed time, frames written, frames per second of each tracker and frames dropped: one
    line rewritten in place on a terminal, a line every second otherwise (a log, a pipe)."""

    def __init__(self, out: TextIO, group: str) -> None:
        self._out = out
        self._live = out.isatty()
        self._shown = 0
        # The group's trackers first, in its order, so that a silent one shows as 0.
        self._parts = group_parts(group)
        self._last: tuple[float, dict[str, int]] = (0.0, {})

    def show(self, elapsed: float, recording: FrameCounts, dropped: int,
             final: bool = False) -> None:
        # Rates over the last second, or over the whole run for the closing line.
        last_elapsed, last_counts = (0.0, {}) if final else self._last
        span = elapsed - last_elapsed
        parts = self._parts + [part for part in recording.per_part if part not in self._parts]
        counts = recording.per_part
        rates = {CODES.get(part, part): (counts.get(part, 0) - last_counts.get(part, 0)) / span
                 if span > 0 else 0.0 for part in parts}
        self._last = (elapsed, dict(counts))
        head = f"{elapsed:.1f} s, {recording.frames} frames, {dropped} dropped; frames/s: "
        line = head + " ".join(f"{code} {rate:.0f}" for code, rate in rates.items())
        if self._live:
            width = max(20, shutil.get_terminal_size().columns - 1)
            if len(line) > width and rates:
                slowest = min(rates, key=rates.__getitem__)
                line = (f"{head}{min(rates.values()):.0f} to {max(rates.values()):.0f} over "
                        f"{len(rates)} trackers, slowest {slowest}")[:width]
            self._out.write("\r" + line.ljust(self._shown))
            self._shown = len(line)
        else:
            self._out.write(line + "\n")
        self._out.flush()

    def finish(self) -> None:
        if self._live and self._shown:
            self._out.write("\n")
            self._out.flush()
