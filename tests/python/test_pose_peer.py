"""The benchmarks' NumPy/SciPy peer of Body.solve gives the solver's pose from the same frames: two
derivations of one piece of math hold each other, and the benchmark compares equal work."""

import random
import sys
from pathlib import Path

import pytest

import pysorvel
from conftest import NAMES
from test_pose import WornKit, random_rotation, scripted_batches, skiing, standing, transfers_of

if sys.platform == "win32":
    pytest.importorskip("scipy", reason="the Windows test interpreter is installed without scipy")

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from peer.pose_scipy import PeerBody, orientations_of  # noqa: E402

TOLERANCE = 1e-6
# Left out of the first hold: uncalibrated, so their segments follow their parents.
UNCALIBRATED = {"RightHand", "LeftUpperLeg"}


def assert_same_pose(pose, peer_pose, context):
    for part, ours in pose.as_dict().items():
        theirs = peer_pose[part]
        for key in ("rotation", "local_rotation"):
            # q and -q are one rotation; the two sides need not pick the same sign.
            same = min(max(abs(a - b) for a, b in zip(ours[key], theirs[key])),
                       max(abs(a + b) for a, b in zip(ours[key], theirs[key])))
            assert same < TOLERANCE, (context, part, key, ours[key], theirs[key])
        for key in ("position", "end"):
            apart = max(abs(a - b) for a, b in zip(ours[key], theirs[key]))
            assert apart < TOLERANCE, (context, part, key, ours[key], theirs[key])


@pytest.mark.parametrize("up, ski_step", [("Z", True), ("Y", False)])
def test_the_peer_solves_every_pose_as_the_solver_does(kit, tmp_path, up, ski_step):
    rng = random.Random(f"peer{up}{ski_step}")
    worn = WornKit(rng, up, own_headings=ski_step)
    held = [transfers_of(worn.report({part: standing(part) for part in NAMES})),
            transfers_of(worn.report({part: skiing(part) for part in NAMES}))]
    # Random reported orientations, not a body's: the calibration has to turn any of them.
    reported = [transfers_of({part: random_rotation(rng) for part in NAMES}) for _ in range(40)]
    sorvel, frames = scripted_batches(kit, held + reported)

    body = pysorvel.Body(height=rng.uniform(1.4, 2.0), lengths={"hand": rng.uniform(0.1, 0.3)},
                         up=up)
    body.calibrate([f for f in frames[0] if f.body_part not in UNCALIBRATED])
    if ski_step:
        body.calibrate_mounting(frames[1])
    body.save(tmp_path / "body.json")
    peer = PeerBody.load(tmp_path / "body.json")

    for number, batch in enumerate(frames[2:]):
        # Some polls lack trackers, the hips' among them: those segments follow their parents.
        absent = set(rng.sample(NAMES, rng.choice((0, 0, 1, 3, 7))))
        shown = [f for f in batch if f.body_part not in absent]
        assert_same_pose(body.solve(shown), peer.solve(orientations_of(shown)).as_dict(),
                         (number, sorted(absent)))
    poll = sorvel.poll()
    assert_same_pose(body.solve(poll), peer.solve(orientations_of(poll)).as_dict(), "poll")
