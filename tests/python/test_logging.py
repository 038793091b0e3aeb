"""enable_log and the stdout logger, each case in a fresh interpreter (the logger is global)."""

import datetime
import os
import re
import subprocess
import sys
import textwrap

import pytest

import pysorvel
from conftest import run_child, scenario_text, windows_lacks

LINE = re.compile(
    r"^(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z) (ERROR|WARN |INFO |DEBUG|TRACE) "
    r"\[([^\]]+)\] (.+)$")

# Pairs one tracker, starts, then loses the receiver: Info and Error lines from three targets.
SESSION = """
    import asyncio, pysorvel, time
    {setup}
    s = pysorvel.Sorvel()
    async def main():
        await s.connect("LLA")
        await s.start()
    asyncio.run(main())
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            s.poll()
        except TypeError:
            break
        time.sleep(0.01)
"""
UNPLUG = {"script": [{"on": "Go", "delay_ms": 100, "unplug": True}]}


def session(setup, env=None, **scenario):
    merged = dict(UNPLUG, **scenario)
    child_env = {"SORVEL_VIRTUAL_KIT": scenario_text(**merged), **(env or {})}
    child = run_child(SESSION.format(setup=setup), env=child_env)
    assert child.returncode == 0, child.stderr
    return child


def levels(stdout):
    found = set()
    for line in stdout.decode().splitlines():
        match = LINE.match(line)
        assert match, repr(line)
        found.add(match.group(2).strip())
    return found


@pytest.mark.parametrize("level", ["warn", "trace", "", "infos", "off", "inf o", "info\udc80"])
def test_unknown_level_raises_type_error(level):
    with pytest.raises(TypeError, match="^incorrect level param$"):
        pysorvel.enable_log(level)


def test_unknown_level_changes_nothing():
    child = run_child("""
        import pysorvel
        try:
            pysorvel.enable_log("warn")
        except TypeError:
            pass
        pysorvel.enable_log("info")  # would panic had the first call installed a logger
        print("installed")
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout == b"installed\n"


def test_nothing_is_printed_without_enable_log():
    child = session("")
    assert child.stdout == b""


@pytest.mark.parametrize("level, expected", [
    ("error", {"ERROR"}),
    ("ERROR", {"ERROR"}),
    ("info", {"ERROR", "INFO"}),
    ("Info", {"ERROR", "INFO"}),
    ("debug", {"ERROR", "INFO"}),
    ("DEBUG", {"ERROR", "INFO"}),
])
def test_threshold_admits_levels(level, expected):
    child = session(f"pysorvel.enable_log({level!r})", env={"NO_COLOR": "1"})
    assert levels(child.stdout) == expected


def test_line_shape_targets_and_utc_timestamp():
    # A local zone far from UTC makes a local-time stamp stand out.
    child = session('pysorvel.enable_log("info")', env={"NO_COLOR": "1", "TZ": "Asia/Kolkata"})
    lines = child.stdout.decode().splitlines()
    matches = [LINE.match(line) for line in lines]
    assert all(matches), lines
    targets = {m.group(3) for m in matches}
    assert {"sorvel_driver::host", "sorvel_driver::host::usb", "trackers"} <= targets
    messages = {(m.group(2), m.group(3), m.group(4)) for m in matches}
    assert ("INFO ", "trackers", "Added driver: [16, 0, 0, 0, 0, 1]") in messages
    assert ("ERROR", "sorvel_driver::host::usb",
            "error receiving usb data: SerialTransferError(Disconnected)") in messages
    stamp = datetime.datetime.strptime(matches[0].group(1), "%Y-%m-%dT%H:%M:%S.%fZ")
    now = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
    assert abs(now - stamp) < datetime.timedelta(minutes=10)


@pytest.mark.parametrize("env, coloured", [
    ({}, False),  # a pipe is not a terminal
    ({"NO_COLOR": "1"}, False),
    ({"CLICOLOR_FORCE": "1"}, True),
    ({"CLICOLOR_FORCE": "1", "NO_COLOR": "1"}, True),
    ({"CLICOLOR_FORCE": "0"}, False),
    ({"CLICOLOR_FORCE": "0", "CLICOLOR": "1"}, False),
])
def test_colour_variables_on_a_pipe(env, coloured):
    stdout = session('pysorvel.enable_log("info")', env=env).stdout
    if coloured:
        assert b"\x1b[36mINFO \x1b[0m [trackers] Added driver" in stdout
        assert b"\x1b[31mERROR\x1b[0m [sorvel_driver::host::usb] error receiving" in stdout
        plain = re.sub(rb"\x1b\[(31|33|35|36)m(.{5})\x1b\[0m", rb"\2", stdout)
        assert levels(plain) == {"ERROR", "INFO"}
    else:
        assert b"\x1b" not in stdout
        assert levels(stdout) == {"ERROR", "INFO"}


def read_all(fd):
    data = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal's other side closed
            return data
        if not chunk:
            return data
        data += chunk


@windows_lacks("pseudo-terminals (pty)")
@pytest.mark.parametrize("env, coloured", [({}, True), ({"CLICOLOR": "0"}, False),
                                           ({"CLICOLOR": "1"}, True), ({"NO_COLOR": ""}, False)])
def test_colour_on_a_terminal(env, coloured):
    child_env = {k: v for k, v in os.environ.items()
                 if k not in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE")}
    child_env.update(env, SORVEL_VIRTUAL_KIT=scenario_text(**UNPLUG))
    import pty

    main, secondary = pty.openpty()
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SESSION.format(setup='pysorvel.enable_log("info")'))],
        stdout=secondary, stderr=subprocess.PIPE, env=child_env)
    os.close(secondary)
    output = read_all(main)
    os.close(main)
    assert process.wait(60) == 0, process.stderr.read()
    assert b"Added driver" in output
    assert (b"\x1b[36mINFO \x1b[0m" in output) == coloured


@pytest.mark.parametrize("first, second, expected", [
    ("info", "error", {"ERROR"}),  # the global threshold drops INFO now
    ("error", "debug", {"ERROR"}),  # the installed logger still drops INFO
    ("info", "info", {"ERROR", "INFO"}),
])
def test_second_enable_log_panics_after_changing_the_threshold(first, second, expected):
    setup = f"""
    pysorvel.enable_log({first!r})
    try:
        pysorvel.enable_log({second!r})
    except BaseException as error:
        import sys
        print(type(error).__name__, "|", error, file=sys.stderr, flush=True)
"""
    child = session(setup, env={"NO_COLOR": "1"})
    assert child.stderr == b"PanicException | Do not set log multiple times: SetLoggerError(())\n"
    # Only lines from after the second call: the kit is opened after it.
    assert levels(child.stdout) == expected
