"""Shared helpers: virtual-kit scenarios, sensor-report encoding and child interpreters."""

import asyncio
import itertools
import json
import os
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

# LSL finds streams by multicast and broadcast: this configuration keeps every packet of the tests
# on this machine. liblsl reads it when first used, so it is set before anything imports pylsl;
# child processes inherit it.
LSL_CONFIG = Path(__file__).with_name("lsl_api.cfg")
os.environ["LSLAPICFG"] = str(LSL_CONFIG)

import pysorvel


def windows_lacks(what):
    """Skips a test on Windows, which has no `what`."""
    return pytest.mark.skipif(sys.platform == "win32", reason=f"Windows has no {what}")


# Each test gets a kit of its own: within a process one scenario text is one device.
_kit_numbers = itertools.count(1)

# What Sorvel() raises when no receiver is plugged in; not a public name of the module.
RECEIVER_NOT_FOUND = sys.modules["pysorvel._pysorvel"]._ReceiverNotFoundError
CODES = ["LLA", "RLA", "LLL", "RLL", "HE", "HI", "LUA", "RUA", "LUL", "RUL", "CH", "LH", "RH", "LF", "RF"]
NAMES = [
    "LeftLowerArm", "RightLowerArm", "LeftLowerLeg", "RightLowerLeg", "Head", "Hips",
    "LeftUpperArm", "RightUpperArm", "LeftUpperLeg", "RightUpperLeg", "Chest", "LeftHand",
    "RightHand", "LeftFoot", "RightFoot",
]

DEFAULT_REPR = (
    'Report { acc: [0.0, 0.0, 0.0], rot: [1.0, 0.0, 0.0, 0.0], accuracy: 0, '
    'location: "LeftLowerArm" }'
)


def scenario_text(**keys):
    n = next(_kit_numbers)
    keys.setdefault("receiver", {"address": [90, 1, 2, 3, n // 256, n % 256]})
    return json.dumps(keys)


# Windows caps an environment variable at 32,767 characters: longer scenarios go in a file.
LONGEST_INLINE_SCENARIO = 30_000


@pytest.fixture
def kit(monkeypatch, tmp_path):
    """kit(**scenario_keys) points SORVEL_VIRTUAL_KIT at a fresh virtual kit."""

    def use(**keys):
        text = scenario_text(**keys)
        if len(text) > LONGEST_INLINE_SCENARIO:
            path = tmp_path / f"scenario-{next(_kit_numbers)}.json"
            path.write_text(text)
            text = str(path)
        monkeypatch.setenv("SORVEL_VIRTUAL_KIT", text)
        return text

    return use


def run(coroutine):
    return asyncio.run(coroutine)


# ---- Sensor report stream encoding ----

def uvarint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def zigzag16(value):
    return uvarint(((value << 1) ^ (value >> 15)) & 0xFFFF)


def sample(orientation=(0, 0, 0, 16384), acceleration=(0, 0, 0), accuracy=0, body_part=0):
    """One sample; orientation raw x, y, z, w (14 fraction bits), acceleration raw (8 bits)."""
    return (
        uvarint(0)
        + uvarint(0)
        + b"".join(zigzag16(v) for v in orientation)
        + b"".join(zigzag16(v) for v in (0, 0, 0, 16384))
        + b"".join(zigzag16(v) for v in acceleration)
        + zigzag16(0)
        + bytes([0])
        + uvarint(body_part)
        + uvarint(accuracy)
    )


def report_transfers(body_part, samples):
    """The hex IN transfers of one framed report routed to `body_part` (four samples)."""
    assert len(samples) == 4
    payload = uvarint(body_part) + uvarint(0) + b"".join(samples)
    data = b"SOR." + struct.pack("<H", len(payload)) + payload
    return [data[i:i + 64].hex() for i in range(0, len(data), 64)]


def tracker(address_last, code, announce="discovered"):
    return {"address": [16, 0, 0, 0, 0, address_last], "body_part": code,
            "announce": announce}


def poll_until(sorvel, predicate, timeout=20.0):
    """Polls until `predicate(result)` holds; the frames come from the kit's own threads."""
    deadline = time.monotonic() + timeout
    while True:
        result = sorvel.poll()
        if predicate(result):
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"no poll result matched; last: {result!r}")
        time.sleep(0.01)


# ---- Child interpreters, for what changes process-wide state or needs an exit ----

# Python's text streams write "\r\n" on Windows, the module's logger "\n" everywhere: the tests
# compare a child's output as bytes, so its print and tracebacks write "\n" too.
_PLAIN_NEWLINES = 'import sys as _sys; _sys.stdout.reconfigure(newline="\\n"); ' \
    '_sys.stderr.reconfigure(newline="\\n")\n'


def run_child(code, env=None, timeout=60):
    child_env = {k: v for k, v in os.environ.items()
                 if k not in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE", "SORVEL_VIRTUAL_KIT")}
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", _PLAIN_NEWLINES + textwrap.dedent(code)],
        env=child_env, capture_output=True, timeout=timeout,
    )



@pytest.fixture(scope="session")
def panic_type():
    """PanicException is not a module attribute; catch one to learn the class."""
    try:
        asyncio.run(_bad_group())
    except BaseException as error:  # noqa: B036 - it derives from BaseException on purpose
        return type(error)
    raise AssertionError("a bad group did not raise")


async def _bad_group():
    previous = os.environ.get("SORVEL_VIRTUAL_KIT")
    os.environ["SORVEL_VIRTUAL_KIT"] = scenario_text()
    try:
        pysorvel.Sorvel().connect("nope")
    finally:
        if previous is None:
            del os.environ["SORVEL_VIRTUAL_KIT"]
        else:
            os.environ["SORVEL_VIRTUAL_KIT"] = previous
