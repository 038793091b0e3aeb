"""PoseSender: the newest pose of a kit over OSC, a fixed number of times a second, to a VMC
receiver or to VRChat's OSC trackers."""

from __future__ import annotations

import asyncio
import socket
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._osc_packets import vmc_bundle, vrchat_messages

if TYPE_CHECKING:
    from . import Body, Frames, Pose

VMC_PORT = 39539
VRCHAT_PORT = 9000
LOOPBACK = "127.0.0.1"
DEFAULT_RATE_HZ = 60.0


def resolve(host: str, port: int) -> tuple[int, Any]:
    """The address family and socket address of a UDP destination; OSError (socket.gaierror)
    when the host does not resolve."""
    try:
        family, _, _, _, address = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
    except UnicodeError as error:  # a name IDNA cannot encode (a label over 63 characters)
        raise socket.gaierror(socket.EAI_NONAME, f"not a host name ({error})") from None
    return family, address


class PoseSender:
    """Solves `body` on what `poll()` returns (a kit's poll, typically) `rate_hz` times a second
    and sends each pose to `destination` (host, port): one VMC bundle, or with `vrchat` one
    message per tracker position and rotation. `sent` counts the poses sent; `on_pose`, if
    given, sees each pose as it goes out."""

    def __init__(self, body: Body, poll: Callable[[], Frames],
                 destination: tuple[str, int] = (LOOPBACK, VMC_PORT), *,
                 rate_hz: float = DEFAULT_RATE_HZ, vrchat: bool = False,
                 on_pose: Callable[[Pose], None] | None = None) -> None:
        if not rate_hz > 0:
            raise ValueError(f"expected a rate above 0 Hz, got {rate_hz}")
        self.body = body
        self.poll = poll
        self.destination = destination
        self.rate_hz = rate_hz
        self.vrchat = vrchat
        self.on_pose = on_pose
        self.sent = 0
        family, self._address = resolve(*destination)
        self._socket = socket.socket(family, socket.SOCK_DGRAM)

    def send(self, pose: Pose, seconds: float) -> None:
        """Sends one pose now; `seconds` since the start goes into a VMC bundle."""
        packed = pose.as_dict()
        packets = vrchat_messages(packed) if self.vrchat else [vmc_bundle(packed, seconds)]
        for packet in packets:
            try:
                self._socket.sendto(packet, self._address)
            except ConnectionRefusedError:  # nobody listens yet (some systems say so)
                pass
        self.sent += 1

    async def run(self) -> None:
        """Sends until cancelled. A tick that comes late is not made up for: the next pose goes
        out at the next tick still ahead."""
        loop = asyncio.get_running_loop()
        period = 1.0 / self.rate_hz
        started = loop.time()
        tick = 0
        while True:
            now = loop.time()
            pose = self.body.solve(self.poll())
            self.send(pose, now - started)
            if self.on_pose is not None:
                self.on_pose(pose)
            tick = max(tick + 1, int((loop.time() - started) / period) + 1)
            await asyncio.sleep(started + tick * period - loop.time())

    def close(self) -> None:
        self._socket.close()

    def __enter__(self) -> PoseSender:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
