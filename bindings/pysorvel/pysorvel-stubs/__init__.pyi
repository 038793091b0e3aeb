import asyncio
from types import TracebackType
from typing import final

@final
class Report:
    @property
    def acc(self) -> tuple[float, float, float]: ...
    @property
    def rot(self) -> tuple[float, float, float, float]: ...
    @property
    def accuracy(self) -> int: ...
    @property
    def location(self) -> str: ...

@final
class Frame:
    @property
    def body_part(self) -> str: ...
    @property
    def time_ns(self) -> int: ...
    @property
    def rot(self) -> tuple[float, float, float, float]: ...
    @property
    def acc(self) -> tuple[float, float, float]: ...
    @property
    def accuracy(self) -> int: ...

@final
class FrameStream:
    def drain(self) -> list[Frame]:
        """The frames that arrived since the last drain or iteration, oldest first; never waits."""
    @property
    def dropped(self) -> int:
        """Frames dropped so far because this consumer fell behind (the oldest go first); the
        count never goes down, close() included."""
    def close(self) -> None:
        """Ends this consumer: its buffered frames are let go and an `async for` over it ends."""
    def __enter__(self) -> FrameStream: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def __aiter__(self) -> FrameStream: ...
    async def __anext__(self) -> Frame:
        """The next frame. One may wait at a time: another raises RuntimeError meanwhile."""

@final
class Sorvel:
    def __init__(self) -> None: ...
    def status(self) -> str: ...
    def connect(self, group: str) -> asyncio.Future[None]:
        """This function will automatically connected to a recognized receiver."""
    def start(self) -> asyncio.Future[None]:
        """Start data collecting, you can only invoke this function when connected."""
    def poll(self) -> list[tuple[Report, bool]]:
        """Poll one frame from the sensor report buffer, you can only call this function after
        data collection is started"""
    def frames(self, buffer: int = 4096) -> FrameStream:
        """Every frame received from now on, in arrival order, with room for `buffer` frames
        that have not been taken yet; the oldest are dropped first. `buffer` is at most
        1048576 (2**20)."""
    def lost_trackers(self) -> list[str]:
        """The paired trackers the receiver reported lost and has not reported back since, by
        body part."""

def enable_log(level: str) -> None:
    """Enable logging for underlying driver. Available levels are "info", "debug" and "error"."""
