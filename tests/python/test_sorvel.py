"""Sorvel against the virtual kit: construction, status, pairing, start and poll failures."""

import asyncio
import gc
import itertools
import os
import pathlib
import time

import pytest

import pysorvel
from conftest import (CODES, NAMES, RECEIVER_NOT_FOUND, poll_until, report_transfers, run,
                      run_child, sample, tracker, windows_lacks)


async def connect_and_start(sorvel, group="LLA"):
    await sorvel.connect(group)
    await sorvel.start()


# ---- Constructor ----

def test_missing_receiver_raises_an_os_error_of_its_own(kit):
    kit(present=False)
    with pytest.raises(OSError) as raised:
        pysorvel.Sorvel()
    assert type(raised.value) is RECEIVER_NOT_FOUND and issubclass(RECEIVER_NOT_FOUND, OSError)
    assert str(raised.value) == "Receiver not found" and raised.value.errno is None


# A POSIX environment holds bytes, any bytes; a Windows one holds text.
@windows_lacks("environment of bytes")
@pytest.mark.parametrize("variable, value, expected", [
    ("SORVEL_VIRTUAL_KIT", '{"script": [{"on": "Go", "report_transfers": ["\u00e9"]}]}',
     r"'\xc3' is not a hex digit"),
    ("SORVEL_VIRTUAL_KIT", "{tmp}/\udcff.json", r"{tmp}/\xff.json"),
    ("SORVEL_CAPTURE", "{tmp}/\udcff/kit.pcap", "No such file or directory"),
], ids=["byte of a scenario", "scenario path", "capture path"])
def test_error_texts_are_text_whatever_bytes_they_quote(kit, monkeypatch, tmp_path, variable,
                                                        value, expected):
    kit()
    value, expected = (text.replace("{tmp}", str(tmp_path)) for text in (value, expected))
    monkeypatch.setenv(variable, value)
    with pytest.raises(OSError) as raised:
        pysorvel.Sorvel()
    assert expected in str(raised.value)
    if raised.value.filename is not None:  # a path reads as os.fsdecode reads it
        assert raised.value.filename == value


def test_unreadable_scenario_raises_os_error_naming_the_variable(monkeypatch):
    monkeypatch.setenv("SORVEL_VIRTUAL_KIT", '{"present": ')
    with pytest.raises(OSError, match="SORVEL_VIRTUAL_KIT"):
        pysorvel.Sorvel()


# In a child: a regression would block on the FIFO, or read /dev/zero until memory runs out (here
# a bounded address space, where there are resource limits).
_CONSTRUCT_IN_A_SMALL_SPACE = """
    import sys
    import pysorvel
    if sys.platform != "win32":
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
    try:
        pysorvel.Sorvel()
    except OSError as error:
        print(type(error).__name__, error, sep="|")
"""


def _fifo(tmp_path):
    os.mkfifo(tmp_path / "kit.fifo")
    return tmp_path / "kit.fifo"


def _oversized(tmp_path):
    path = tmp_path / "kit.json"
    with open(path, "wb") as file:
        file.truncate(16 * 1024 * 1024 + 1)  # sparse
    return path


@pytest.mark.parametrize("make_path, cause", [
    (lambda tmp_path: tmp_path, "is a directory"),
    pytest.param(_fifo, "not a regular file", marks=windows_lacks("FIFOs")),
    pytest.param(lambda tmp_path: pathlib.Path("/dev/zero"), "not a regular file",
                 marks=windows_lacks("/dev/zero")),
    (_oversized, "larger than 16777216 bytes"),
], ids=["directory", "fifo", "dev-zero", "oversized"])
def test_scenario_path_that_is_no_regular_file_fails_at_once(tmp_path, make_path, cause):
    path = make_path(tmp_path)
    child = run_child(_CONSTRUCT_IN_A_SMALL_SPACE, env={"SORVEL_VIRTUAL_KIT": str(path)},
                      timeout=30)
    assert child.stdout.decode() == (
        f'OSError|SORVEL_VIRTUAL_KIT: cannot read scenario file "{path}": {cause}\n'
    ), child.stderr.decode()


def test_two_trackers_at_one_address_are_refused_by_the_constructor(kit):
    kit(trackers=[tracker(5, "HE"), tracker(5, "CH")])
    with pytest.raises(OSError) as raised:
        pysorvel.Sorvel()
    assert str(raised.value) == (
        "SORVEL_VIRTUAL_KIT: invalid scenario: trackers[1].address: "
        "[16, 0, 0, 0, 0, 5] is already the address of trackers[0]")


def test_silent_receiver_makes_construction_panic_with_debug_text(kit, panic_type):
    kit(silent=["GetInfo"])
    with pytest.raises(panic_type) as raised:
        pysorvel.Sorvel()
    assert str(raised.value).endswith("ResponseTimeout")


def test_receiver_held_by_a_live_object_panics_and_is_released_by_gc(kit, panic_type):
    kit()
    first = pysorvel.Sorvel()
    with pytest.raises(panic_type) as raised:
        pysorvel.Sorvel()
    assert str(raised.value).endswith(
        'SerialPortError(Os { code: 16, message: "Device or resource busy" })')
    del first
    gc.collect()
    assert pysorvel.Sorvel().status() == "not connected"


def test_receiver_released_after_streaming_object_is_collected(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, "LLA, RLA"))
    poll_until(sorvel, lambda result: all(fresh for _, fresh in result))
    del sorvel
    gc.collect()
    again = pysorvel.Sorvel()
    assert again.status() == "not connected"
    run(connect_and_start(again, "HE"))
    assert again.status() == "reporting data"


# ---- Status ----

def test_status_follows_connect_start_and_reconnect(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    seen = [sorvel.status()]

    async def main():
        await sorvel.connect("LLA")
        seen.append(sorvel.status())
        await sorvel.start()
        seen.append(sorvel.status())
        await sorvel.connect("RLA, HE")
        seen.append(sorvel.status())

    run(main())
    assert seen == ["not connected", "connected", "reporting data", "connected"]
    # The new pairing replaced the tracker set: two trackers, not started.
    with pytest.raises(TypeError, match=r"^Device not started\.$"):
        sorvel.poll()


# ---- Failures of the awaitables ----

def test_start_before_connect_fails_and_keeps_status(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(TypeError) as raised:
        run(sorvel.start_later() if False else _await(sorvel.start))
    assert str(raised.value) == "host is not connected to trackers."
    assert sorvel.status() == "not connected"


async def _await(method, *args):
    return await method(*args)


def test_group_of_more_than_fifteen_codes_fails_in_the_awaitable(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    group = ",".join(CODES + ["LLA"])

    async def main():
        future = sorvel.connect(group)  # parsing accepts it
        assert isinstance(future, asyncio.Future)
        await future

    with pytest.raises(TypeError) as raised:
        run(main())
    assert str(raised.value) == (
        "Execution of a command failed with a reason: the group has more than 15 body parts")
    assert sorvel.status() == "not connected"


def test_failed_pairing_keeps_previous_status_and_tracker_set(kit):
    kit(ready_to_report=False)  # every pairing ends at the ReadyToReport time-out
    sorvel = pysorvel.Sorvel()
    with pytest.raises(TypeError) as raised:
        run(_await(sorvel.connect, "LLA"))
    assert str(raised.value) == "trackers not ready, please check tracker status"
    assert sorvel.status() == "not connected"
    with pytest.raises(TypeError, match=r"^Device not connected\.$"):
        sorvel.poll()


# ---- Poll ----

def test_poll_before_connect_and_before_start(kit):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(TypeError, match=r"^Device not connected\.$"):
        sorvel.poll()
    run(_await(sorvel.connect, "LLA"))
    for _ in range(2):  # the failure leaves nothing locked
        with pytest.raises(TypeError, match=r"^Device not started\.$"):
            sorvel.poll()
    assert sorvel.status() == "connected"


def test_poll_after_unplug_fails_with_no_data(kit):
    kit(script=[{"on": "Go", "delay_ms": 200, "unplug": True}])
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel))

    def lost(_):
        return False

    with pytest.raises(TypeError, match="^Error polling the last frame$"):
        poll_until(sorvel, lost)
    assert sorvel.status() == "reporting data"


def test_poll_lists_trackers_in_address_order_not_group_order(kit):
    # Addresses run against body-part order: RF has the lowest, LLA the highest.
    trackers = [tracker(1, "RF"), tracker(5, "HE"), tracker(9, "LLA")]
    reports = []
    for code in ("RF", "HE", "LLA"):
        part = CODES.index(code)
        reports += report_transfers(part, [sample(body_part=part)] * 4)
    kit(trackers=trackers, stream={"rate_hz": 0},
        script=[{"on": "Go", "report_transfers": reports}])
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, "LLA, HE, RF"))
    result = poll_until(sorvel, lambda r: all(fresh for _, fresh in r))
    assert [report.location for report, _ in result] == ["RightFoot", "Head", "LeftLowerArm"]


def test_frames_are_fresh_in_sample_order_then_repeated(kit):
    samples = [sample(acceleration=(256 * (i + 1), 0, 0), body_part=14) for i in range(4)]
    kit(trackers=[tracker(3, "RF")], stream={"rate_hz": 0},
        script=[{"on": "Go", "report_transfers": report_transfers(14, samples)}])
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, "RF"))
    first = poll_until(sorvel, lambda r: r[0][1])
    rest = [sorvel.poll() for _ in range(5)]
    polled = [result[0] for result in [first] + rest]
    assert [(report.acc[0], fresh) for report, fresh in polled] == [
        (1.0, True), (2.0, True), (3.0, True), (4.0, True), (4.0, False), (4.0, False)
    ]
    assert all(report.location == "RightFoot" for report, _ in polled)
    assert repr(polled[-1][0]) == repr(polled[-2][0])


@pytest.mark.parametrize("group, expected", [
    ("LLA,RLA", ["LeftLowerArm", "RightLowerArm"]),
    ("  LLA ,\tRLA\n", ["LeftLowerArm", "RightLowerArm"]),
    ("\u3000HE\u2003,\u00a0RF", ["Head", "RightFoot"]),
    ("CH", ["Chest"]),
])
def test_group_parsing_accepts_codes_with_white_space(kit, group, expected):
    kit(stream={"rate_hz": 1000, "motion": "still"})
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, group))
    result = poll_until(sorvel, lambda r: all(fresh for _, fresh in r))
    assert sorted(report.location for report, _ in result) == sorted(expected)


@pytest.mark.parametrize("group", ["lla", "", "LLA,", ",LLA", "LLA,,RLA", "LLA;RLA", "Head",
                                   "LLA RLA", "ＬＬＡ", "\udc80", "LLA,\ud800"])
def test_unknown_code_panics_before_any_awaitable(kit, panic_type, group):
    kit()
    sorvel = pysorvel.Sorvel()

    async def main():
        tasks_before = len(asyncio.all_tasks())
        with pytest.raises(panic_type) as raised:
            sorvel.connect(group)
        assert str(raised.value) == "Unexpected point expression"
        assert len(asyncio.all_tasks()) == tasks_before

    run(main())
    assert sorvel.status() == "not connected"


def test_every_code_maps_to_its_body_part(kit):
    kit(stream={"rate_hz": 1000, "motion": "still"})
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, ", ".join(CODES)))
    result = poll_until(sorvel, lambda r: all(fresh for _, fresh in r))
    # Default kit: body part v sits at address [..., v + 1], so address order is code order.
    assert [report.location for report, _ in result] == NAMES


def wait_until(condition, limit):
    """True once `condition()` holds, False if it does not within `limit` seconds."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_only_paired_trackers_are_listed_lost(kit):
    # The receiver also tells of trackers it does not serve; Head, paired, is told of last.
    kit(script=[{"on": "Go", "delay_ms": 100, "lose_tracker": "RF"},
                {"on": "Go", "delay_ms": 150, "lose_tracker": "LH"},
                {"on": "Go", "delay_ms": 200, "lose_tracker": "HE"}])
    sorvel = pysorvel.Sorvel()
    run(connect_and_start(sorvel, "HE,HI"))
    assert wait_until(lambda: sorvel.lost_trackers() != [], 3.0)
    assert sorvel.lost_trackers() == ["Head"]


def test_a_lost_tracker_is_listed_and_its_frames_stop_until_restored(kit):
    kit(script=[{"on": "Go", "delay_ms": 200, "lose_tracker": "LH"},
                {"on": "Go", "delay_ms": 4000, "restore_tracker": "LeftHand"}])
    sorvel = pysorvel.Sorvel()
    assert sorvel.lost_trackers() == []
    with sorvel.frames() as stream:
        run(connect_and_start(sorvel, "HE,LH,RH"))
        # Within the second it takes, with room for a loaded machine.
        assert wait_until(lambda: sorvel.lost_trackers() == ["LeftHand"], 3.0)
        # Reports sent before the loss may still be on their way; then the others go on alone.
        frames = []

        def others_go_on_alone():
            frames.extend(frame.body_part for frame in stream.drain())
            since = list(itertools.takewhile(lambda part: part != "LeftHand", reversed(frames)))
            return min(since.count("Head"), since.count("RightHand")) >= 50

        assert wait_until(others_go_on_alone, 3.0)
        assert sorvel.lost_trackers() == ["LeftHand"]

        assert wait_until(lambda: "LeftHand" in {f.body_part for f in stream.drain()}, 20)
        assert wait_until(lambda: sorvel.lost_trackers() == [], 3.0)
