"""`python -m pysorvel record`: every frame into a CSV file as poll would convert it, a complete
file after Ctrl-C, the capture beside it, and one clear line for what cannot start."""

import json
import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import scenario_text, windows_lacks

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import workload  # noqa: E402
from peer.driver import decode_report  # noqa: E402

HEADER = "time_s,body_part,w,x,y,z,ax,ay,az,accuracy"
PROG = "python -m pysorvel record"


def reports(per_tracker):
    """Round robin over the whole body; each tracker's samples count up in `accuracy`."""
    return [workload.encode_report(part, [workload.swaying_sample(part, first + i)
                                          for i in range(workload.SAMPLES_PER_REPORT)])
            for first in range(0, per_tracker * workload.SAMPLES_PER_REPORT,
                               workload.SAMPLES_PER_REPORT)
            for part in range(workload.TRACKERS)]


def scripted_kit(sent, interval_us):
    """The default fifteen trackers, silent but for `sent` once started, one transfer every
    `interval_us` microseconds."""
    transfers = workload.transfers_of(b"".join(sent))
    return json.loads(scenario_text(stream={"rate_hz": 0}, script=[{
        "on": "Go", "report_transfers": [t.hex() for t in transfers],
        "report_interval_us": interval_us}]))


def child_env(scenario):
    """`scenario` inline, or the path of a scenario file."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("SORVEL_VIRTUAL_KIT", "SORVEL_CAPTURE")}
    env["SORVEL_VIRTUAL_KIT"] = scenario if isinstance(scenario, str) else json.dumps(scenario)
    return env


def record(tmp_path, scenario, *args):
    return subprocess.run([sys.executable, "-m", "pysorvel", *args], cwd=tmp_path,
                          env=child_env(scenario), capture_output=True, text=True, timeout=120)


def read_rows(path):
    """The data rows of a complete recording: the header first, a newline after every row."""
    text = path.read_bytes().decode()
    assert text.startswith(HEADER + "\n")
    assert text.endswith("\n"), "the last row is cut"
    rows = [line.split(",") for line in text.splitlines()[1:]]
    assert all(len(row) == 10 for row in rows), "a row is cut"
    return rows


def time_ns(text):
    seconds, _, fraction = text.partition(".")
    assert len(fraction) == 9, text
    return int(seconds) * 1_000_000_000 + int(fraction)


def per_tracker(rows):
    tracks = {}
    for row in rows:
        tracks.setdefault(row[1], []).append(row)
    return tracks


def test_every_frame_is_written_as_poll_converts_it(tmp_path):
    sent = reports(per_tracker=8)
    expected = {}
    for report in sent:
        for sample in decode_report(report[6:])[1]:  # after the marker and the length
            expected.setdefault(sample.location, []).append(
                (*sample.rot, *sample.acc, sample.accuracy))
    out = tmp_path / "walk.csv"

    before = time.monotonic_ns()
    child = record(tmp_path, scripted_kit(sent, 1000), "record", str(out), "--seconds", "2")
    after = time.monotonic_ns()

    assert child.returncode == 0, child.stderr
    rows = read_rows(out)
    assert len(rows) == len(sent) * workload.SAMPLES_PER_REPORT
    tracks = per_tracker(rows)
    assert sorted(tracks) == sorted(expected)
    for part, track in tracks.items():
        got = [(*map(float, row[2:9]), int(row[9])) for row in track]
        assert got == expected[part], part
        times = [time_ns(row[0]) for row in track]
        assert before <= times[0] and times == sorted(times) and times[-1] <= after, part
    assert f"{len(rows)} frames, 0 dropped" in child.stderr.splitlines()[-1], child.stderr


@windows_lacks("SIGINT for another process")
def test_ctrl_c_leaves_a_complete_file_and_exits_130(tmp_path):
    sent = reports(per_tracker=300)  # about twelve seconds at this pace
    scenario = tmp_path / "kit.json"  # too long for the environment
    scenario.write_text(json.dumps(scripted_kit(sent, 2000)))
    out = tmp_path / "run.csv"
    child = subprocess.Popen([sys.executable, "-m", "pysorvel", "record", str(out)],
                             cwd=tmp_path, env=child_env(str(scenario)),
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        # Interrupted once the progress line shows frames arriving.
        seen, deadline = 0, time.monotonic() + 60
        while seen == 0:
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

    assert child.returncode == 130, rest
    assert "Traceback" not in rest, rest
    rows = read_rows(out)
    assert len(rows) >= seen
    # Nothing lost or reordered before the stop: each tracker's count runs on from 0.
    for part, track in per_tracker(rows).items():
        assert [int(row[9]) for row in track] == list(range(len(track))), part


def test_capture_is_written_beside_the_recording(tmp_path):
    sent = reports(per_tracker=1)
    out = tmp_path / "session.csv"
    child = record(tmp_path, scripted_kit(sent, 0), "record", str(out), "--seconds", "1",
                   "--capture")
    assert child.returncode == 0, child.stderr
    assert len(read_rows(out)) == len(sent) * workload.SAMPLES_PER_REPORT
    pcap = (tmp_path / "session.pcap").read_bytes()
    assert pcap[:4] == bytes.fromhex("d4c3b2a1")
    # The report transfers are in it, as the receiver delivered them.
    assert all(transfer in pcap for transfer in workload.transfers_of(b"".join(sent)))


@pytest.mark.parametrize("args, scenario, status, message", [
    ([], {}, 2, "the following arguments are required: TOOL"),
    (["replay"], {}, 2, "invalid choice: 'replay'"),
    (["record", "x.csv", "--seconds", "0"], {}, 2, "expected a number of seconds above 0"),
    (["record", "x.csv"], {"present": False}, 1,
     f"{PROG}: cannot open the receiver: Receiver not found\n"),
    (["record", "missing/x.csv"], {}, 1, f"{PROG}: cannot write the recording: "),
    (["record", "x.csv", "--group", "nope"], {}, 1, f"{PROG}: cannot pair nope: "),
    (["record", "x.pcap", "--capture"], {}, 1, "would be both the recording and the capture"),
], ids=["no tool", "unknown tool", "no time", "no receiver", "unwritable OUT",
        "bad group", "OUT is the capture"])
def test_what_cannot_start_says_why(tmp_path, args, scenario, status, message):
    child = record(tmp_path, json.loads(scenario_text(**scenario)), *args)
    assert child.returncode == status, child.stderr
    assert message in child.stderr
    if status == 2:
        assert child.stderr.startswith("usage: python -m pysorvel")
    else:
        assert child.stderr.count("\n") == 1, child.stderr


def limit_file_size(limit):
    """A child's files stop growing at `limit` bytes: a write beyond fails (EFBIG), as on a full
    disk, after the part that fits."""
    import resource  # POSIX only

    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return apply


@pytest.mark.parametrize("out, limit", [("/dev/full", None), ("run.csv", 30_000)],
                         ids=["nothing fits", "the disk fills up"])
@windows_lacks("/dev/full or file size limits")
def test_a_full_disk_ends_the_recording_keeping_every_whole_row(tmp_path, out, limit):
    child = subprocess.run(
        [sys.executable, "-m", "pysorvel", "record", out, "--group", "HE", "--seconds", "10"],
        cwd=tmp_path, env=child_env(scenario_text()), capture_output=True, text=True,
        timeout=120, preexec_fn=limit and limit_file_size(limit))
    assert child.returncode == 1, child.stderr
    assert "Traceback" not in child.stderr, child.stderr
    last = child.stderr.splitlines()[-1]
    match = re.fullmatch(rf"{PROG}: cannot write the recording: \[Errno \d+\] .+; "
                         rf"(\d+) frames were written to {re.escape(out)}", last)
    assert match, child.stderr
    if limit is not None:
        path = tmp_path / out
        rows = read_rows(path)
        assert len(rows) == int(match[1])
        # Only the row cut short is lost.
        assert limit - 200 < path.stat().st_size <= limit
