"""Sorvel through libusb and usbfs, as on a Linux machine with a receiver plugged in."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import pysorvel
from conftest import eventually

CODES = "LLA,RLA,LLL,RLL,HE,HI,LUA,RUA,LUL,RUL,CH,LH,RH,LF,RF"


async def pair_and_start(sorvel, group):
    await sorvel.connect(group)
    await sorvel.start()


def fresh_everywhere(sorvel, count):
    seen = set()

    def check():
        polled = sorvel.poll()
        seen.update(i for i, (_, fresh) in enumerate(polled) if fresh)
        return len(polled) == count and len(seen) == count

    return eventually(check)


@pytest.mark.parametrize("group", ["HE,CH", CODES])
def test_pairs_and_streams_every_tracker(plug, group):
    receiver = plug(stream={"rate_hz": 200})
    sorvel = pysorvel.Sorvel()
    assert receiver.state()["claimed"] == [0, 1, 2]
    asyncio.run(pair_and_start(sorvel, group))
    assert sorvel.status() == "reporting data"
    assert fresh_everywhere(sorvel, group.count(",") + 1)


def test_frames_are_the_virtual_kits_for_the_same_scenario(plug, monkeypatch):
    report = "534f522e" + "00" * 4  # a frame the parser rejects, then real motion from the kit
    scenario = {"stream": {"rate_hz": 0},
                "script": [{"on": "Go", "report_transfers": [report]}],
                "trackers": [{"address": [16, 0, 0, 0, 0, 5], "body_part": "Head"}]}
    receiver = plug(**scenario)
    through_usb = pysorvel.Sorvel()
    monkeypatch.setenv("SORVEL_VIRTUAL_KIT", __import__("json").dumps(scenario))
    in_process = pysorvel.Sorvel()
    monkeypatch.delenv("SORVEL_VIRTUAL_KIT")
    for sorvel in (through_usb, in_process):
        asyncio.run(pair_and_start(sorvel, "HE"))
    assert eventually(lambda: receiver.state()["report_transfers_delivered"] == 1)
    assert repr(through_usb.poll()) == repr(in_process.poll())


def test_a_second_sorvel_finds_the_receiver_busy(plug):
    receiver = plug()
    first = pysorvel.Sorvel()
    with pytest.raises(BaseException, match="Device or resource busy") as raised:
        pysorvel.Sorvel()
    assert type(raised.value).__name__ == "PanicException"
    assert first.status() == "not connected"
    assert receiver.state()["claimed"] == [0, 1, 2]


def test_no_access_is_a_permission_error_naming_the_udev_rule(plug):
    receiver = plug()
    receiver.deny_access()
    # Privileges would open the node anyway: the child asks as a user without them.
    code = """
        import os
        import pysorvel
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)
        try:
            pysorvel.Sorvel()
        except PermissionError as error:
            print("PermissionError", error)
    """
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                           text=True, timeout=60)
    assert child.stdout.startswith("PermissionError"), child.stdout + child.stderr
    assert "udev/70-sorvel-receiver.rules" in child.stdout


def test_unplug_while_streaming_ends_the_wait_under_way_and_poll(plug):
    receiver = plug(stream={"rate_hz": 500}, trackers=[
        {"address": [16, 0, 0, 0, 0, 1], "body_part": "Chest"},
        {"address": [16, 0, 0, 0, 0, 2], "body_part": "Head", "announce": "silent"}])
    sorvel = pysorvel.Sorvel()

    async def main():
        await pair_and_start(sorvel, "CH")
        assert fresh_everywhere(sorvel, 1)
        pairing = asyncio.ensure_future(sorvel.connect("HE"))  # waits for the silent tracker
        assert eventually(lambda: receiver.state()["history"][-1] == "Initiate")
        receiver.unplug()
        with pytest.raises(TypeError, match=r"^connection to receiver is lost\.$"):
            await asyncio.wait_for(pairing, 2)

    asyncio.run(main())
    with pytest.raises(TypeError, match="^Error polling the last frame$"):
        sorvel.poll()


def test_dropping_with_transfers_in_flight_frees_the_receiver_at_once(plug):
    receiver = plug(stream={"rate_hz": 1000})
    for _ in range(20):
        sorvel = pysorvel.Sorvel()
        asyncio.run(pair_and_start(sorvel, "HE"))
        assert receiver.state()["pending_transfers"] >= 1
        del sorvel
        gc.collect()
    # The last one is gone too: nothing claimed, nothing in flight.
    assert eventually(lambda: receiver.state()["claimed"] == []
                      and receiver.state()["pending_transfers"] == 0)

