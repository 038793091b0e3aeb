"""BVH and OpenSim orientation files: recorded with a calibration by a simulated person, written
again from the CSV, and read back by an independent BVH reader and a plain parse of the table."""

import bisect
import csv
import importlib
import json
import math
import os
import random
import re
import select
import signal
import subprocess
import sys
import time
import types

import pytest

import pysorvel
from conftest import windows_lacks
from test_pose import conj, mul, turn

bvhio = pytest.importorskip("bvhio", reason="the BVH reader of the tests (make python installs it)")
zxy_degrees = importlib.import_module("pysorvel._bvh").zxy_degrees
make_frame = importlib.import_module("pysorvel._pysorvel")._frame
# Importing binds the submodules on the package, whose names test_surface checks: unbound again.
for _name, _value in list(vars(pysorvel).items()):
    if isinstance(_value, types.ModuleType) and _name.startswith("_") and _name != "__builtins__":
        delattr(pysorvel, _name)

PARENTS = {"Hips": None, "Chest": "Hips", "Head": "Chest", "LeftUpperLeg": "Hips",
           "RightUpperLeg": "Hips", "LeftUpperArm": "Chest", "RightUpperArm": "Chest",
           "LeftLowerArm": "LeftUpperArm", "RightLowerArm": "RightUpperArm",
           "LeftHand": "LeftLowerArm", "RightHand": "RightLowerArm",
           "LeftLowerLeg": "LeftUpperLeg", "RightLowerLeg": "RightUpperLeg",
           "LeftFoot": "LeftLowerLeg", "RightFoot": "RightLowerLeg"}
IMU_NAMES = {"Hips": "pelvis_imu", "Chest": "torso_imu", "Head": "head_imu"}
for _side, _s in (("Left", "l"), ("Right", "r")):
    IMU_NAMES.update({_side + "UpperArm": f"humerus_{_s}_imu", _side + "LowerArm": f"radius_{_s}_imu",
                      _side + "Hand": f"hand_{_s}_imu", _side + "UpperLeg": f"femur_{_s}_imu",
                      _side + "LowerLeg": f"tibia_{_s}_imu", _side + "Foot": f"calcn_{_s}_imu"})

RATE = 100.0
# Still in the I-pose through the first countdown and hold, in the ski pose through the second,
# then moving: what the calibration's instructions ask of a person, whether or not the module can
# ask the simulated one itself.
PERSON = {"body": {"noise_deg": 0, "seed": 5, "script": [
    {"pose": "I", "seconds": 5.5}, {"pose": "ski", "seconds": 3.5},
    {"motion": "arm_raises", "seconds": 6}, {"motion": "walk", "seconds": 6}]}}


def degrees_apart(a, b):
    """The angle between two rotations, well conditioned near zero (unlike an arc cosine of
    their dot product), for quaternions the reader keeps in 32-bit floats."""
    w, *v = mul(conj(a), b)
    return math.degrees(2 * math.atan2(math.sqrt(sum(c * c for c in v)), abs(w)))


def tool(cwd, *args, scenario=PERSON, timeout=120):
    env = dict(os.environ, SORVEL_VIRTUAL_KIT=json.dumps(scenario))
    return subprocess.run([sys.executable, "-m", "pysorvel", *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


def recorded_rows(path):
    with open(path, newline="") as file:
        return list(csv.reader(file))[1:]


def recorded_frames(path):
    return [(int(row[0].replace(".", "")), row[1], tuple(map(float, row[2:6])))
            for row in recorded_rows(path)]


def resampled(frames):
    """Every 1/RATE s from the first time all trackers have a frame: the newest frame of each."""
    parts = {part for _, part, _ in frames}
    times, states, latest = [], [], {}
    for index, (ns, part, rot) in enumerate(frames):
        latest[part] = (ns, rot)
        if index + 1 == len(frames) or frames[index + 1][0] > ns:  # the time's last frame
            times.append(ns)
            states.append(dict(latest))
    first = next(i for i, state in enumerate(states) if len(state) == len(parts))
    instants, at = [], times[first]
    while at <= times[-1]:
        instants.append(states[bisect.bisect_right(times, at) - 1])
        at = times[first] + round(len(instants) * 1e9 / RATE)
    return instants


@pytest.fixture(scope="module")
def take(tmp_path_factory):
    """A calibrated recording and the files written from it."""
    folder = tmp_path_factory.mktemp("take")
    recorded = tool(folder, "record", "take.csv", "--calibrate", "--seconds", "1.5")
    assert recorded.returncode == 0, recorded.stderr
    assert "Stand still, arms down" in recorded.stderr and "crouch as a skier" in recorded.stderr
    for args in (("bvh", "take.csv", "take.bvh", "--calibration", "take.calibration.json"),
                 ("sto", "take.csv", "take.sto")):
        written = tool(folder, *args)
        assert written.returncode == 0, written.stderr
    return folder


class ReadBack:
    def __init__(self, path):
        self.file = bvhio.readAsBvh(str(path))
        self.root = self.file.Root
        self.joints = {}

        def walk(joint, parent):
            self.joints[joint.Name] = (joint, parent)
            for child in joint.Children:
                walk(child, joint.Name)
        walk(self.root, None)

    def rotation(self, part, frame):
        q = self.joints[part][0].Keyframes[frame].Rotation
        return (q.w, q.x, q.y, q.z)


def test_bvh_reads_back_as_the_body_and_the_poses_it_solves(take):
    body = pysorvel.Body.load(take / "take.calibration.json")
    bvh = ReadBack(take / "take.bvh")
    assert {name: parent for name, (_, parent) in bvh.joints.items()} == PARENTS
    n = {name: 100 * metres for name, metres in body.lengths.items()}  # in centimetres
    expected = {"Hips": (0, 0, 0), "Chest": (0, n["pelvis"], 0), "Head": (0, n["spine"], 0)}
    for side, sign in (("Left", 1), ("Right", -1)):
        expected.update({
            side + "UpperArm": (sign * n["shoulder_width"] / 2, n["spine"], 0),
            side + "LowerArm": (sign * n["upper_arm"], 0, 0),
            side + "Hand": (sign * n["lower_arm"], 0, 0),
            side + "UpperLeg": (sign * n["hip_width"] / 2, 0, 0),
            side + "LowerLeg": (0, -n["upper_leg"], 0), side + "Foot": (0, -n["lower_leg"], 0)})
    for part, (joint, _) in bvh.joints.items():  # the reader keeps 32-bit floats
        assert tuple(joint.Offset) == pytest.approx(expected[part], abs=1e-4), part
    assert tuple(bvh.joints["LeftFoot"][0].EndSite) == pytest.approx((0, 0, n["foot"]), abs=1e-4)

    frames = recorded_frames(take / "take.csv")
    instants = resampled(frames)
    assert bvh.file.FrameCount == len(instants) and abs(len(instants) - 150) <= 2
    assert bvh.file.FrameTime == pytest.approx(1 / RATE)
    # The same rows as Frames, for Body.solve.
    by_key = {(ns, part): make_frame(part, ns, rot, (0.0, 0.0, 0.0), 0)
              for ns, part, rot in frames}
    moved = 0.0
    for index, latest in enumerate(instants):
        pose = body.solve([by_key[(ns, part)] for part, (ns, _) in latest.items()])
        position = tuple(bvh.root.Keyframes[index].Position)
        assert position == pytest.approx(tuple(100 * v for v in pose.position("Hips")), abs=1e-3)
        assert degrees_apart(bvh.rotation("Hips", index), pose.rotation("Hips")) < 0.01
        for part in (part for part, parent in PARENTS.items() if parent):
            assert degrees_apart(bvh.rotation(part, index), pose.local_rotation(part)) < 0.01, \
                (index, part)
        moved = max(moved, degrees_apart(bvh.rotation("LeftUpperArm", index),
                                         bvh.rotation("LeftUpperArm", 0)))
    assert moved > 10  # the person moved: the comparison covered more than one pose


def test_sto_holds_every_trackers_orientation_at_each_instant(take):
    lines = (take / "take.sto").read_text().splitlines()
    assert lines[:5] == ["DataRate=100.000000", "DataType=Quaternion", "version=3",
                         "OpenSimVersion=4.5", "endheader"]
    columns = lines[5].split("\t")
    assert columns[0] == "time" and sorted(columns[1:]) == sorted(IMU_NAMES.values())
    part_of = {name: part for part, name in IMU_NAMES.items()}
    instants = resampled(recorded_frames(take / "take.csv"))
    rows = [line.split("\t") for line in lines[6:]]
    assert len(rows) == len(instants)
    for index, (row, latest) in enumerate(zip(rows, instants)):
        assert float(row[0]) == pytest.approx(index / RATE, abs=1e-9)
        for name, cell in zip(columns[1:], row[1:]):
            assert tuple(map(float, cell.split(","))) == pytest.approx(
                latest[part_of[name]][1], abs=1e-8), (index, name)


@pytest.mark.parametrize("z, x, y", [
    (0, 0, 0), (30, -40, 120), (-170, 10, 179), (0, 90, 0), (25, 90, -60), (-45, -90, 30),
    (10, 89.99999, 20), (10, -89.9999, -20), (180, 45, -180),
    *[(random.Random(seed).uniform(-180, 180), random.Random(seed + 99).uniform(-90, 90),
       random.Random(seed + 7).uniform(-180, 180)) for seed in range(5)]])
def test_zxy_angles_compose_back_to_the_rotation(z, x, y):
    q = mul(mul(turn((0, 0, 1), z), turn((1, 0, 0), x)), turn((0, 1, 0), y))
    a, b, c = zxy_degrees(q)
    assert -90 <= b <= 90
    back = mul(mul(turn((0, 0, 1), a), turn((1, 0, 0), b)), turn((0, 1, 0), c))
    assert degrees_apart(back, q) < 1e-6


@windows_lacks("SIGINT for another process")
def test_ctrl_c_leaves_a_valid_bvh_and_its_calibration(tmp_path):
    env = dict(os.environ, SORVEL_VIRTUAL_KIT=json.dumps(PERSON))
    out = tmp_path / "live.bvh"
    child = subprocess.Popen([sys.executable, "-m", "pysorvel", "record", str(out), "--calibrate",
                              "--metres"], cwd=tmp_path, env=env, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
    try:
        seen, deadline = 0, time.monotonic() + 60
        while seen < 100:  # frames arriving after the calibration
            ready, _, _ = select.select([child.stderr], [], [], max(0, deadline - time.monotonic()))
            assert ready, "no progress line"
            line = child.stderr.readline()
            assert line, f"ended early: {child.wait()}"
            match = re.search(r"(\d+) frames", line)
            seen = int(match.group(1)) if match else 0
        child.send_signal(signal.SIGINT)
        rest = child.communicate(timeout=60)[1]
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130 and "Traceback" not in rest, rest
    bvh = ReadBack(out)
    body = pysorvel.Body.load(tmp_path / "live.calibration.json")
    text = out.read_text()
    assert bvh.file.FrameCount > 0
    assert len(text.split("Frame Time:")[1].splitlines()) - 1 == bvh.file.FrameCount
    assert bvh.joints["RightUpperLeg"][0].Offset.x == pytest.approx(
        -body.lengths["hip_width"] / 2, abs=1e-6)


@pytest.mark.parametrize("args, status, says", [
    (("record", "x.bvh", "--seconds", "1"), 2, "needs --calibrate"),
    (("record", "x.sto", "--rate", "0"), 2, "expected a rate in Hz above 0"),
    (("bvh", "missing.csv", "x.bvh"), 2, "--calibration"),
    (("bvh", "missing.csv", "x.bvh", "--calibration", "c.json"), 1, "cannot read the recording"),
    (("sto", "bad.csv", "x.sto"), 1, "bad.csv line 2"),
    (("bvh", "good.csv", "x.bvh", "--calibration", "missing.json"), 1,
     "cannot read the calibration"),
])
def test_bad_arguments_and_files_say_so_in_one_line(tmp_path, args, status, says):
    header = "time_s,body_part,w,x,y,z,ax,ay,az,accuracy\n"
    (tmp_path / "bad.csv").write_text(header + "1.5,Head,1,0,0\n")
    (tmp_path / "good.csv").write_text(header + "1.000000000,Head,1,0,0,0,0,0,9.8,3\n")
    done = tool(tmp_path, *args, timeout=60)
    assert done.returncode == status and says in done.stderr, done.stderr
    if status == 1:
        assert len(done.stderr.strip().splitlines()) == 1 and "Traceback" not in done.stderr
    assert not (tmp_path / "x.bvh").exists() or status == 1


def test_a_tracker_lost_during_the_calibration_is_named(tmp_path):
    scenario = dict(PERSON, script=[{"on": "Go", "delay_ms": 3300, "lose_tracker": "LH"}])
    done = tool(tmp_path, "record", "lost.sto", "--calibrate", scenario=scenario)
    assert done.returncode == 1, done.stderr
    last = done.stderr.strip().splitlines()[-1]
    assert "calibration failed: Stand still, arms down" in last and "LeftHand" in last, last
