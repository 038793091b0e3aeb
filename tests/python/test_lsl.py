"""`python -m pysorvel lsl` and pysorvel.lsl: every frame of a kit reaches a real LSL inlet once,
in order, with its values, its receive time and the streams' meta-data; what cannot start says
why in one line. conftest points LSLAPICFG at a configuration that keeps LSL on this machine."""

import asyncio
import json
import math
import signal
import subprocess
import sys
import time
import uuid

import pytest

import pysorvel
from conftest import CODES, NAMES, run_child, scenario_text
from test_record import child_env, reports, scripted_kit
from peer.driver import decode_report

PROG = "python -m pysorvel lsl"
FULL_BODY = ",".join(CODES)
PER_TRACKER = 8  # reports; four frames each

# Publishes through the API, and prints every frame's body part and receive time as the kit's own
# frame stream saw them once all are published; holds the outlets open until stdin closes.
API_PUBLISHER = """
import asyncio, json, sys, time
import pysorvel
from pysorvel.lsl import Publisher

async def main(group, name, total):
    kit = pysorvel.Sorvel()
    with kit.frames(buffer=total) as tap:
        publisher = Publisher(kit, group, name, interval_s=0)  # each transfer at once
        await publisher.connect()
        await publisher.wait_for_consumers()
        await publisher.start()
        task = asyncio.create_task(publisher.publish())
        deadline = time.monotonic() + 60
        while publisher.outlets.frames < total and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        task.cancel()
        print(json.dumps([(f.body_part, f.time_ns) for f in tap.drain()]), flush=True)
        sys.stdin.read()
        publisher.close()

asyncio.run(main(sys.argv[1], sys.argv[2], int(sys.argv[3])))
"""


def under_wine():
    if sys.platform != "win32":
        return False
    import ctypes
    return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")


def load_pylsl():
    """pylsl, installed with the test tools everywhere. Wine 8 lacks functions that loading it
    calls (numpy's and the platform module's): the process aborts, a child of it hangs."""
    if under_wine():
        pytest.skip("pylsl cannot be loaded under Wine: its numpy and the platform module call "
                    "Windows functions Wine lacks (ucrtbase crealf, propsys VariantToString)")
    import pylsl
    return pylsl


def expected_frames(sent):
    expected = {}
    for report in sent:
        for sample in decode_report(report[6:])[1]:  # after the marker and the length
            expected.setdefault(sample.location, []).append(
                (*sample.rot, *sample.acc, sample.accuracy))
    return expected


def clock_offset_s(pylsl):
    """local_clock() minus monotonic time, in seconds, from the closest pair of reads."""
    spans = []
    for _ in range(16):
        before = time.monotonic_ns()
        lsl = pylsl.local_clock()
        after = time.monotonic_ns()
        spans.append((after - before, lsl - (before + after) / 2e9))
    return min(spans)[1]


def channels(info):
    channel = info.desc().child("channels").child("channel")
    found = []
    while not channel.empty():
        found.append(tuple(channel.child_value(key) for key in ("label", "type", "unit")))
        channel = channel.next_sibling()
    return found


def receive(pylsl, inlets, counts, timeout=60):
    """Every inlet's samples and timestamps until each has `counts[name]` of them."""
    got = {name: ([], []) for name in inlets}
    deadline = time.monotonic() + timeout
    while any(len(got[name][0]) < counts[name] for name in inlets):
        assert time.monotonic() < deadline, {name: len(s) for name, (s, _) in got.items()}
        for name, inlet in inlets.items():
            samples, stamps = inlet.pull_chunk(timeout=0.02)
            got[name][0].extend(map(tuple, samples))
            got[name][1].extend(stamps)
    return got


@pytest.mark.parametrize("publisher", ["api", "cli"])
def test_every_frame_reaches_an_inlet_once_in_order_with_its_receive_time(tmp_path, publisher):
    pylsl = load_pylsl()
    if publisher == "cli" and sys.platform == "win32":
        pytest.skip("Windows has no SIGINT for another process")
    sent = reports(per_tracker=PER_TRACKER)
    expected = expected_frames(sent)
    total = sum(map(len, expected.values()))
    name = f"test-{uuid.uuid4().hex[:8]}"  # other runs on this machine see these streams too
    scenario = tmp_path / "kit.json"
    scenario.write_text(json.dumps(scripted_kit(sent, 1000)))
    command = ([sys.executable, "-c", API_PUBLISHER, FULL_BODY, name, str(total)]
               if publisher == "api" else
               [sys.executable, "-m", "pysorvel", "lsl", "--name", name, "--wait-for-consumers"])
    started = time.monotonic_ns()
    child = subprocess.Popen(command, env=child_env(str(scenario)), stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The streams exist before the first frame: the kit starts only once they are open.
        found = pylsl.resolve_bypred(f"starts-with(name,'{name}-')", len(NAMES), 30)
        inlets = {info.name(): pylsl.StreamInlet(info) for info in found}
        assert sorted(inlets) == sorted(f"{name}-{part}" for part in NAMES)
        for inlet in inlets.values():
            inlet.open_stream(timeout=30)
        got = receive(pylsl, inlets, {f"{name}-{part}": len(expected[part]) for part in NAMES})
        if publisher == "api":
            tapped = json.loads(child.stdout.readline())  # communicate() then closes stdin
        else:
            child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    ended = time.monotonic_ns()

    assert child.returncode == (0 if publisher == "api" else 130), stderr
    assert "Traceback" not in stderr, stderr
    offset = clock_offset_s(pylsl)
    for part in NAMES:
        inlet = inlets[f"{name}-{part}"]
        samples, stamps = got[f"{name}-{part}"]
        assert samples == expected[part], part
        assert inlet.pull_chunk(timeout=0.2) == ([], []), f"{part}: a frame came twice"
        assert stamps == sorted(stamps), part
        if publisher == "api":
            times = [ns / 1e9 + offset for body_part, ns in tapped if body_part == part]
            assert max(abs(a - b) for a, b in zip(stamps, times)) < 1e-3, part
        else:
            assert started / 1e9 + offset <= stamps[0] and stamps[-1] <= ended / 1e9 + offset

        info = inlet.info(timeout=10)
        assert (info.type(), info.channel_format(), info.nominal_srate()) == (
            "MoCap", pylsl.cf_float32, 400.0)
        assert info.source_id().endswith(f":{name}:{part}")
        assert channels(info) == [
            ("w", "OrientationA", "normalized"), ("x", "OrientationB", "normalized"),
            ("y", "OrientationC", "normalized"), ("z", "OrientationD", "normalized"),
            ("ax", "AccelerationX", "m/s^2"), ("ay", "AccelerationY", "m/s^2"),
            ("az", "AccelerationZ", "m/s^2"), ("accuracy", "Accuracy", "none")]
        acquisition = info.desc().child("acquisition")
        assert acquisition.child_value("manufacturer") == "Sorvel"
        assert acquisition.child_value("model")
    if publisher == "cli":
        assert f"{total} frames, 0 dropped" in stderr.splitlines()[-1], stderr


def test_a_calibrated_body_s_pose_has_a_stream_of_its_own(tmp_path, kit):
    pylsl = load_pylsl()
    if sys.platform == "win32":
        pytest.skip("Windows has no SIGINT for another process")
    person = {"noise_deg": 0, "seed": 3, "script": [{"pose": "I", "seconds": 600}]}
    kit(body=person)
    sorvel, body = pysorvel.Sorvel(), pysorvel.Body(height=1.75)

    async def calibrate():
        await sorvel.connect(FULL_BODY)
        await sorvel.start()
        body.calibrate(await body.hold(sorvel, seconds=0.3))

    asyncio.run(calibrate())
    del sorvel
    body.save(tmp_path / "calibration.json")
    name = f"test-{uuid.uuid4().hex[:8]}"
    child = subprocess.Popen(
        [sys.executable, "-m", "pysorvel", "lsl", "--name", name, "--calibration",
         str(tmp_path / "calibration.json"), "--pose-rate", "50"],
        env=child_env(scenario_text(body=person)), stderr=subprocess.PIPE, text=True)
    try:
        found = pylsl.resolve_byprop("name", f"{name}-pose", 1, 30)
        assert found, "no pose stream"
        inlet = pylsl.StreamInlet(found[0])
        inlet.open_stream(timeout=30)
        samples = receive(pylsl, {"pose": inlet}, {"pose": 25})["pose"][0]
        info = inlet.info(timeout=10)
        child.send_signal(signal.SIGINT)
        _, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130, stderr
    assert (info.channel_count(), info.nominal_srate()) == (15 * 7, 50.0)
    labels = [label for label, _, _ in channels(info)]
    assert labels == [f"{part}_{axis}" for part in NAMES
                      for axis in ("w", "x", "y", "z", "px", "py", "pz")]
    # The person stands as when calibrated: the stream carries the I-pose, arms hanging, the
    # hips as high as straight legs put them.
    chest, arm, hand = (labels.index(f"{part}_w") for part in ("Chest", "LeftUpperArm",
                                                                  "LeftHand"))
    hanging = (math.cos(math.pi / 4), 0.0, 0.0, -math.sin(math.pi / 4))
    wrist = (0.129 * 1.75, (0.245 + 0.246 + 0.039 + 0.100 + 0.188 - 0.186 - 0.146) * 1.75, 0.0)
    for sample in samples[-10:]:
        dot = abs(sum(a * b for a, b in zip(sample[arm:arm + 4], hanging)))
        assert 2 * math.degrees(math.acos(min(1.0, dot))) < 0.5
        assert sample[chest] == pytest.approx(1.0, abs=1e-3)  # w first, upright
        assert sample[hand + 4:hand + 7] == pytest.approx(wrist, abs=0.01)


def test_without_the_extra_the_other_tools_load_and_lsl_names_the_extra():
    child = run_child("""
        import sys
        sys.modules["pylsl"] = None  # as if the extra were not installed
        from pysorvel.__main__ import main
        try:
            import pysorvel.lsl
        except ImportError as error:
            print(error)
        sys.exit(main(["lsl"]))
    """, env={"SORVEL_VIRTUAL_KIT": scenario_text()})
    install = 'the lsl extra is not installed: pip install "pysorvel[lsl]"'
    assert child.stdout.decode() == install + "\n"
    assert child.returncode == 1
    assert child.stderr.decode() == f"{PROG}: {install}\n"


@pytest.mark.parametrize("args, scenario, status, message", [
    (["--seconds", "0"], {}, 2, "expected a number of seconds above 0"),
    (["--name", " "], {}, 2, "expected a name that is not empty"),
    (["--interval", "-1"], {}, 2, "expected milliseconds from 0 to 1000"),
    ([], {"present": False}, 1, f"{PROG}: cannot open the receiver: Receiver not found\n"),
    (["--group", "nope"], {}, 1, f"{PROG}: cannot pair nope: "),
], ids=["no time", "empty name", "bad interval", "no receiver", "bad group"])
def test_what_cannot_start_says_why(tmp_path, args, scenario, status, message):
    if status == 1:
        load_pylsl()  # past the arguments, the tool needs it
    child = subprocess.run([sys.executable, "-m", "pysorvel", "lsl", *args], cwd=tmp_path,
                           env=child_env(scenario_text(**scenario)), capture_output=True,
                           text=True, timeout=120)
    assert child.returncode == status, child.stderr
    assert message in child.stderr
    if status == 2:
        assert child.stderr.startswith("usage: python -m pysorvel lsl")
    else:
        assert child.stderr.count("\n") == 1, child.stderr
