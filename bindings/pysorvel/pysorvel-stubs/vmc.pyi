from collections.abc import Callable
from typing import Any

from . import Body, Frames, Pose

VMC_PORT: int
VRCHAT_PORT: int

class PoseSender:
    body: Body
    poll: Callable[[], Frames]
    destination: tuple[str, int]
    rate_hz: float
    vrchat: bool
    on_pose: Callable[[Pose], None] | None
    sent: int
    def __init__(self, body: Body, poll: Callable[[], Frames],
                 destination: tuple[str, int] = ("127.0.0.1", 39539), *,
                 rate_hz: float = 60.0, vrchat: bool = False,
                 on_pose: Callable[[Pose], None] | None = None) -> None: ...
    def send(self, pose: Pose, seconds: float) -> None: ...
    async def run(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> PoseSender: ...
    def __exit__(self, *exc: Any) -> None: ...
