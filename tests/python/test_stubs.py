"""The installed stub package types the module for mypy."""

import pathlib

import pytest

import pysorvel

USE = '''
import asyncio
import pysorvel
from pysorvel.lsl import FrameOutlets, Publisher
from pysorvel.vmc import VMC_PORT, PoseSender

async def main() -> None:
    sorvel = pysorvel.Sorvel()
    pending: asyncio.Future[None] = sorvel.connect("LLA")
    await pending
    await sorvel.start()
    for report, fresh in sorvel.poll():
        w, x, y, z = report.rot
        ax, ay, az = report.acc
        location: str = report.location
        accuracy: int = report.accuracy
        flag: bool = fresh
    with sorvel.frames(buffer=16) as stream:
        async for frame in stream:
            part: str = frame.body_part
            when: int = frame.time_ns
            qw, qx, qy, qz = frame.rot
            fx, fy, fz = frame.acc
            level: int = frame.accuracy
        for drained in stream.drain():
            then: int = drained.time_ns
        lost: int = stream.dropped
    gone: list[str] = sorvel.lost_trackers()
    body = pysorvel.Body(1.75, lengths={"upper_arm": 0.3}, up="Z")
    body.calibrate(await body.hold(sorvel, seconds=1.0), pose="I")
    body.calibrate_mounting(sorvel.poll())
    body.reset_heading(stream.drain())
    pose = body.solve(sorvel.poll())
    rw, rx, ry, rz = pose.rotation("LeftUpperArm")
    px, py, pz = pose.position("LeftHand")
    drawn: dict[str, dict[str, tuple[float, ...]]] = pose.as_dict()
    body.save("body.json")
    again: pysorvel.Body = pysorvel.Body.load("body.json")
    tall: float | None = again.height
    pysorvel.enable_log("info")
    publisher = Publisher(sorvel, "LLA", name="lab", interval_s=0.0)
    outlets: FrameOutlets = await publisher.connect()
    published: int = outlets.frames + publisher.dropped
    with PoseSender(body, sorvel.poll, ("127.0.0.1", VMC_PORT), rate_hz=30.0) as sender:
        sender.send(pose, 0.0)
        await sender.run()
    poses: int = sender.sent

wrong: int = pysorvel.Sorvel().status()
pysorvel.Sorvel().connect(1)
'''


def test_stub_package_is_installed_beside_the_package():
    stub = pathlib.Path(pysorvel.__file__).parent.parent / "pysorvel-stubs" / "__init__.pyi"
    assert stub.is_file()


def test_mypy_reads_the_stubs(tmp_path):
    api = pytest.importorskip("mypy.api")
    source = tmp_path / "use.py"
    source.write_text(USE)
    stdout, _, status = api.run(["--strict", "--no-incremental", str(source)])
    errors = [line for line in stdout.splitlines() if ": error:" in line]
    assert status == 1
    # Exactly the two deliberate mistakes; anything untyped would add more.
    assert len(errors) == 2, stdout
    assert 'has type "str", variable has type "int"' in errors[0]
    assert '"connect" of "Sorvel" has incompatible type "int"' in errors[1]
