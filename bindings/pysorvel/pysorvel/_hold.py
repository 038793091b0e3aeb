"""Body.hold: the frames of a still hold, collected from a frame stream for a while."""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from . import Frame, FrameStream, Sorvel

# Frames are taken from the stream, and the receiver's lost trackers looked at, this often: the
# stream's ring never fills, and a lost tracker ends the hold at once.
_STEP_SECONDS = 0.05


def _refuse_lost(kit: Sorvel) -> None:
    lost = kit.lost_trackers()
    if lost:
        raise ValueError(f"{', '.join(lost)} {'was' if len(lost) == 1 else 'were'} lost during "
                         "the hold")


async def collect(kit: Sorvel, stream: FrameStream, seconds: float) -> list[Frame]:
    """Every frame of `stream` for `seconds` from the first await, then the stream closed."""
    frames: list[Frame] = []
    with stream:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while (remaining := deadline - loop.time()) > 0:
            _refuse_lost(kit)
            await asyncio.sleep(min(remaining, _STEP_SECONDS))
            frames += stream.drain()
        _refuse_lost(kit)
    sent = {frame.body_part for frame in frames}
    silent = [part for part in kit._paired_body_parts() if part not in sent]
    if silent:
        raise ValueError(f"{', '.join(silent)} sent nothing during the hold")
    return frames
