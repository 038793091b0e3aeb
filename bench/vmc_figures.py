"""What `python -m pysorvel vmc` costs: the CPU of its process sending VMC at 60 Hz from a full
virtual kit to a local UDP socket nobody reads, beside the same kit's process sending nothing."""

import asyncio
import json
import os
import socket
import sys
import tempfile
import time
from pathlib import Path

import lsl_figures
import workload

import pysorvel

# The same kit, started and left streaming: the floor of the CPU figure.
KIT_ONLY = """
import asyncio, sys
import pysorvel

async def main():
    kit = pysorvel.Sorvel()
    await kit.connect(sys.argv[1])
    await kit.start()
    print("0 poses sent: started", file=sys.stderr, flush=True)
    await asyncio.Event().wait()

asyncio.run(main())
"""


def default_kit(address_last):
    """The default kit: fifteen trackers reporting 100 times a second."""
    return json.dumps({"receiver": {"address": [90, 1, 2, 3, 0xE2, address_last]}})


def saved_calibration(work):
    """A Body calibrated on a poll of a default kit, saved: the sender's --calibration."""
    os.environ["SORVEL_VIRTUAL_KIT"] = default_kit(3)
    sorvel = pysorvel.Sorvel()

    async def pair_and_start():
        await sorvel.connect(workload.FULL_BODY)
        await sorvel.start()
        while not all(fresh for _, fresh in sorvel.poll()):
            await asyncio.sleep(0.01)

    asyncio.run(asyncio.wait_for(pair_and_start(), 30))
    body = pysorvel.Body(height=1.75)
    body.calibrate(sorvel.poll())
    path = Path(work) / "calibration.json"
    body.save(path)
    return path


def cpu_share(child, seconds):
    """The child's CPU over `seconds` once it sends (its first progress line)."""
    while "poses sent" not in (line := child.stderr.readline()):
        if not line:
            raise SystemExit("vmc: a benchmark process ended before sending")
    start_wall, start_cpu = time.monotonic(), lsl_figures.cpu_seconds(child.pid)
    time.sleep(seconds)  # a span measured, not a wait for something
    return (lsl_figures.cpu_seconds(child.pid) - start_cpu) / (time.monotonic() - start_wall)


def measure(figures, smoke):
    seconds = 2.0 if smoke else 20.0
    with tempfile.TemporaryDirectory() as work, \
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        sink.bind(("127.0.0.1", 0))  # never read: the kernel drops what does not fit
        child = lsl_figures.spawn(
            [sys.executable, "-m", "pysorvel", "vmc", "--to", f"127.0.0.1:{sink.getsockname()[1]}",
             "--calibration", str(saved_calibration(work))], default_kit(1))
        try:
            sending = cpu_share(child, seconds)
        finally:
            lsl_figures.stop(child)
    child = lsl_figures.spawn([sys.executable, "-c", KIT_ONLY, workload.FULL_BODY],
                              default_kit(2))
    try:
        kit_only = cpu_share(child, seconds)
    finally:
        lsl_figures.stop(child)
    figures.add("vmc_cpu_share", sending, "of a core")
    figures.add("vmc_kit_only_cpu_share", kit_only, "of a core")
    figures.add("vmc_sending_cpu_share", sending - kit_only, "of a core")
