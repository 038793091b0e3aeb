"""The benchmarks' pure-Python peer decodes exactly what the module decodes from the same bytes;
otherwise comparing the two would measure different work."""

import math
import random
import sys
import time
from pathlib import Path

import pysorvel
from conftest import run

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import workload  # noqa: E402
from peer.driver import PeerDriver  # noqa: E402


def comparable(record):
    """The four attributes, NaN made equal to itself."""
    def floats(values):
        return tuple("nan" if math.isnan(v) else v for v in values)
    return floats(record.rot), floats(record.acc), record.accuracy, record.location


def random_sample(rng, body_part):
    orientation = [rng.choice((0, 1, -1, 16384, -32768, 32767, rng.randint(-32768, 32767)))
                   for _ in range(4)]
    if rng.random() < 0.1:
        orientation = [0, 0, 0, 0]  # no length: NaN components
    acceleration = [rng.randint(-32768, 32767) for _ in range(3)]
    return workload.encode_sample(orientation, acceleration, rng.randrange(15),
                                  rng.randrange(65536), value_a=rng.randrange(2**64))


def test_peer_decodes_what_the_module_decodes(kit):
    rng = random.Random(7)
    stream = b"stray SO" + b"SOR.\xff\xff"  # a cut marker, then a length past any payload
    for body_part in rng.sample(range(15), 15):
        stream += workload.encode_report(body_part, [random_sample(rng, body_part)
                                                     for _ in range(4)])
        stream += bytes(rng.randrange(3) * [rng.randrange(256)])  # stray bytes between frames
    transfers = workload.transfers_of(stream)

    kit(stream={"rate_hz": 0}, script=[{"on": "Go", "report_transfers": [t.hex() for t in
                                                                         transfers]}])
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect(workload.FULL_BODY)
        await sorvel.start()

    run(main())
    module_frames = [[] for _ in range(15)]
    deadline = time.monotonic() + 20
    while sum(map(len, module_frames)) < 60:
        assert time.monotonic() < deadline, f"frames seen: {module_frames}"
        for frames, (report, fresh) in zip(module_frames, sorvel.poll()):
            if fresh:
                frames.append(comparable(report))

    peer = PeerDriver()
    for transfer in transfers:
        peer.feed(transfer)
    peer_frames = [[] for _ in range(15)]
    for _ in range(4):
        for frames, (record, fresh) in zip(peer_frames, peer.poll()):
            assert fresh
            frames.append(comparable(record))

    assert peer_frames == module_frames
    assert [comparable(r) for r, _ in peer.poll()] == [comparable(r) for r, _ in sorvel.poll()]
    assert peer.decode_errors == 1
