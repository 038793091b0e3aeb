"""The module through libusb on receivers emulated at the usbfs level.

An emulated bus runs in a process of its own (sorvel_usbfs_server); this process must run with
umockdev's preload library (umockdev-wrapper) so that libusb finds the bus's receivers under
/dev/bus/usb and /sys. `make python-usbfs-test` sets everything up.
"""

import json
import os
import pathlib
import subprocess
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SERVER = pathlib.Path(os.environ.get(
    "SORVEL_USBFS_SERVER", REPO / "build" / "simulator" / "usbfs" / "sorvel_usbfs_server"))

if "libumockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
    raise pytest.UsageError("tests/usbfs must run under umockdev-wrapper (make python-usbfs-test)")
if not SERVER.exists():
    raise pytest.UsageError(f"no {SERVER}: build the C++ tree first (make build)")


class Bus:
    """The emulated bus; libusb in this process sees it from the first Sorvel() on."""

    def __init__(self):
        self._server = subprocess.Popen(
            [str(SERVER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.root = self._reply()["root"]

    def request(self, **request):
        self._server.stdin.write(json.dumps(request) + "\n")
        self._server.stdin.flush()
        return self._reply()

    def _reply(self):
        reply = json.loads(self._server.stdout.readline())
        if "error" in reply:
            raise AssertionError(f"usbfs bus: {reply['error']}")
        return reply

    def plug(self, **scenario):
        return Receiver(self, self.request(op="plug", scenario=scenario))


class Receiver:
    def __init__(self, bus, reply):
        self._bus = bus
        self.id = reply["id"]
        self.devnode = reply["devnode"]

    def state(self):
        return self._bus.request(op="state", id=self.id)

    def unplug(self):
        self._bus.request(op="unplug", id=self.id)

    def deny_access(self):
        self._bus.request(op="deny_access", id=self.id)


# Before any test can open a receiver: libusb watches the bus it finds when it starts. The server
# lives as long as this process (it ends with it), since libusb keeps its nodes open until exit.
BUS = Bus()
os.environ["UMOCKDEV_DIR"] = BUS.root
os.environ.pop("SORVEL_VIRTUAL_KIT", None)


@pytest.fixture
def plug():
    """plug(**scenario_keys) plugs a receiver in; every one is pulled out after the test."""
    plugged = []

    def plug_one(**scenario):
        receiver = BUS.plug(**scenario)
        plugged.append(receiver)
        return receiver

    yield plug_one
    for receiver in plugged:
        receiver.unplug()


def eventually(condition, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True
