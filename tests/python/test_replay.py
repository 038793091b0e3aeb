"""A USB capture played back as a receiver: the same frames, in the same order, with the same log
lines as the session it recorded."""

import json
import re
import struct

import pytest

import pysorvel
from conftest import run_child

# Pairs three trackers, streams, and writes every frame and how the stream ended to `out`; the
# driver's log goes to standard output.
SESSION = """
    import asyncio, json, pysorvel
    pysorvel.enable_log("info")

    async def main():
        kit = pysorvel.Sorvel()
        stream = kit.frames()
        await kit.connect("LLA,RLA,HE")
        await kit.start()
        frames, end = [], "taken"
        try:
            async for frame in stream:
                frames.append([frame.body_part, frame.rot, frame.acc, frame.accuracy])
                if len(frames) == 1500:
                    break
        except ConnectionError as error:
            end = str(error)
            # The other reader fails at the same moment; closing first would silence its line.
            await asyncio.sleep(0.5)
        with open({out!r}, "w") as file:
            json.dump({{"frames": frames, "end": end}}, file)

    asyncio.run(main())
"""

UNPLUGGED_AFTER_GO = json.dumps({"script": [{"on": "Go", "delay_ms": 200, "unplug": True}]})
TIMESTAMP = re.compile(r"^\S+ ")


def session(tmp_path, name, env):
    out = tmp_path / f"{name}.json"
    child = run_child(SESSION.format(out=str(out)), env=env, timeout=120)
    assert child.returncode == 0, child.stderr.decode()
    log = [TIMESTAMP.sub("", line) for line in child.stdout.decode().splitlines()]
    return json.loads(out.read_text()), log


def host_lines(log):
    # The host's own operations run one after the other; the readers' lines may interleave.
    return [line for line in log if "[sorvel_driver::host]" in line]


@pytest.mark.parametrize("kit, replay, end", [
    ("1", "{pcap}", "taken"),
    ("1", '{{"replay": {pcap_json}, "speed": 0}}', "taken"),
    (UNPLUGGED_AFTER_GO, "{pcap}", "receiver lost"),
], ids=["default-kit", "as-fast-as-read", "receiver-lost"])
def test_a_replayed_capture_gives_the_recorded_frames_and_log_lines(tmp_path, kit, replay, end):
    pcap = tmp_path / "session.pcap"
    recorded, recorded_log = session(
        tmp_path, "recorded", {"SORVEL_VIRTUAL_KIT": kit, "SORVEL_CAPTURE": str(pcap)})
    assert recorded["end"] == end
    assert len(recorded["frames"]) > 100
    replayed, replayed_log = session(
        tmp_path, "replayed",
        {"SORVEL_VIRTUAL_KIT": replay.format(pcap=pcap, pcap_json=json.dumps(str(pcap)))})
    assert replayed == recorded
    assert host_lines(replayed_log) == host_lines(recorded_log)
    assert sorted(replayed_log) == sorted(recorded_log)


def capture_of(tmp_path):
    pcap = tmp_path / "session.pcap"
    session(tmp_path, "recorded",
            {"SORVEL_VIRTUAL_KIT": UNPLUGGED_AFTER_GO, "SORVEL_CAPTURE": str(pcap)})
    return pcap.read_bytes()


def test_a_capture_that_cannot_be_replayed_is_an_os_error_naming_the_variable(tmp_path,
                                                                               monkeypatch):
    good = capture_of(tmp_path)
    ethernet = good[:20] + struct.pack("<I", 1) + good[24:]
    cases = [
        ("cut.pcap", good[:-10], "truncated: the record at byte "),
        ("ethernet.pcap", ethernet, "link type 1 is not a usbmon capture (link type 220)"),
        ("header.pcap", good[:12], "truncated: the file header is cut short"),
    ]
    for name, content, problem in cases:
        path = tmp_path / name
        path.write_bytes(content)
        monkeypatch.setenv("SORVEL_VIRTUAL_KIT", str(path))
        with pytest.raises(OSError) as raised:
            pysorvel.Sorvel()
        assert str(raised.value).startswith(
            f'SORVEL_VIRTUAL_KIT: cannot replay capture "{path}": {problem}'), name


def test_a_capture_is_known_by_its_content_not_its_name(tmp_path, monkeypatch):
    scenario = tmp_path / "looks-like-a-capture.pcap"
    scenario.write_text(json.dumps({"receiver": {"address": [90, 1, 2, 3, 200, 1]}}))
    monkeypatch.setenv("SORVEL_VIRTUAL_KIT", str(scenario))
    assert pysorvel.Sorvel().status() is not None
    not_a_capture = tmp_path / "notes.txt"
    not_a_capture.write_text("hello")
    monkeypatch.setenv("SORVEL_VIRTUAL_KIT", json.dumps({"replay": str(not_a_capture)}))
    with pytest.raises(OSError, match='^SORVEL_VIRTUAL_KIT: invalid scenario: replay: cannot '
                                      'replay capture ".*notes.txt": not a pcap file$'):
        pysorvel.Sorvel()


def test_a_replay_too_slow_to_play_is_an_os_error_naming_the_variable(tmp_path, monkeypatch):
    # Refused before the capture is read: a crawl would time out every command.
    monkeypatch.setenv("SORVEL_VIRTUAL_KIT",
                       json.dumps({"replay": str(tmp_path / "any.pcap"), "speed": 1e-300}))
    with pytest.raises(OSError, match=r"^SORVEL_VIRTUAL_KIT: invalid scenario: speed: expected 0 "
                                      r"\(as fast as the host reads\) or a number from 0\.001"):
        pysorvel.Sorvel()
