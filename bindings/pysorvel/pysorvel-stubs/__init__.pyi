import asyncio
import os
from collections.abc import Iterable
from types import TracebackType
from typing import TypeAlias, final

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
    def _paired_body_parts(self) -> list[str]: ...

def enable_log(level: str) -> None:
    """Enable logging for underlying driver. Available levels are "info", "debug" and "error"."""

def _ask_virtual_person(pose: str, seconds: float) -> bool:
    """Has every simulated person hold "I", "T" or "ski" for `seconds`; whether there is one."""

Frames: TypeAlias = Iterable[Frame] | Iterable[Report] | Iterable[tuple[Report, bool]]

@final
class Pose:
    def rotation(self, part: str, /) -> tuple[float, float, float, float]:
        """The segment's rotation in the body frame, (w, x, y, z)."""
    def local_rotation(self, part: str, /) -> tuple[float, float, float, float]:
        """The segment's rotation relative to its parent segment, (w, x, y, z)."""
    def position(self, part: str, /) -> tuple[float, float, float]:
        """Where the segment joins its parent, in metres, body frame."""
    def end(self, part: str, /) -> tuple[float, float, float]:
        """The segment's far end, in metres, body frame."""
    def as_dict(self) -> dict[str, dict[str, tuple[float, ...]]]:
        """Every segment by body part: rotation, local_rotation, position and end."""

@final
class Body:
    def __init__(
        self, height: float | None = None, *, lengths: dict[str, float] | None = None,
        up: str = "Z"
    ) -> None: ...
    async def hold(self, kit: Sorvel, seconds: float = 1.0) -> list[Frame]:
        """Every frame `kit` sends for `seconds`, the person holding still."""
    def calibrate(self, frames: Frames, pose: str = "I") -> None:
        """The first step, from a still hold in `pose`: "I" (arms down) or "T" (arms out)."""
    def calibrate_mounting(self, frames: Frames, /) -> None:
        """The optional second step, from a still hold in the ski pose."""
    def reset_heading(self, frames: Frames, /) -> None:
        """A quick fix of heading drift, the person standing as in the first step."""
    def solve(self, frames: Frames, /) -> Pose:
        """The Pose of the newest frame of every body part in `frames`."""
    def save(self, path: str | os.PathLike[str], /) -> None:
        """Writes the lengths and the calibration to `path` as JSON."""
    @classmethod
    def load(cls, path: str | os.PathLike[str], /) -> Body:
        """The Body save() wrote to `path`."""
    @property
    def height(self) -> float | None: ...
    @property
    def lengths(self) -> dict[str, float]: ...
    @property
    def up(self) -> str: ...
    @property
    def calibrated(self) -> bool: ...
