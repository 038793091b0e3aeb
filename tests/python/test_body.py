"""A simulated person in the virtual kit: every frame the driver hands over is a row of the body's
truth file, rot for rot, in the order the kit generated them."""

import csv
import math

import pytest

import pysorvel
from conftest import CODES, NAMES, run
from test_frames import take

ROT = ["rot_w", "rot_x", "rot_y", "rot_z"]
FIRST = 15 * 4 * 20  # a fifth of a second of a full kit at 100 reports per second
# Rows go out to the file a quarter second of samples at a time: once a second more has been
# generated, every row of the first frames is written.
LATER = 15 * 4 * 100


def written_rows(path):
    """The whole rows written so far, by body part, in file order."""
    lines = path.read_text().split("\n")[:-1]  # a row being written has no newline yet
    by_part = {}
    for row in csv.DictReader(lines):
        by_part.setdefault(row["body_part"], []).append(row)
    return by_part


def test_every_frame_is_the_next_truth_row_of_its_tracker(kit, tmp_path):
    truth = tmp_path / "truth.csv"
    kit(body={"truth": str(truth), "seed": 5})
    sorvel = pysorvel.Sorvel()
    stream = sorvel.frames(buffer=8192)

    async def main():
        await sorvel.connect(",".join(CODES))
        await sorvel.start()
        first = await take(stream, FIRST)
        dropped = stream.dropped
        await take(stream, LATER)
        return first, dropped

    frames, dropped = run(main())
    assert dropped == 0
    rows = written_rows(truth)
    assert sorted(rows) == sorted(NAMES)
    # Each tracker's frames are consecutive rows of its own, from the first one matched on.
    at = {}
    for frame in frames:
        mine = rows[frame.body_part]
        index = at.get(frame.body_part)
        if index is None:
            index = next((i for i, row in enumerate(mine)
                          if tuple(float(row[k]) for k in ROT) == frame.rot), None)
            assert index is not None, f"no truth row for {frame}"
        row = mine[index]
        assert tuple(float(row[k]) for k in ROT) == frame.rot, (frame, row)
        assert int(row["time_ns"]) <= frame.time_ns, "generated before it arrived"
        at[frame.body_part] = index + 1
    assert len(at) == 15
    # The script opens holding the I-pose: the left arm hangs, a quarter turn about -Z.
    seg = [float(rows["LeftHand"][0][k]) for k in ("seg_w", "seg_x", "seg_y", "seg_z")]
    assert seg == pytest.approx([math.sqrt(0.5), 0.0, 0.0, -math.sqrt(0.5)], abs=1e-12)
