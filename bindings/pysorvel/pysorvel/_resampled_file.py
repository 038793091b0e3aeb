"""A text file of frames at a fixed rate (BVH, OpenSim's orientations), written as a recording is:
rows gather in memory and reach the file whole at each flush, so that the file stays complete
however the program stops. It offers the recorder what its CSV recording does."""

import contextlib
import io
from collections.abc import Collection, Iterable
from typing import Any, BinaryIO

from ._resample import Resampler

# Rows wait in memory until the next flush or until they fill this much.
FLUSH_BYTES = 1 << 16


class ResampledFile:
    """The header, then one row per instant. Subclasses give the row and may update the header
    once rows are in the file (after_flush). After a failed write the file keeps the rows written
    whole before it, and every later write or flush raises the same error."""

    def __init__(self, file: BinaryIO, parts: Collection[str], rate: float, header: str) -> None:
        self._file = file
        self._resampler = Resampler(parts, rate)
        self._pending = io.StringIO()
        self._size = 0  # of what is whole in the file
        self.rows = 0  # whole in the file
        self._pending_rows = 0
        self.frames = 0  # taken in, every tracker's
        self.per_part: dict[str, int] = {}
        self.error: OSError | None = None
        self._pending.write(header)
        self.flush()

    @property
    def kept(self) -> int:
        """Rows the file holds whole."""
        return self.rows

    def row(self, seconds: float, latest: dict[str, Any]) -> str:
        raise NotImplementedError

    def after_flush(self) -> None:
        """Called with the file's rows all whole; the header may be brought up to date."""

    def _take(self, settled: list[tuple[float, dict[str, Any]]]) -> None:
        for seconds, latest in settled:
            self._pending.write(self.row(seconds, latest))
        self._pending_rows += len(settled)

    def write(self, frames: Iterable[Any]) -> None:
        if self.error is not None:
            raise self.error
        frames = list(frames)
        per_part = self.per_part
        for frame in frames:
            per_part[frame.body_part] = per_part.get(frame.body_part, 0) + 1
        self.frames += len(frames)
        self._take(self._resampler.add(frames))
        if self._pending.tell() >= FLUSH_BYTES:
            self.flush()

    def finish(self) -> None:
        """The instants up to the last frame, then everything flushed."""
        if self.error is None:
            self._take(self._resampler.finish())
        self.flush()

    def flush(self) -> None:
        if self.error is not None:
            raise self.error
        data = self._pending.getvalue().encode()
        rows = self._pending_rows
        self._pending.seek(0)
        self._pending.truncate()
        self._pending_rows = 0
        try:
            self._file.seek(self._size)
            written = 0
            while written < len(data):  # an unbuffered file may take part of it
                written += self._file.write(data[written:]) or 0
            self._file.flush()
            self._size += len(data)
            self.rows += rows
            self.after_flush()
        except OSError as error:
            self.error = error
            with contextlib.suppress(OSError):  # back to the rows that were whole
                self._file.truncate(self._size)
                self.after_flush()
            raise
