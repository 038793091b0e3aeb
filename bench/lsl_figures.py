"""What `python -m pysorvel lsl` costs: every frame of a full kit through its outlets into inlets
in this process, on loopback, as fast as they go; and the publishing process's CPU at the kit's
own 6,000 frames a second, beside the same kit's process taking the frames and publishing none.

LSL stays on this machine: LSLAPICFG names the tests' configuration before pylsl is loaded."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import workload

LSL_CONFIG = Path(__file__).resolve().parent.parent / "tests" / "python" / "lsl_api.cfg"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100

# The same kit, its frames taken as they come and published nowhere: the floor of the CPU figure.
TAKE_ONLY = """
import asyncio, sys
import pysorvel

async def main():
    kit = pysorvel.Sorvel()
    with kit.frames(buffer=1 << 16) as stream:
        await kit.connect(sys.argv[1])
        await kit.start()
        async for frame in stream:
            await asyncio.sleep(float(sys.argv[2]))  # as the publisher gathers frames
            stream.drain()
            print("frames arrive", file=sys.stderr, flush=True)
            break
        async for frame in stream:
            stream.drain()

asyncio.run(main())
"""


def load_pylsl():
    os.environ["LSLAPICFG"] = str(LSL_CONFIG)
    import pylsl
    return pylsl


def spawn(command, scenario):
    env = dict(os.environ, SORVEL_VIRTUAL_KIT=scenario, LSLAPICFG=str(LSL_CONFIG))
    return subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def publisher(scenario, name):
    return spawn([sys.executable, "-m", "pysorvel", "lsl", "--name", name,
                  "--wait-for-consumers"], scenario)


def stop(child, inlets=()):
    for inlet in inlets:  # first, or each would report the stream broken off
        inlet.close_stream()
    child.send_signal(signal.SIGINT)
    try:
        child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()


def open_inlets(pylsl, name):
    found = pylsl.resolve_bypred(f"starts-with(name,'{name}-')", workload.TRACKERS, 60)
    if len(found) < workload.TRACKERS:
        raise SystemExit(f"lsl: {len(found)} of {workload.TRACKERS} streams found")
    inlets = [pylsl.StreamInlet(info) for info in found]
    for inlet in inlets:
        inlet.open_stream(timeout=30)
    return inlets


def pull(inlets):
    return sum(len(inlet.pull_chunk(timeout=0.0)[1]) for inlet in inlets)


def cpu_seconds(pid):
    """User and system CPU of a process so far (Linux)."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def throughput(pylsl, figures, smoke):
    reports = 20 if smoke else 1000  # per tracker; the frame stream's ring holds the whole run
    frames = workload.frames_sent(reports) * workload.TRACKERS
    transfers = workload.transfers_of(workload.report_stream(reports))
    name = f"bench-{uuid.uuid4().hex[:8]}"
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as scenario:
        scenario.write(workload.scenario(transfers, 0, 0xE0))  # too long for the environment
    child = publisher(scenario.name, name)
    inlets = []
    try:
        inlets = open_inlets(pylsl, name)
        started = time.perf_counter()  # the kit starts once the last inlet is open
        got, deadline = 0, time.monotonic() + 120
        while got < frames and time.monotonic() < deadline:
            got += pull(inlets)
        elapsed = time.perf_counter() - started
    finally:
        stop(child, inlets)
        os.unlink(scenario.name)
    if got != frames:
        raise SystemExit(f"lsl: {got} of {frames} frames reached the inlets")
    figures.add("lsl_frames_per_s", frames / elapsed, "frames/s")


def default_kit(address_last):
    """The default kit: fifteen trackers reporting 100 times a second, 6,000 frames in all."""
    return json.dumps({"receiver": {"address": [90, 1, 2, 3, 0xE1, address_last]}})


def cpu_share(child, inlets, seconds):
    """The child's CPU over `seconds` once it streams (its first progress line); the inlets kept
    drained meanwhile."""
    while "frames" not in (line := child.stderr.readline()):
        if not line:
            raise SystemExit("lsl: a benchmark process ended before streaming")
    start_wall, start_cpu = time.monotonic(), cpu_seconds(child.pid)
    while time.monotonic() - start_wall < seconds:
        pull(inlets)
        time.sleep(0.01)
    return (cpu_seconds(child.pid) - start_cpu) / (time.monotonic() - start_wall)


def full_kit_cpu(pylsl, figures, smoke):
    seconds = 2.0 if smoke else 20.0
    name = f"bench-{uuid.uuid4().hex[:8]}"
    child = publisher(default_kit(1), name)
    inlets = []
    try:
        inlets = open_inlets(pylsl, name)
        publishing = cpu_share(child, inlets, seconds)
    finally:
        stop(child, inlets)
    from pysorvel._lsl_outlets import DEFAULT_INTERVAL_S

    child = spawn([sys.executable, "-c", TAKE_ONLY, workload.FULL_BODY, str(DEFAULT_INTERVAL_S)],
                  default_kit(2))
    try:
        taking = cpu_share(child, [], seconds)
    finally:
        stop(child)
    figures.add("lsl_cpu_share", publishing, "of a core")
    figures.add("lsl_kit_only_cpu_share", taking, "of a core")
    figures.add("lsl_publishing_cpu_share", publishing - taking, "of a core")


def measure(figures, smoke):
    pylsl = load_pylsl()
    throughput(pylsl, figures, smoke)
    full_kit_cpu(pylsl, figures, smoke)
