"""`python -m pysorvel bvh IN.csv OUT.bvh` and `python -m pysorvel sto IN.csv OUT.sto`: a
recording made by `record` written again as a BVH motion (solved with a saved calibration) or as
OpenSim's orientations."""

import argparse
import csv
import importlib
import pathlib
import sys
import time
from collections.abc import Callable, Iterator
from typing import Any, BinaryIO, TextIO

import pysorvel

from ._bvh import BvhFile
from ._record import EXIT_INTERRUPTED, HEADER, NS_PER_S, rate
from ._resampled_file import ResampledFile
from ._sto import StoFile

_extension = importlib.import_module("pysorvel._pysorvel")
PROGRESS_SECONDS = 1.0


class Failure(Exception):
    """Ends the tool with this message and exit status 1."""


def add_parsers(tools: Any) -> None:
    bvh = tools.add_parser(
        "bvh", help="solve a recorded CSV file again into a BVH motion",
        description="Reads a CSV file written by `record`, solves every frame with a saved "
                    "calibration and writes the motion as BVH.")
    bvh.add_argument("csv", metavar="IN", type=pathlib.Path, help="the recording (CSV)")
    bvh.add_argument("out", metavar="OUT", type=pathlib.Path,
                     help="the BVH file to write (replaced if it exists)")
    bvh.add_argument("--calibration", metavar="FILE", type=pathlib.Path, required=True,
                     help="the calibration the recording was made with (record --calibrate "
                          "writes it beside the recording)")
    bvh.add_argument("--rate", metavar="HZ", type=rate, default=100.0,
                     help="frames a second (default: 100)")
    bvh.add_argument("--metres", action="store_true",
                     help="offsets and positions in metres (default: centimetres)")
    bvh.set_defaults(run=run_bvh, prog="python -m pysorvel bvh")
    sto = tools.add_parser(
        "sto", help="write a recorded CSV file again as OpenSim's orientations",
        description="Reads a CSV file written by `record` and writes every tracker's orientation "
                    "at a fixed rate as an OpenSim .sto table.")
    sto.add_argument("csv", metavar="IN", type=pathlib.Path, help="the recording (CSV)")
    sto.add_argument("out", metavar="OUT", type=pathlib.Path,
                     help="the .sto file to write (replaced if it exists)")
    sto.add_argument("--rate", metavar="HZ", type=rate, default=100.0,
                     help="rows a second (default: 100)")
    sto.set_defaults(run=run_sto, prog="python -m pysorvel sto")


def run_bvh(args: argparse.Namespace) -> int:
    def make(file: BinaryIO, parts: list[str]) -> ResampledFile:
        try:
            body = pysorvel.Body.load(args.calibration)
        except (OSError, ValueError) as error:
            raise Failure(f"cannot read the calibration {args.calibration}: {error}") from None
        if not body.calibrated:
            raise Failure(f"{args.calibration} holds no calibration")
        return BvhFile(file, body, parts, args.rate, metres=args.metres)
    return run(args, make)


def run_sto(args: argparse.Namespace) -> int:
    return run(args, lambda file, parts: StoFile(file, parts, args.rate))


def run(args: argparse.Namespace, make: Callable[[BinaryIO, list[str]], ResampledFile]) -> int:
    try:
        return convert(args.csv, args.out, make, sys.stderr)
    except Failure as failure:
        print(f"{args.prog}: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before anything was written
        return EXIT_INTERRUPTED


def _time_ns(text: str) -> int:
    """"12.000000001" as integer nanoseconds, as the recorder wrote them."""
    seconds, _, fraction = text.partition(".")
    if not (seconds.isdigit() and (fraction.isdigit() or not fraction)) or len(fraction) > 9:
        raise ValueError(f"time_s {text!r} is not seconds with up to nine decimals")
    return int(seconds) * NS_PER_S + int(fraction.ljust(9, "0"))


def read_frames(path: pathlib.Path) -> Iterator[Any]:
    """The recording's rows as Frames, in the file's order. ValueError names a bad line."""
    with open(path, newline="") as file:
        rows = csv.reader(file)
        if tuple(next(rows, ())) != HEADER:
            raise ValueError(f"{path} is not a recording: its first line is not "
                             + ",".join(HEADER))
        for row in rows:
            try:
                if len(row) != len(HEADER):
                    raise ValueError(f"{len(row)} fields, not {len(HEADER)}")
                numbers = [float(value) for value in row[2:9]]
                yield _extension._frame(row[1], _time_ns(row[0]), tuple(numbers[:4]),
                                        tuple(numbers[4:]), int(row[9]))
            except ValueError as error:
                raise ValueError(f"{path} line {rows.line_num}: {error}") from None


def parts_of(path: pathlib.Path) -> list[str]:
    return list(dict.fromkeys(frame.body_part for frame in read_frames(path)))


def convert(source: pathlib.Path, out: pathlib.Path,
            make: Callable[[BinaryIO, list[str]], ResampledFile], progress: TextIO) -> int:
    try:
        parts = parts_of(source)
    except (OSError, ValueError, UnicodeDecodeError) as error:
        raise Failure(f"cannot read the recording: {error}") from None
    if not parts:
        raise Failure(f"{source} holds no frames")
    try:
        file = open(out, "wb")
    except OSError as error:
        raise Failure(f"cannot write {out}: {error}") from None
    with file:
        written = make(file, parts)
        shown = time.monotonic()
        try:
            try:
                for frame in read_frames(source):
                    written.write((frame,))
                    if time.monotonic() - shown >= PROGRESS_SECONDS:
                        show(progress, written, out)
                        shown = time.monotonic()
            finally:
                written.finish()
                show(progress, written, out, final=True)
        except KeyboardInterrupt:
            return EXIT_INTERRUPTED
        except OSError as error:
            raise Failure(f"cannot write {out}: {error}; {written.kept} rows were written") \
                from None
        except ValueError as error:
            raise Failure(f"cannot read the recording: {error}") from None
    return 0


def show(out: TextIO, written: ResampledFile, path: pathlib.Path, final: bool = False) -> None:
    live = out.isatty()
    line = f"{written.frames} frames read, {written.kept} rows in {path}"
    out.write(("\r" + line if live else line) + ("\n" if final or not live else ""))
    out.flush()
