"""The repaired Linux wheel, installed into a fresh virtual environment, streams the virtual kit
and runs on the libusb it carries rather than the machine's."""

import json
import math
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
WHEELS = ROOT / "build" / "wheel"
sys.path.insert(0, str(ROOT / "tests" / "python"))
from view_process import running_view  # noqa: E402

# Runs in the fresh environment: pairs four trackers, streams, and reports what it saw.
STREAM = textwrap.dedent("""
    import asyncio, json, sys, time
    import pysorvel

    async def main():
        kit = pysorvel.Sorvel()
        await kit.connect("HE,CH,LH,RH")
        await kit.start()
        fresh = {}
        deadline = time.monotonic() + 20
        while len(fresh) < 4 and time.monotonic() < deadline:
            polled = kit.poll()
            for report, is_fresh in polled:
                if is_fresh:
                    fresh[report.location] = [report.rot, report.acc, report.accuracy]
            await asyncio.sleep(0.01)
        with open("/proc/self/maps") as maps:
            linked = {line.split()[-1] for line in maps if "/libusb" in line or "/libfmt" in line}
        print(json.dumps({"extension": sys.modules["pysorvel._pysorvel"].__file__,
                          "status": kit.status(),
                          "polled": len(polled), "fresh": fresh, "linked": sorted(linked)}))

    asyncio.run(main())
""")


@pytest.fixture(scope="module")
def wheel():
    wheels = sorted(WHEELS.glob("*.whl"))
    linux = [w for w in wheels if "linux" in w.name]
    assert [w.name for w in linux if "manylinux_" not in w.name] == [], "unrepaired wheel left"
    assert len(linux) == 1, f"expected one Linux wheel in {WHEELS}: {wheels}"
    return linux[0]


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """The Python of a new virtual environment that holds only the wheel."""
    root = tmp_path_factory.mktemp("venv")
    subprocess.run([sys.executable, "-m", "venv", root], check=True)
    python = root / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                   check=True)
    return python


def test_the_wheel_is_abi3_and_manylinux(wheel):
    name, _version, python_tag, abi_tag, platform = wheel.stem.split("-")
    assert (name, python_tag, abi_tag) == ("pysorvel", "cp311", "abi3")
    assert platform.startswith("manylinux_2_") and platform.endswith("_x86_64"), platform


def test_the_installed_wheel_streams_the_virtual_kit_on_its_own_libusb(installed, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SORVEL_", "PYTHON"))}
    env["SORVEL_VIRTUAL_KIT"] = "1"
    # Away from the source tree, so only the installed module can be imported.
    child = subprocess.run([installed, "-c", STREAM], cwd=tmp_path, env=env,
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    seen = json.loads(child.stdout)

    site = pathlib.Path(seen["extension"]).parent.parent
    assert site.is_relative_to(installed.parent.parent), seen["extension"]
    assert seen["status"] == "reporting data"
    assert seen["polled"] == 4
    assert sorted(seen["fresh"]) == ["Chest", "Head", "LeftHand", "RightHand"]
    for location, (rot, acc, accuracy) in seen["fresh"].items():
        assert math.isclose(math.hypot(*rot), 1.0, abs_tol=1e-3), (location, rot)
        assert math.isclose(math.hypot(*acc), 9.81, abs_tol=0.5), (location, acc)
        assert 0 <= accuracy <= 3, (location, accuracy)

    # Loaded from the wheel's own copies, not the machine's.
    linked = [pathlib.Path(path) for path in seen["linked"]]
    names = sorted(path.name.split("-")[0].split(".")[0] for path in linked)
    assert names == ["libfmt", "libusb"], linked
    assert {path.parent for path in linked} == {site / "pysorvel.libs"}, linked


@pytest.mark.parametrize("args, status, text", [
    ([], 2, "usage: python -m pysorvel"),
    (["record", "--help"], 0, "usage: python -m pysorvel record"),
])
def test_the_installed_wheel_carries_the_command_line_tools(installed, tmp_path, args, status,
                                                           text):
    child = subprocess.run([installed, "-m", "pysorvel", *args], cwd=tmp_path,
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == status, child.stderr
    assert text in child.stdout + child.stderr


def test_the_installed_wheel_serves_the_view_with_every_file_it_loads(installed, tmp_path):
    with running_view({}, "--group", "HE", python=installed, cwd=tmp_path) as view:
        for path in ("/", "/view.js", "/view.css", "/three.min.js", "/OrbitControls.js",
                     "/THREE-LICENSE.txt"):
            assert view.request("GET", path).status == 200, path
