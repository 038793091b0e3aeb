"""Body and Pose: calibration and solving against trackers scripted from a known body."""

import asyncio
import math
import random

import pytest

import pysorvel
from conftest import CODES, NAMES, report_transfers, run, sample, tracker

FULL_BODY = ",".join(CODES)
ARMS = {"LeftUpperArm", "LeftLowerArm", "LeftHand", "RightUpperArm", "RightLowerArm",
        "RightHand"}
PARENT = {"Chest": "Hips", "LeftUpperLeg": "Hips", "RightUpperLeg": "Hips", "Head": "Chest",
          "LeftUpperArm": "Chest", "RightUpperArm": "Chest", "LeftLowerArm": "LeftUpperArm",
          "RightLowerArm": "RightUpperArm", "LeftHand": "LeftLowerArm",
          "RightHand": "RightLowerArm", "LeftLowerLeg": "LeftUpperLeg",
          "RightLowerLeg": "RightUpperLeg", "LeftFoot": "LeftLowerLeg",
          "RightFoot": "RightLowerLeg"}
SKI_SIGN = {"Hips": 1, "Chest": 1, "Head": 1, "LeftLowerLeg": 1, "RightLowerLeg": 1,
            "LeftFoot": 0, "RightFoot": 0}


def mul(a, b):
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (aw * bw - ax * bx - ay * by - az * bz, aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx, aw * bz + ax * by - ay * bx + az * bw)


def conj(q):
    return (q[0], -q[1], -q[2], -q[3])


def turn(axis, degrees):
    norm = math.sqrt(sum(a * a for a in axis))
    s = math.sin(math.radians(degrees) / 2)
    return (math.cos(math.radians(degrees) / 2), *(a / norm * s for a in axis))


def rotate(q, v):
    return mul(mul(q, (0.0, *v)), conj(q))[1:]


def degrees_apart(a, b):
    return math.degrees(2 * math.acos(min(1.0, abs(sum(x * y for x, y in zip(a, b))))))


def standing(part):
    if part not in ARMS:
        return (1.0, 0.0, 0.0, 0.0)
    return turn((0, 0, 1), -90 if part.startswith("Left") else 90)


def skiing(part, degrees=30):
    return mul(turn((1, 0, 0), SKI_SIGN.get(part, -1) * degrees), standing(part))


def random_rotation(rng):
    q = [rng.gauss(0, 1) for _ in range(4)]
    n = math.sqrt(sum(v * v for v in q))
    return tuple(v / n for v in q)


class WornKit:
    """Trackers strapped on with known mountings, in worlds of their own: each reports
    Heading * Up * Facing * S * M for its segment's S."""

    def __init__(self, rng, up, own_headings):
        self.up = up
        self.facing = turn((0, 1, 0), rng.uniform(-180, 180))
        shared = rng.uniform(-180, 180)
        self.headings = {part: rng.uniform(-180, 180) if own_headings else shared
                         for part in NAMES}
        # The chest's tracker sits square unless the ski step finds every heading.
        self.mountings = {part: (1.0, 0.0, 0.0, 0.0) if part == "Chest" and not own_headings
                          else random_rotation(rng) for part in NAMES}
        # Feet stay flat in the ski pose: with headings of their own, only a tracker lying along
        # the foot (rolled any way about it) tells its heading from its strap's.
        if own_headings:
            for foot in ("LeftFoot", "RightFoot"):
                self.mountings[foot] = turn((0, 0, 1), rng.uniform(-180, 180))

    def report(self, body, drift=0.0):
        up_axis, up_turn = ((0, 0, 1), turn((1, 0, 0), 90)) if self.up == "Z" else (
            (0, 1, 0), (1.0, 0.0, 0.0, 0.0))
        out = {}
        for part in NAMES:
            heading = turn(up_axis, self.headings[part] + drift)
            out[part] = mul(mul(mul(mul(heading, up_turn), self.facing), body[part]),
                            self.mountings[part])
        return out


def transfers_of(reported):
    """One report of four equal samples per tracker, raw x, y, z, w with 14 fraction bits."""
    transfers = []
    for index, part in enumerate(NAMES):
        w, x, y, z = reported[part]
        raw = tuple(round(v * 16384) for v in (x, y, z, w))
        transfers += report_transfers(index, [sample(orientation=raw, body_part=index)] * 4)
    return transfers


async def take(stream, count):
    async def collect():
        frames = []
        async for frame in stream:
            frames.append(frame)
            if len(frames) == count:
                return frames
    return await asyncio.wait_for(collect(), 20)


def scripted_batches(kit, batches, group=FULL_BODY):
    """Sends every batch once started; the frames of each, and the Sorvel."""
    kit(stream={"rate_hz": 0}, script=[{"on": "Go", "report_transfers": sum(batches, [])}])
    sorvel = pysorvel.Sorvel()
    stream = sorvel.frames()
    per_batch = [len(batch) for batch in batches]  # two transfers a report, four frames each

    async def main():
        await sorvel.connect(group)
        await sorvel.start()
        return await take(stream, sum(per_batch) * 2)

    frames = run(main())
    split, at = [], 0
    for count in per_batch:
        split.append(frames[at:at + count * 2])
        at += count * 2
    return sorvel, split


def assert_pose_is(pose, body, proportions):
    for part in NAMES:
        assert degrees_apart(pose.rotation(part), body[part]) < 0.1, part
        parent = PARENT.get(part)
        if parent:
            assert degrees_apart(pose.local_rotation(part),
                                 mul(conj(body[parent]), body[part])) < 0.1, part
    # The forearm hangs from the elbow: the hand's joint lies a forearm's length along it.
    elbow, wrist = pose.position("LeftLowerArm"), pose.position("LeftHand")
    along = rotate(body["LeftLowerArm"], (proportions["lower_arm"], 0, 0))
    assert all(abs(w - e - a) < 1e-3 for w, e, a in zip(wrist, elbow, along))
    assert pose.as_dict()["LeftHand"]["position"] == wrist
    assert pose.as_dict()["Head"]["end"] == pose.end("Head")


@pytest.mark.parametrize("up", ["Z", "Y"])
@pytest.mark.parametrize("ski_step", [False, True])
def test_solves_the_body_the_trackers_were_scripted_from(kit, tmp_path, up, ski_step):
    rng = random.Random(f"{up}{ski_step}")
    worn = WornKit(rng, up, own_headings=ski_step)
    poses = [{part: random_rotation(rng) for part in NAMES} for _ in range(3)]
    still = {part: standing(part) for part in NAMES}
    batches = [transfers_of(worn.report(still)),
               transfers_of(worn.report({part: skiing(part) for part in NAMES}))]
    batches += [transfers_of(worn.report(body)) for body in poses]
    # Heading drift, fixed by standing still again; the poll then shows the last pose.
    batches += [transfers_of(worn.report(still, drift=25)),
                transfers_of(worn.report(poses[0], drift=25))]
    sorvel, frames = scripted_batches(kit, batches)

    body = pysorvel.Body(height=1.7, lengths={"lower_arm": 0.3}, up=up)
    body.calibrate(frames[0], pose="I")
    if ski_step:
        body.calibrate_mounting(frames[1])
    assert body.calibrated
    for batch, truth in zip(frames[2:5], poses):
        assert_pose_is(body.solve(batch), truth, body.lengths)

    assert degrees_apart(body.solve(frames[6]).rotation("Chest"), poses[0]["Chest"]) > 20
    body.reset_heading(frames[5])
    assert_pose_is(body.solve(sorvel.poll()), poses[0], body.lengths)

    body.save(tmp_path / "body.json")
    loaded = pysorvel.Body.load(str(tmp_path / "body.json"))
    assert (loaded.lengths, loaded.up, loaded.calibrated, loaded.height) == (
        body.lengths, up, True, None)
    assert loaded.solve(frames[6]).as_dict() == body.solve(frames[6]).as_dict()


def still_kit_frames(kit):
    worn = WornKit(random.Random(1), "Z", own_headings=False)
    still = worn.report({part: standing(part) for part in NAMES})
    moved = dict(still, LeftHand=mul(turn((0, 0, 1), 20), still["LeftHand"]))
    _, frames = scripted_batches(kit, [transfers_of(still), transfers_of(moved)])
    return frames


@pytest.mark.parametrize("step, choose, message", [
    ("calibrate", lambda f: f[0] + f[1], r"^LeftHand moved during the hold \(10\.0 degrees\)$"),
    ("calibrate", lambda f: [x for x in f[0] if x.body_part not in ("Chest", "Hips", "Head")],
     r"^no reference tracker \(Chest, Hips or Head\) is paired$"),
    ("calibrate_mounting", lambda f: [x for x in f[0] if x.body_part != "RightFoot"],
     "^RightFoot sent nothing during the hold$"),
    ("reset_heading", lambda f: f[0] + f[1], r"^LeftHand moved during the hold"),
])
def test_steps_refuse_holds_naming_the_tracker(kit, step, choose, message):
    frames = still_kit_frames(kit)
    body = pysorvel.Body(1.8)
    if step != "calibrate":
        body.calibrate(frames[0])
    with pytest.raises(ValueError, match=message):
        getattr(body, step)(choose(frames))


def hold_of(kit, script, group="HE,LH", seconds=0.3):
    kit(trackers=[tracker(1, "HE"), tracker(2, "LH")], stream={"rate_hz": 0}, script=script)
    sorvel = pysorvel.Sorvel()
    body = pysorvel.Body(1.8)

    async def main():
        await sorvel.connect(group)
        holding = body.hold(sorvel, seconds=seconds)  # the frames count from here
        await sorvel.start()
        return await holding

    return body, run(main())


def test_a_hold_collects_every_frame_of_its_time(kit):
    head = [sample(orientation=(0, 0, 0, 16384), body_part=4)] * 4
    hand = [sample(orientation=(16384, 0, 0, 0), body_part=11)] * 4
    _, frames = hold_of(kit, [{"on": "Go", "report_transfers":
                               report_transfers(4, head) + report_transfers(11, hand)}])
    assert [(frame.body_part, frame.rot) for frame in frames] == (
        [("Head", (1.0, 0.0, 0.0, 0.0))] * 4 + [("LeftHand", (0.0, 1.0, 0.0, 0.0))] * 4)


@pytest.mark.parametrize("script, message", [
    ([{"on": "Go", "report_transfers": report_transfers(
        4, [sample(orientation=(0, 0, 0, 16384), body_part=4)] * 4)}],
     "^LeftHand sent nothing during the hold$"),
    ([{"on": "Go", "lose_tracker": "LH"}], "^LeftHand was lost during the hold$"),
], ids=["sent-nothing", "lost"])
def test_a_hold_refuses_a_silent_or_lost_tracker(kit, script, message):
    with pytest.raises(ValueError, match=message):
        hold_of(kit, script, seconds=1.0)


@pytest.mark.parametrize("call, error, match", [
    (lambda: pysorvel.Body(), TypeError, "height, lengths or both"),
    (lambda: pysorvel.Body(0.0), ValueError, "height must be positive"),
    (lambda: pysorvel.Body(1.8, lengths={"hand": -1}), ValueError, "length hand must be positive"),
    (lambda: pysorvel.Body(1.8, lengths={"wing": 1}), ValueError, 'no length is called "wing"'),
    (lambda: pysorvel.Body(lengths={"hand": 0.2}), ValueError, "missing: pelvis"),
    (lambda: pysorvel.Body(1.8, lengths=[1]), TypeError, "lengths must be a dict"),
    (lambda: pysorvel.Body(1.8, up="X"), ValueError, 'up must be "Z" or "Y"'),
    (lambda: pysorvel.Body(1.8).calibrate([], pose="A"), ValueError, 'pose must be "I" or "T"'),
    (lambda: pysorvel.Body(1.8).calibrate(3), TypeError, "not int"),
    (lambda: pysorvel.Body(1.8).calibrate([(1, True)]), TypeError, "not one holding int"),
    (lambda: pysorvel.Body(1.8).solve([]), RuntimeError, "calibrate"),
    (lambda: pysorvel.Body(1.8).reset_heading([]), RuntimeError, "calibrate"),
    (lambda: pysorvel.Body(1.8).hold(None), TypeError, "must be a Sorvel"),
    (lambda: pysorvel.Body.load("/"), OSError, "'/'"),
])
def test_bad_arguments_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.parametrize("text, match", [
    ("not json", "^.*bad.json: "),
    ("{}", "not a saved body"),
    ("x" * (1 << 21), "bad.json"),
])
def test_malformed_saved_bodies_are_refused_saying_where(tmp_path, text, match):
    (tmp_path / "bad.json").write_text(text)
    with pytest.raises(ValueError, match=match):
        pysorvel.Body.load(tmp_path / "bad.json")


def test_pose_part_names_are_checked(kit):
    frames = still_kit_frames(kit)
    body = pysorvel.Body(1.8)
    body.calibrate(frames[0])
    pose = body.solve(frames[0])
    for method in (pose.rotation, pose.local_rotation, pose.position, pose.end):
        with pytest.raises(ValueError, match="no body part is called 'Tail'"):
            method("Tail")
        with pytest.raises(TypeError, match="must be str"):
            method(3)
    assert set(pose.as_dict()) == set(NAMES)
    with pytest.raises(TypeError, match="No constructor defined for Pose"):
        type(pose)()
