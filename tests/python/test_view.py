"""`python -m pysorvel view` without a browser: what it serves, to whom, the record button, and
how it ends."""

import csv
import ipaddress
import json
import pathlib
import re
import signal
import socket
import struct
import sys
import time

import pytest

from conftest import report_transfers, sample, windows_lacks
from view_process import FULL_BODY, running_view

LOSE_LEFT_HAND = {"script": [{"on": "Go", "delay_ms": 300, "lose_tracker": "LH"},
                             {"on": "Go", "delay_ms": 2000, "restore_tracker": "LH"}]}


def first(snapshots, predicate, timeout=20):
    deadline = time.monotonic() + timeout
    for snapshot in snapshots:
        if predicate(snapshot):
            return snapshot
        assert time.monotonic() < deadline, f"no snapshot matched; last: {snapshot}"
    raise AssertionError("the stream of snapshots ended")


def test_the_page_sees_poses_rates_and_lost_trackers():
    with running_view(LOSE_LEFT_HAND, "--group", "HE,LH") as view:
        page = view.request("GET", "/")
        assert page.status == 200 and b"three.min.js" in page.read()
        assert view.request("GET", "/three.min.js").read().startswith(b"(function(global")
        snapshots = view.snapshots()
        streaming = first(snapshots, lambda s: s["trackers"] and
                          min(t["fps"] for t in s["trackers"].values()) > 20)
        assert streaming["parts"] == ["Head", "LeftHand"]
        assert all(len(t["rot"]) == 4 for t in streaming["trackers"].values())
        assert first(snapshots, lambda s: s["lost"])["lost"] == ["LeftHand"]
        restored = first(snapshots, lambda s: not s["lost"])
        assert [e["text"] for e in restored["events"]] == ["LeftHand lost", "LeftHand restored"]


def listening_addresses(port):
    """The local addresses of the sockets listening on `port`, from the kernel's tables."""
    found = []
    for table, width in (("/proc/net/tcp", 8), ("/proc/net/tcp6", 32)):
        for row in pathlib.Path(table).read_text().splitlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            address, _, hex_port = local.partition(":")
            if state == "0A" and int(hex_port, 16) == port:  # 0A: LISTEN
                raw = bytes.fromhex(address)
                # The kernel writes each 32-bit word in host (little-endian) order.
                words = b"".join(raw[i:i + 4][::-1] for i in range(0, width // 2, 4))
                found.append(ipaddress.ip_address(words))
    return found


def outward_address():
    """This machine's address on its default route, if it has one."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))  # documentation range: nothing is sent
        except OSError:
            return None
        return probe.getsockname()[0]


@pytest.mark.skipif(sys.platform != "linux", reason="reads Linux's socket tables")
def test_serves_this_machine_only_unless_asked_and_then_says_so():
    with running_view({}, "--group", "HE") as view:
        assert listening_addresses(view.port) == [ipaddress.ip_address("127.0.0.1")]
        assert not any("not only on this machine" in line for line in view.output)
        if (address := outward_address()) is not None:
            with pytest.raises(OSError):
                socket.create_connection((address, view.port), timeout=5).close()
    with running_view({}, "--group", "HE", "--host", "0.0.0.0") as view:
        assert listening_addresses(view.port) == [ipaddress.ip_address("0.0.0.0")]
        assert any("serving on 0.0.0.0, not only on this machine" in line for line in view.output)


def test_refuses_what_the_page_never_asks():
    with running_view({}, "--group", "HE") as view:
        button = {"X-Pysorvel": "record"}
        cases = [
            ("GET", "/../../etc/passwd", {}, 404),
            ("GET", "/_view.py", {}, 404),
            # Another site's name made to point here (DNS rebinding).
            ("GET", "/poses", {"Host": f"attacker.example:{view.port}"}, 403),
            ("POST", "/record", {}, 403),  # a form of another site, which cannot set the header
            ("POST", "/record", {**button, "Host": "attacker.example"}, 403),
            ("POST", "/index.html", button, 404),
            ("POST", "/calibrate", button, 403),  # each button has a header of its own
        ]
        for method, path, headers, status in cases:
            assert view.request(method, path, headers).status == status, (method, path, headers)


def test_record_button_writes_every_frame_as_the_recorder_does(tmp_path):
    with running_view({}, "--group", "HE,LH", "--record-dir", str(tmp_path)) as view:
        first(view.snapshots(), lambda s: s["trackers"]["Head"]["fps"] > 0)
        press = {"X-Pysorvel": "record"}
        started = json_of(view.request("POST", "/record", press))
        assert started["active"] and started["error"] == ""
        first(view.snapshots(), lambda s: s["recording"]["frames"] > 20)
        stopped = json_of(view.request("POST", "/record", press))
        view.line(f"recorded {stopped['frames']} frames to ")
        # Another recording, likely within the same second, gets a file of its own.
        again = json_of(view.request("POST", "/record", press))
        json_of(view.request("POST", "/record", press))
    assert not stopped["active"] and stopped["path"] == started["path"]
    assert again["active"] and again["path"] != started["path"]
    path = pathlib.Path(stopped["path"])
    assert path.parent == tmp_path.resolve()
    with open(path, newline="") as file:
        rows = list(csv.reader(file))
    assert rows[0] == ["time_s", "body_part", "w", "x", "y", "z", "ax", "ay", "az", "accuracy"]
    assert len(rows) - 1 == stopped["frames"] > 20
    assert {row[1] for row in rows[1:]} == {"Head", "LeftHand"}


def json_of(response):
    assert response.status == 200
    return json.loads(response.read())


def threads_of(process):
    status = pathlib.Path(f"/proc/{process.pid}/status").read_text()
    return int(re.search(r"^Threads:\s+(\d+)", status, re.MULTILINE)[1])


def closed_by_peer(connection):
    """Whether the other end closed `connection` (or reset it), waiting as long as its time-out."""
    try:
        return connection.recv(1) == b""
    except ConnectionResetError:
        return True
    except TimeoutError:
        return False


@pytest.mark.skipif(sys.platform != "linux", reason="counts threads in Linux's process tables")
def test_clients_that_idle_reset_or_stop_short_cost_no_thread_and_no_console_line():
    with running_view({}, "--group", "HE") as view:
        snapshots = view.snapshots()
        next(snapshots)  # the page's stream, open throughout
        assert view.request("GET", "/").status == 200
        threads = threads_of(view.process)
        idle = [socket.create_connection((view.host, view.port)) for _ in range(200)]
        for reset in range(5):  # a reload while the page's files come
            with socket.create_connection((view.host, view.port)) as client:
                client.sendall(f"GET /three.min.js HTTP/1.1\r\nHost: {view.host}:{view.port}"
                               "\r\n\r\n".encode())
                client.recv(1)
                client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        for cut in (b"GET /three.min.js HTTP/1.1\r\n", b"GET /three.min.js HTTP/1.0\r\n\r",
                    b"GE"):
            with socket.create_connection((view.host, view.port)) as client:
                client.sendall(cut)
        try:
            page = view.request("GET", "/")
            assert page.status == 200 and b"three.min.js" in page.read()
            assert threads_of(view.process) <= threads + 2
            for client in idle:
                client.settimeout(30)
                assert closed_by_peer(client)
        finally:
            for client in idle:
                client.close()
        # The page's stream outlived the idle connections.
        assert next(snapshots)["parts"] == ["Head"]
        assert view.request("GET", "/view.js").status == 200
        snapshots.close()
        view.process.send_signal(signal.SIGINT)
        assert view.wait() == 0
        errors = view.process.stderr.read()
    assert errors == "", errors


def test_closing_the_page_ends_the_view():
    with running_view({}, "--group", FULL_BODY) as view:
        next(view.snapshots())  # the page opens, then goes: the generator closes its stream
        assert view.wait(timeout=15) == 0
        view.line("the page was closed")
        view.line("stopped")


@windows_lacks("SIGINT for another process")
def test_ctrl_c_stops_the_view_and_frees_its_port():
    with running_view({}, "--group", "HE") as view:
        next(view.snapshots())
        view.process.send_signal(signal.SIGINT)
        assert view.wait() == 0
        view.line("stopped")
        with pytest.raises(OSError):
            socket.create_connection((view.host, view.port), timeout=5).close()


@pytest.mark.parametrize("scenario, args, message", [
    ({}, ["--group", "HE,XX"], "cannot pair HE,XX"),
    ({"script": [{"on": "Go", "delay_ms": 300, "unplug": True}]}, ["--group", "HE"],
     "receiver lost"),
])
def test_a_view_that_cannot_go_on_says_why(scenario, args, message):
    with running_view(scenario, *args) as view:
        assert view.wait() == 1
        assert message in view.process.stderr.read()


def press(view, button, query=""):
    return json_of(view.request("POST", f"/{button}{query}", {"X-Pysorvel": button}))


def test_calibrating_from_the_page_sends_the_solved_pose_from_then_on():
    person = {"body": {"seed": 4, "noise_deg": 0}}
    with running_view(person, "--group", "HE,CH,HI,LH,LF") as view:
        snapshots = view.snapshots()
        raw = first(snapshots, lambda s: s["trackers"]["Head"]["fps"] > 0)
        assert not raw["calibration"]["calibrated"] and "pose" not in raw
        assert raw["calibration"]["message"].startswith("Not calibrated")
        assert press(view, "reset-heading")["refused"] == "calibrate first"

        started = press(view, "calibrate", "?ski=1")
        assert "refused" not in started and started["step"] == "Stand still, arms down"
        assert 2.0 < started["countdown_s"] <= 3.0
        assert press(view, "calibrate")["refused"] == "a step is under way"
        crouch = first(snapshots, lambda s: s["calibration"]["step"].startswith("Now crouch"))
        assert not crouch["calibration"]["calibrated"]  # only the whole calibration counts
        solved = first(snapshots, lambda s: "pose" in s)
        assert solved["calibration"]["message"] == "Calibrated with the ski pose"
        assert set(solved["pose"]) == {"Head", "Chest", "Hips", "LeftHand", "LeftFoot"}
        feet = solved["pose"]["LeftFoot"]
        assert len(feet["rotation"]) == 4 and feet["end"][1] < solved["pose"]["Head"]["end"][1]

        assert "refused" not in press(view, "reset-heading")
        reset = first(snapshots, lambda s: s["calibration"]["message"] == "Heading reset")
        assert reset["calibration"]["error"] == "" and "pose" in reset


# The head alone reports, for longer than the countdown and the hold take.
HEAD_ONLY = {"stream": {"rate_hz": 0}, "script": [{
    "on": "Go", "report_interval_us": 20_000,
    "report_transfers": report_transfers(4, [sample(body_part=4)] * 4) * 400}]}
LOST_EARLY = {"body": {"noise_deg": 0},
              "script": [{"on": "Go", "delay_ms": 300, "lose_tracker": "LH"}]}


@pytest.mark.parametrize("scenario, error", [
    (HEAD_ONLY, "LeftHand sent nothing during the hold"),
    (LOST_EARLY, "LeftHand was lost during the hold"),
], ids=["silent", "lost"])
def test_a_failed_calibration_names_the_tracker_and_keeps_the_raw_figure(scenario, error):
    with running_view(scenario, "--group", "HE,LH") as view:
        snapshots = view.snapshots()
        first(snapshots, lambda s: s["trackers"]["Head"]["fps"] > 0)
        press(view, "calibrate", "?ski=0")
        failed = first(snapshots, lambda s: s["calibration"]["error"])
        assert failed["calibration"]["error"] == error
        assert not failed["calibration"]["calibrated"] and "pose" not in failed
        assert failed["calibration"]["step"] == ""
