"""`python -m pysorvel vmc` and pysorvel.vmc: a real python-osc server receives the pose of a
simulated person, and what it gets, turned back into the body frame, is the solved pose; what
cannot start says why in one line."""

import asyncio
import math
import random
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import pysorvel
from conftest import CODES, run_child, scenario_text, windows_lacks
from test_lsl import under_wine
from test_pose import PARENT, conj, mul, random_rotation, rotate, turn
from test_record import child_env

PROG = "python -m pysorvel vmc"
PERSON = {"noise_deg": 0, "seed": 3, "script": [{"pose": "I", "seconds": 600}]}
BONES = ["Hips", "Spine", "Chest", "Head", "LeftUpperArm", "LeftLowerArm", "LeftHand",
         "RightUpperArm", "RightLowerArm", "RightHand", "LeftUpperLeg", "LeftLowerLeg",
         "LeftFoot", "RightUpperLeg", "RightLowerLeg", "RightFoot"]
TRACKERS = ["Hips", "Chest", "LeftFoot", "RightFoot", "LeftLowerLeg", "RightLowerLeg",
            "LeftLowerArm", "RightLowerArm", "Head"]


@pytest.fixture(autouse=True)
def package(monkeypatch):
    """The package in sys.modules, where a test of the extension's file may have left the bare
    extension: the tools' modules are imported from it."""
    monkeypatch.setitem(sys.modules, "pysorvel", pysorvel)


def load_osc():
    if under_wine():
        pytest.skip("python-osc is not installed in the Windows interpreter under Wine")
    from pythonosc import dispatcher, osc_server
    return dispatcher, osc_server


class Receiver:
    """A python-osc UDP server on 127.0.0.1: every packet's messages, grouped into poses, each
    starting at the message addressed `first`."""

    def __init__(self, first):
        dispatcher, osc_server = load_osc()
        self.first, self.poses = first, []
        handler = dispatcher.Dispatcher()
        handler.set_default_handler(self.take)
        self.server = osc_server.BlockingOSCUDPServer(("127.0.0.1", 0), handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True).start()

    def take(self, address, *args):
        if address == self.first:
            self.poses.append([])
        self.poses[-1].append((address, args))

    def wait_for(self, count):
        deadline = time.monotonic() + 60
        while len(self.poses) <= count:  # the last one may still be arriving
            assert time.monotonic() < deadline, len(self.poses)
            time.sleep(0.01)
        self.server.shutdown()
        self.server.server_close()
        return self.poses[:count]


def our_frame(x, y, z, w=None):
    """A Unity vector (x, y, z), or quaternion (x, y, z, w) as (w, x, y, z), in the body frame."""
    return (-x, y, z) if w is None else (w, x, -y, -z)


def degrees_apart(a, b):
    d = mul(conj(a), b)
    return math.degrees(2 * math.atan2(math.sqrt(sum(v * v for v in d[1:])), abs(d[0])))


def unity_euler(x, y, z):
    """Quaternion.Euler(x, y, z) as (w, x, y, z): z about Z, then x about X, then y about Y."""
    return mul(mul(turn((0, 1, 0), y), turn((1, 0, 0), x)), turn((0, 0, 1), z))


def close(a, b, tolerance=1e-5):
    return all(abs(u - v) < tolerance for u, v in zip(a, b, strict=True))


@pytest.fixture
def person(kit, tmp_path):
    """A started kit on a simulated person in the I-pose, a Body calibrated on it, and its file."""
    kit(body=PERSON)
    sorvel, body = pysorvel.Sorvel(), pysorvel.Body(height=1.75)

    async def calibrate():
        await sorvel.connect(",".join(CODES))
        await sorvel.start()
        body.calibrate(await body.hold(sorvel, seconds=0.3))

    asyncio.run(calibrate())
    body.save(tmp_path / "calibration.json")
    return sorvel, body, tmp_path / "calibration.json"


def send_from_api(person, first, count, vrchat):
    """Poses sent by PoseSender through a poll that keeps what it returned; each with the poll it
    was solved from."""
    load_osc()
    from pysorvel.vmc import PoseSender
    sorvel, body, _ = person
    receiver, polls = Receiver(first), []

    def poll():
        polls.append(sorvel.poll())
        return polls[-1]

    async def main():
        with PoseSender(body, poll, ("127.0.0.1", receiver.port), vrchat=vrchat) as sender:
            task = asyncio.create_task(sender.run())
            while len(receiver.poses) <= count:
                await asyncio.sleep(0.01)
            task.cancel()
    asyncio.run(asyncio.wait_for(main(), 60))
    return zip(receiver.wait_for(count), (body.solve(p) for p in polls), strict=False)


def test_vmc_bones_are_the_solved_pose_in_unitys_frame(person):
    previous_time = -1.0
    for messages, pose in send_from_api(person, "/VMC/Ext/Root/Pos", 20, vrchat=False):
        addresses = [address for address, _ in messages]
        assert addresses == ["/VMC/Ext/Root/Pos", *["/VMC/Ext/Bone/Pos"] * 16, "/VMC/Ext/OK",
                             "/VMC/Ext/T"]
        assert messages[0][1] == ("root", 0, 0, 0, 0, 0, 0, 1) and messages[-2][1] == (1,)
        assert messages[-1][1][0] > previous_time
        previous_time = messages[-1][1][0]
        bones = {args[0]: (args[1:4], args[4:]) for _, args in messages[1:-2]}
        assert list(bones) == BONES
        assert bones["Spine"][1] == (0, 0, 0, 1)
        # Forward kinematics down the received hierarchy lands on every solved joint.
        world = {"Hips": (our_frame(*bones["Hips"][1]), our_frame(*bones["Hips"][0]))}
        world["Spine"] = (world["Hips"][0], tuple(
            h + o for h, o in zip(world["Hips"][1], rotate(world["Hips"][0],
                                                           our_frame(*bones["Spine"][0])))))
        for bone in BONES[2:]:
            parent = "Spine" if bone == "Chest" else PARENT[bone]
            parent_rotation, parent_position = world[parent]
            local = our_frame(*bones[bone][1])
            assert degrees_apart(local, pose.local_rotation(bone)) < 0.01, bone
            world[bone] = (mul(parent_rotation, local), tuple(p + o for p, o in zip(
                parent_position, rotate(parent_rotation, our_frame(*bones[bone][0])))))
        for bone in set(BONES) - {"Spine"}:
            assert degrees_apart(world[bone][0], pose.rotation(bone)) < 0.01, bone
            assert close(world[bone][1], pose.position(bone)), bone


def test_vrchat_trackers_are_the_solved_segments_in_unitys_frame(person):
    for messages, pose in send_from_api(person, "/tracking/trackers/1/position", 20,
                                        vrchat=True):
        names = [str(n) for n in range(1, 9)] + ["head"]
        assert [address for address, _ in messages] == [
            f"/tracking/trackers/{name}/{what}" for name in names
            for what in ("position", "rotation")]
        for n, part in enumerate(TRACKERS):
            position, euler = messages[2 * n][1], messages[2 * n + 1][1]
            assert close(our_frame(*position), pose.position(part)), part
            assert degrees_apart(our_frame(*unity_euler(*euler)[1:], unity_euler(*euler)[0]),
                                 pose.rotation(part)) < 0.01, part


@pytest.mark.parametrize("seed", range(4))
def test_unity_conversions_keep_what_a_rotation_does(seed):
    from pysorvel._unity_pose import unity_euler_degrees, unity_rotation, unity_vector
    # The left arm raised forward: Unity's left (-X) turns to its forward (+Z).
    raised = unity_rotation(turn((0, 1, 0), -90))
    assert close(rotate(raised, (-1, 0, 0)), (0, 0, 1), 1e-12)
    rng = random.Random(seed)
    rotations = [random_rotation(rng) for _ in range(200)]
    # Straight up and down, where Unity's Euler angles lose one of their three.
    rotations += [mul(turn((0, 1, 0), rng.uniform(-180, 180)), turn((1, 0, 0), pitch))
                  for pitch in (-90, 90, 90 - 1e-7, -90 + 1e-4)]
    for q in rotations:
        v = (rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1))
        assert close(unity_vector(rotate(q, v)), rotate(unity_rotation(q), unity_vector(v)),
                     1e-12)
        assert degrees_apart(unity_euler(*unity_euler_degrees(q)), q) < 1e-6


@windows_lacks("SIGINT for another process")
@pytest.mark.parametrize("saved", [True, False], ids=["saved calibration", "calibrated on the spot"])
def test_the_tool_sends_a_hanging_arm_until_ctrl_c(person, saved):
    receiver = Receiver("/VMC/Ext/Root/Pos")
    calibration = ["--calibration", str(person[2])] if saved else []
    child = subprocess.Popen(
        [sys.executable, "-m", "pysorvel", "vmc", "--to", f"127.0.0.1:{receiver.port}",
         *calibration],
        env=child_env(scenario_text(body=PERSON)), stderr=subprocess.PIPE, text=True)
    try:
        # Calibrated on the spot, the person first comes back from the ski pose.
        poses = receiver.wait_for(10 if saved else 150)[-10:]
    finally:
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    assert child.returncode == 130, stderr
    assert "poses sent to 127.0.0.1:" in stderr.splitlines()[-1]
    for messages in poses:
        bones = {args[0]: args[4:] for address, args in messages if address.endswith("Bone/Pos")}
        # Arms hang down, legs stand straight: what the I-pose is, seen from Unity.
        for arm, out in (("LeftUpperArm", -1), ("RightUpperArm", 1)):
            turned = rotate((bones[arm][3], *bones[arm][:3]), (out, 0, 0))
            assert close(turned, (0, -1, 0), 1e-4), arm
        assert degrees_apart(our_frame(*bones["LeftUpperLeg"]), (1, 0, 0, 0)) < 0.01


@pytest.mark.parametrize("args, status, message", [
    (["--to", "localhost"], 2, "expected HOST:PORT, got 'localhost'"),
    (["--to", "127.0.0.1:70000"], 2, "expected HOST:PORT"),
    (["--rate", "0"], 2, "expected a rate above 0"),
    (["--to", "x" * 64 + ".test:9000"], 1, f"{PROG}: cannot send to {'x' * 64}.test:9000: "),
    (["--calibration", "missing.json"], 1, f"{PROG}: cannot read the calibration: "),
], ids=["no port", "bad port", "no rate", "unresolvable", "no file"])
def test_what_cannot_start_says_why(tmp_path, args, status, message):
    if status == 1:
        load_osc()  # past the arguments, the tool needs python-osc
    child = subprocess.run([sys.executable, "-m", "pysorvel", "vmc", *args], cwd=tmp_path,
                           env=child_env(scenario_text()), capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == status, child.stderr
    assert message in child.stderr
    assert child.stderr.startswith("usage: ") if status == 2 else \
        child.stderr.count("\n") == 1, child.stderr


def test_without_the_extra_vmc_names_it():
    child = run_child("""
        import sys
        sys.modules["pythonosc"] = None  # as if the extra were not installed
        from pysorvel.__main__ import main
        try:
            import pysorvel.vmc
        except ImportError as error:
            print(error)
        sys.exit(main(["vmc", "--calibration", "any.json"]))
    """, env={"SORVEL_VIRTUAL_KIT": scenario_text()})
    install = 'the osc extra is not installed: pip install "pysorvel[osc]"'
    assert child.stdout.decode() == install + "\n"
    assert (child.returncode, child.stderr.decode()) == (1, f"{PROG}: {install}\n")


def test_an_unresolvable_name_is_one_line(monkeypatch, capsys):
    load_osc()
    from pysorvel.__main__ import main

    def no_such_host(*args, **kwargs):
        raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
    monkeypatch.setattr(socket, "getaddrinfo", no_such_host)
    assert main(["vmc", "--to", "nowhere.test:39539"]) == 1
    assert capsys.readouterr().err == (f"{PROG}: cannot send to nowhere.test:39539: [Errno "
                                       f"{socket.EAI_NONAME}] Name or service not known\n")
