"""At a game loop's pace: a kit streams at the bus's rate while a Python loop calls the driver
every few milliseconds and sleeps in between, as a game or a VR frame does. Each call then finds
its caches cold and several fresh frames waiting, which a tight loop of calls never shows.

The peer takes the same transfers, fed to it after each call (outside the timing) as its reader
would have decoded them meanwhile, so that both sides hand out frames that arrived while the loop
slept.
"""

import asyncio
import json
import os
import statistics
import time

import pysorvel

import workload
from peer.driver import PeerDriver

BUS_TRANSFERS_PER_S = 1000
POLL_PERIOD = 0.004  # 250 Hz, a fast game loop
DRAIN_PERIOD = 0.016  # 60 Hz


def bus_stream(seconds):
    """A full kit's transfers for `seconds` at the bus's rate, and the interval between them."""
    reports = workload.reports_for_transfers(int(BUS_TRANSFERS_PER_S * seconds))
    transfers = workload.transfers_of(workload.report_stream(reports))
    return transfers, int(seconds * 1e6 / len(transfers))


def paced(call, period, seconds, after=None):
    """Calls `call` every `period` seconds for `seconds`, sleeping in between; the calls' own
    durations in microseconds. `after(elapsed)` runs after each call, untimed."""
    durations = []
    start = time.monotonic()
    tick = 0
    while True:
        begin = time.perf_counter_ns()
        call()
        durations.append((time.perf_counter_ns() - begin) / 1000)
        elapsed = time.monotonic() - start
        if after is not None:
            after(elapsed)
        tick += 1
        if elapsed >= seconds:
            return durations
        pause = start + tick * period - time.monotonic()
        if pause > 0:
            time.sleep(pause)


class Kit:
    """A virtual kit that streams `transfers` once started, one every `interval_us`."""

    def __init__(self, transfers, interval_us, address):
        os.environ["SORVEL_VIRTUAL_KIT"] = workload.scenario(transfers, interval_us, address)
        self.sorvel = pysorvel.Sorvel()

        async def pair():
            await self.sorvel.connect(workload.FULL_BODY)

        asyncio.run(pair())

    def start(self):
        async def start_streaming():
            await self.sorvel.start()

        asyncio.run(start_streaming())

    def wait_for_every_tracker(self):
        """Until every tracker has sent a frame, so that the loop starts in the steady state."""
        reported = [False] * workload.TRACKERS
        deadline = time.monotonic() + 10
        while not all(reported):
            reported = [was or fresh for was, (_, fresh) in zip(reported, self.sorvel.poll())]
            if time.monotonic() > deadline:
                raise SystemExit("the virtual kit sent no frames")
            time.sleep(0.001)


class FedPeer:
    """The peer, fed the transfers that are due by a time since the stream started."""

    def __init__(self, transfers, interval_us):
        self.driver = PeerDriver()
        self.transfers = transfers
        self.interval = interval_us / 1e6
        self.fed = 0

    def feed_until(self, elapsed):
        due = min(len(self.transfers), int(elapsed / self.interval) + 1)
        for transfer in self.transfers[self.fed:due]:
            self.driver.feed(transfer)
        self.fed = max(self.fed, due)


def read_fields(poll):
    def call():
        for record, _ in poll():
            record.rot, record.acc, record.accuracy, record.location
    return call


def paced_poll_us(kits, seconds, with_fields):
    """The median poll over the calls of a paced loop, pysorvel's and the peer's."""
    transfers, interval_us = bus_stream(seconds + 1)

    def ours():
        kit = Kit(transfers, interval_us, next(kits))
        kit.start()
        kit.wait_for_every_tracker()
        call = read_fields(kit.sorvel.poll) if with_fields else kit.sorvel.poll
        return statistics.median(paced(call, POLL_PERIOD, seconds))

    def theirs():
        peer = FedPeer(transfers, interval_us)
        start = time.monotonic()
        while not all(tracker.queue for tracker in peer.driver.trackers):
            peer.feed_until(time.monotonic() - start)
        offset = time.monotonic() - start
        call = read_fields(peer.driver.poll) if with_fields else peer.driver.poll
        return statistics.median(paced(call, POLL_PERIOD, seconds,
                                       lambda elapsed: peer.feed_until(offset + elapsed)))

    return ours, theirs


def paced_drain_cpu_us(kits, seconds):
    """CPU time per frame taken while a loop drains a frame stream every 16 ms: the loop's own
    thread's, and the whole process's (pysorvel's threads and the virtual kit's, against the peer
    decoding the same transfers in the loop and handing out its queued records)."""
    transfers, interval_us = bus_stream(seconds + 1)

    def measured(run):
        taken = []
        loop, process = time.thread_time(), time.process_time()
        run(taken)
        frames = sum(taken)
        return ((time.thread_time() - loop) / frames * 1e6,
                (time.process_time() - process) / frames * 1e6)

    def ours():
        kit = Kit(transfers, interval_us, next(kits))
        stream = kit.sorvel.frames()

        def run(taken):
            kit.start()
            paced(lambda: taken.append(len(stream.drain())), DRAIN_PERIOD, seconds)

        cpu = measured(run)
        if stream.dropped:
            raise SystemExit(f"the frame stream dropped {stream.dropped} frames at 60 Hz")
        return cpu

    def theirs():
        peer = FedPeer(transfers, interval_us)
        peer.driver.frames()
        return measured(lambda taken: paced(lambda: taken.append(len(peer.driver.drain())),
                                            DRAIN_PERIOD, seconds, peer.feed_until))

    return ours, theirs


def medians(repeats, ours, theirs):
    """As run.interleaved, for sides that measure several figures at once."""
    runs = [(ours(), theirs()) for _ in range(repeats)]
    return [(statistics.median(o[i] for o, _ in runs), statistics.median(t[i] for _, t in runs))
            for i in range(len(runs[0][0]))]


def figures_at_pace(figures, kits, smoke, interleaved):
    seconds, repeats = (0.3, 1) if smoke else (10.0, 3)
    ours, theirs = interleaved(repeats, *paced_poll_us(kits, seconds, with_fields=False))
    figures.add("poll15_paced_us", ours, "us")
    figures.add("poll15_paced_vs_peer", ours, "us", theirs, higher_is_better=False)
    ours, theirs = interleaved(repeats, *paced_poll_us(kits, seconds, with_fields=True))
    figures.add("poll15_paced_fields_vs_peer", ours, "us", theirs, higher_is_better=False)
    (loop, peer_loop), (process, peer_process) = medians(repeats,
                                                         *paced_drain_cpu_us(kits, seconds))
    figures.add("drain_paced_vs_peer", loop, "loop CPU-us/frame", peer_loop,
                higher_is_better=False)
    figures.add("drain_paced_process_vs_peer", process, "CPU-us/frame", peer_process,
                higher_is_better=False)
