"""Measures what users of pysorvel feel, each figure beside a pure-Python driver's where one exists.

Run by `make bench` with the project's interpreter; prints one table and writes a JSON object
mapping each figure's name to {"value", "unit"} and, for comparisons, "baseline" (the peer's
value) and "ratio" (> 1: pysorvel is better). Comparisons run both sides in the same process on
the same bytes, interleaved, and take medians over the repeats. `--smoke` runs everything once,
small, to show that it still works; its numbers mean nothing.
"""

import argparse
import asyncio
import gc
import itertools
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import pysorvel

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import lsl_figures  # noqa: E402
import paced  # noqa: E402
import vmc_figures  # noqa: E402
import workload  # noqa: E402
from peer.driver import PeerDriver  # noqa: E402
from peer.pose_scipy import PeerBody, orientations_of  # noqa: E402

_kits = itertools.count(1)


class Figures:
    def __init__(self):
        self.values = {}

    def add(self, name, value, unit, baseline=None, higher_is_better=True):
        entry = {"value": value, "unit": unit}
        if baseline is not None:
            entry["baseline"] = baseline
            entry["ratio"] = value / baseline if higher_is_better else baseline / value
        self.values[name] = entry

    def merge(self, output):
        """Takes the figures a C++ benchmark printed as one JSON object."""
        for name, entry in json.loads(output).items():
            if isinstance(entry, dict):
                self.values[name] = entry

    def table(self):
        lines = [f"{'figure':34} {'pysorvel':>14} {'peer':>14} {'ratio':>8}  unit"]
        for name, e in self.values.items():
            baseline = f"{e['baseline']:14.4g}" if "baseline" in e else " " * 14
            ratio = f"{e['ratio']:7.2f}x" if "ratio" in e else " " * 8
            lines.append(f"{name:34} {e['value']:14.4g} {baseline} {ratio}  {e['unit']}")
        return "\n".join(lines)


def interleaved(repeats, ours, theirs):
    """Runs both sides alternately; the medians of each side's results."""
    a, b = [], []
    for _ in range(repeats):
        a.append(ours())
        b.append(theirs())
    return statistics.median(a), statistics.median(b)


def run_program(build, name, *args):
    program = build / "bench" / name
    # Without the scenario this process last opened: inline, it can be megabytes.
    env = {k: v for k, v in os.environ.items() if k != "SORVEL_VIRTUAL_KIT"}
    done = subprocess.run([str(program), *map(str, args)], capture_output=True, text=True,
                          timeout=600, env=env)
    if done.returncode != 0:
        raise SystemExit(f"{name} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


# ---- The virtual kit, opened from this process ----

def open_kit(scenario_text):
    os.environ["SORVEL_VIRTUAL_KIT"] = scenario_text
    sorvel = pysorvel.Sorvel()

    async def pair_and_start():
        await sorvel.connect(workload.FULL_BODY)
        await sorvel.start()

    asyncio.run(pair_and_start())
    return sorvel


def streaming_kit():
    """The default kit, every tracker reporting, once each has sent a frame."""
    sorvel = open_kit(json.dumps({"receiver": {"address": [90, 1, 2, 3, 0xBF, next(_kits)]}}))
    reported = [False] * workload.TRACKERS
    deadline = time.monotonic() + 10
    while not all(reported):
        reported = [was or fresh for was, (_, fresh) in zip(reported, sorvel.poll())]
        if time.monotonic() > deadline:
            raise SystemExit("the virtual kit sent no frames")
        time.sleep(0.01)
    return sorvel


def quiet_kit(stream):
    """A kit that sent one report per tracker and nothing since, drained: polls only repeat."""
    sorvel = open_kit(workload.scenario(workload.transfers_of(stream), 0, next(_kits)))
    drain_until(sorvel, [workload.frames_sent(1) - 1] * workload.TRACKERS)
    return sorvel


def drain_until(source, last_sequences, timeout=30.0, interval=0.0005):
    """Polls until every tracker has shown its last frame; the sequences each tracker showed."""
    seen = [set() for _ in last_sequences]
    deadline = time.monotonic() + timeout
    while not all(last in s for last, s in zip(last_sequences, seen)):
        for s, (record, fresh) in zip(seen, source.poll()):
            if fresh:
                s.add(record.accuracy)
        if time.monotonic() > deadline:
            break
        time.sleep(interval)
    return seen


# ---- The figures ----

def report_path(build, figures, smoke, work):
    reports = workload.reports_for_transfers(600 if smoke else 60_000)
    stream = workload.report_stream(reports)
    path = Path(work) / "stream.bin"
    path.write_bytes(stream)
    transfers = workload.transfers_of(stream)
    frames = reports * workload.SAMPLES_PER_REPORT * workload.TRACKERS
    native = {}

    def ours():
        out = run_program(build, "sorvel_report_path_bench", path, *(["--smoke"] if smoke else []))
        native.update(json.loads(out))
        return native["report_path_frames_per_s"]["value"]

    def peer():
        driver = PeerDriver()
        start = time.process_time()
        for transfer in transfers:
            driver.feed(transfer)
        return frames / (time.process_time() - start)

    ours_rate, peer_rate = interleaved(1 if smoke else 3, ours, peer)
    figures.add("report_path_frames_per_s", ours_rate, "frames/s")
    figures.add("report_path_vs_peer", ours_rate, "frames per CPU-second", peer_rate)
    for name in ("report_path_allocs_per_frame", "stream_path_frames_per_s",
                 "stream_allocs_per_frame"):
        figures.values[name] = native[name]
    return transfers, reports


def kit_path(figures, transfers, reports, smoke):
    """The same transfers through the virtual kit and the module, to the last frame polled."""
    frames = reports * workload.SAMPLES_PER_REPORT * workload.TRACKERS
    last = [workload.frames_sent(reports) - 1] * workload.TRACKERS

    def ours():
        os.environ["SORVEL_VIRTUAL_KIT"] = workload.scenario(transfers, 0, next(_kits))
        sorvel = pysorvel.Sorvel()

        async def pair():
            await sorvel.connect(workload.FULL_BODY)

        async def start_streaming():
            await sorvel.start()

        asyncio.run(pair())
        start = time.process_time()
        asyncio.run(start_streaming())
        seen = drain_until(sorvel, last, interval=0.001)
        used = time.process_time() - start
        if not all(l in s for l, s in zip(last, seen)):
            raise SystemExit("the kit path lost the stream's last frames")
        del sorvel
        return frames / used

    def peer():
        driver = PeerDriver()
        start = time.process_time()
        for transfer in transfers:
            driver.feed(transfer)
        drain_until(driver, last, interval=0)
        return frames / (time.process_time() - start)

    ours_rate, peer_rate = interleaved(1 if smoke else 3, ours, peer)
    figures.add("kit_path_vs_peer", ours_rate, "frames per CPU-second", peer_rate)


def stream_path(figures, transfers, reports, smoke):
    """The same transfers through the virtual kit into Frames of one frame stream, drained as
    they come: wall time from start to the last frame taken. The kit sends far faster than a
    bus; the ring holds the whole run, so that the figure is the rate of taking, not of drops."""
    frames = reports * workload.SAMPLES_PER_REPORT * workload.TRACKERS

    def once():
        os.environ["SORVEL_VIRTUAL_KIT"] = workload.scenario(transfers, 0, next(_kits))
        sorvel = pysorvel.Sorvel()
        stream = sorvel.frames(buffer=frames)

        async def pair():
            await sorvel.connect(workload.FULL_BODY)

        async def start_streaming():
            await sorvel.start()

        asyncio.run(pair())
        taken = 0
        deadline = time.monotonic() + 60
        start = time.perf_counter()
        asyncio.run(start_streaming())
        while taken + stream.dropped < frames:
            batch = stream.drain()
            taken += len(batch)
            if not batch:
                if time.monotonic() > deadline:
                    raise SystemExit("the frame stream lost the kit's last frames")
                time.sleep(0.0002)
        elapsed = time.perf_counter() - start
        dropped = stream.dropped
        del stream, sorvel
        return taken / elapsed, dropped

    runs = [once() for _ in range(1 if smoke else 3)]
    figures.add("stream_frames_per_s", statistics.median(rate for rate, _ in runs), "frames/s")
    figures.add("stream_frames_dropped", max(dropped for _, dropped in runs), "frames")


def per_poll_us(poll, polls, with_fields):
    if with_fields:
        def one():
            for record, _ in poll():
                record.rot, record.acc, record.accuracy, record.location
    else:
        one = poll
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for _ in range(polls):
            one()
        return (time.perf_counter_ns() - start) / polls / 1000
    finally:
        gc.enable()


def retained_bytes_per_poll(poll, polls):
    """Python memory a poll allocates and its result keeps while the caller holds it."""
    results = [None] * polls
    poll()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for i in range(polls):
            results[i] = poll()
        return (tracemalloc.get_traced_memory()[0] - before) / polls
    finally:
        tracemalloc.stop()


def polling(figures, smoke):
    one_round = workload.report_stream(1)
    peer = PeerDriver()
    for transfer in workload.transfers_of(one_round):
        peer.feed(transfer)
    drain_until(peer, [workload.frames_sent(1) - 1] * workload.TRACKERS, interval=0)

    sorvel = streaming_kit()
    polls, repeats = (1_000, 1) if smoke else (20_000, 15)
    for name, fields in (("poll15_median_us", False), ("poll15_fields", True)):
        ours, theirs = interleaved(repeats, lambda: per_poll_us(sorvel.poll, polls, fields),
                                   lambda: per_poll_us(peer.poll, polls, fields))
        if not fields:
            figures.add(name, ours, "us")
            figures.add("poll15_vs_peer", ours, "us", theirs, higher_is_better=False)
        else:
            figures.add("poll15_fields_vs_peer", ours, "us", theirs, higher_is_better=False)
    del sorvel

    quiet = quiet_kit(one_round)
    bytes_polls = 100 if smoke else 2_000
    ours, theirs = interleaved(1 if smoke else 3,
                               lambda: retained_bytes_per_poll(quiet.poll, bytes_polls),
                               lambda: retained_bytes_per_poll(peer.poll, bytes_polls))
    figures.add("poll15_py_bytes", ours, "bytes/poll", theirs, higher_is_better=False)


def pose_solving(figures, smoke):
    """Body.solve of a full kit's poll, the poll included, as a program drawing a body calls it."""
    sorvel = streaming_kit()
    body = pysorvel.Body(height=1.75)
    body.calibrate(sorvel.poll())
    solves, repeats = (1_000, 1) if smoke else (20_000, 15)

    def solve():
        return body.solve(sorvel.poll())

    runs = [per_poll_us(solve, solves, False) for _ in range(repeats)]
    figures.add("pose_python_solve_us", statistics.median(runs), "us")

    # The same body solved by the NumPy/SciPy peer, which reads it from what save() wrote; its
    # side turns each poll's Reports into its array, as its user would. Fewer solves a repeat on
    # the slower side keep the two repeats of one round about as long.
    with tempfile.TemporaryDirectory() as work:
        saved = Path(work) / "body.json"
        body.save(saved)
        peer = PeerBody.load(saved)

    def peer_solve():
        return peer.solve(orientations_of(sorvel.poll()))

    peer_solves = 100 if smoke else 2_000
    ours, theirs = interleaved(repeats, lambda: per_poll_us(solve, solves, False),
                               lambda: per_poll_us(peer_solve, peer_solves, False))
    figures.add("pose_vs_scipy", ours, "us", theirs, higher_is_better=False)


def latency(build, figures, smoke):
    figures.merge(run_program(build, "sorvel_latency_bench", *(["--smoke"] if smoke else [])))


def pose_accuracy(build, figures, smoke):
    """The solver against the simulated person's truth, and its cost per solve of a full kit."""
    figures.merge(run_program(build, "sorvel_pose_accuracy_bench", *(["--smoke"] if smoke else [])))
    out = run_program(build, "sorvel_pose_bench", "--benchmark_filter=BM_Solve15Trackers",
                      "--benchmark_format=json",
                      *(["--benchmark_min_time=0.001"] if smoke else ["--benchmark_repetitions=5"]))
    runs = [b for b in json.loads(out)["benchmarks"]
            if b["name"].startswith("BM_Solve15Trackers") and b.get("run_type") == "iteration"]
    if not runs:
        raise SystemExit("sorvel_pose_bench did not run BM_Solve15Trackers")
    per_ns = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    figures.add("pose_solve_us",
                statistics.median(b["real_time"] * per_ns[b["time_unit"]] / 1e3 for b in runs), "us")
    figures.add("pose_solve_allocs", max(b["allocs_per_solve"] for b in runs), "allocs/solve")


def bus_limit(figures, smoke):
    """About 1,000 transfers/s from 15 trackers, polled by a Python loop at 250 Hz."""
    seconds = 1.0 if smoke else 10.0
    rate_hz, poll_hz = 1000, 250
    reports = workload.reports_for_transfers(int(rate_hz * seconds))
    transfers = workload.transfers_of(workload.report_stream(reports))
    interval_us = int(seconds * 1e6 / len(transfers))
    sorvel = open_kit(workload.scenario(transfers, interval_us, next(_kits)))

    seen = [set() for _ in range(workload.TRACKERS)]
    wall, cpu, main = time.monotonic(), time.process_time(), time.thread_time()
    for tick in range(int(seconds * poll_hz)):
        for s, (record, fresh) in zip(seen, sorvel.poll()):
            if fresh:
                s.add(record.accuracy)
        pause = wall + (tick + 1) / poll_hz - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    elapsed = time.monotonic() - wall
    cpu, main = time.process_time() - cpu, time.thread_time() - main
    last = workload.frames_sent(reports) - 1
    for s, more in zip(seen, drain_until(sorvel, [last] * workload.TRACKERS, timeout=5)):
        s |= more
    del sorvel

    sent = workload.frames_sent(reports) * workload.TRACKERS
    arrived = sum(max(s, default=-1) + 1 for s in seen)
    overwritten = arrived - sum(map(len, seen))
    figures.add("bus_limit_cpu_share", cpu / elapsed, "of a core")
    figures.add("bus_limit_background_cpu_share", (cpu - main) / elapsed, "of a core")
    figures.add("bus_limit_frames_lost", sent - arrived, "frames")
    figures.add("bus_limit_frames_overwritten", overwritten, "frames")
    figures.add("bus_limit_transfers_per_s", len(transfers) / seconds, "transfers/s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="a build with SORVEL_BENCH=ON")
    parser.add_argument("--out", type=Path, default=HERE / "results.json")
    parser.add_argument("--smoke", action="store_true", help="once, small; numbers mean nothing")
    args = parser.parse_args()

    # Started in the background, this process would ignore SIGINT, and so would the tools it
    # starts and stops with SIGINT, as Ctrl-C would.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    figures = Figures()
    started = time.monotonic()
    # What users feel first: calls at a game loop's pace.
    paced.figures_at_pace(figures, _kits, args.smoke, interleaved)
    with tempfile.TemporaryDirectory() as work:
        transfers, reports = report_path(args.build, figures, args.smoke, work)
    kit_path(figures, transfers, reports, args.smoke)
    stream_path(figures, transfers, reports, args.smoke)
    polling(figures, args.smoke)
    pose_solving(figures, args.smoke)
    latency(args.build, figures, args.smoke)
    pose_accuracy(args.build, figures, args.smoke)
    bus_limit(figures, args.smoke)
    lsl_figures.measure(figures, args.smoke)
    vmc_figures.measure(figures, args.smoke)

    print(figures.table())
    print(f"({time.monotonic() - started:.0f} s{', smoke run' if args.smoke else ''})")
    args.out.write_text(json.dumps(figures.values, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
