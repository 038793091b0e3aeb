"""Body.hold: the frames of a still hold, collected from a frame stream for a while."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from . import Frame, FrameStream, Sorvel

# Frames are taken from the stream, and the receiver's lost trackers looked at, this often: the
# stream's ring never fills, and a lost tracker ends the hold at once.
_STEP_SECONDS = 0.05


class Hold(list["Frame"]):
    """The frames of a hold, oldest first, and the body parts paired during it (`paired`), so that
    calibrating can name a paired tracker that sent nothing."""

    __slots__ = ("paired",)

    def __init__(self) -> None:
        super().__init__()
        self.paired: tuple[str, ...] = ()


def _refuse_lost(kit: Sorvel) -> None:
    lost = kit.lost_trackers()
    if lost:
        raise ValueError(f"{', '.join(lost)} {'was' if len(lost) == 1 else 'were'} lost during "
                         "the hold")


async def collect(kit: Sorvel, stream: FrameStream, seconds: float) -> Hold:
    """Every frame of `stream` for `seconds` from the first await, then the stream closed."""
    frames = Hold()
    with stream:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while (remaining := deadline - loop.time()) > 0:
            _refuse_lost(kit)
            await asyncio.sleep(min(remaining, _STEP_SECONDS))
            frames += stream.drain()
        _refuse_lost(kit)
        # One poll lists every paired tracker, one entry each.
        frames.paired = tuple(report.location for report, _ in kit.poll())
    return frames
