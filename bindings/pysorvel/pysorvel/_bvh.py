"""BVH motion files: the body's skeleton with its lengths, then one line of joint angles per frame
at a fixed rate. A fixed text format takes a few dozen lines to write, fewer than wiring a
library to our skeleton would."""

import math
from collections.abc import Collection
from typing import Any, BinaryIO

from . import _skeleton
from ._resampled_file import ResampledFile

Quaternion = tuple[float, float, float, float]

# "Frames:" is written with room for this many digits and rewritten after each flush, so that the
# file always declares the frames it holds.
COUNT_WIDTH = 12
CENTIMETRES = 100.0
# Below this cos(X angle) the Z and Y axes line up: the whole turn about them goes into Z.
GIMBAL_LOCK = 1e-9


def zxy_degrees(q: Quaternion) -> tuple[float, float, float]:
    """The Z, X and Y angles, in degrees, of R = Rz * Rx * Ry = the rotation `q` (w, x, y, z)."""
    w, x, y, z = q
    norm = math.sqrt(w * w + x * x + y * y + z * z)
    w, x, y, z = w / norm, x / norm, y / norm, z / norm
    r00 = 1 - 2 * (y * y + z * z)
    r01 = 2 * (x * y - w * z)
    r10 = 2 * (x * y + w * z)
    r11 = 1 - 2 * (x * x + z * z)
    r20 = 2 * (x * z - w * y)
    r21 = 2 * (y * z + w * x)
    r22 = 1 - 2 * (x * x + y * y)
    # Row 2 of Rz Rx Ry is (-cos X sin Y, sin X, cos X cos Y); column 1 is
    # (-sin Z cos X, cos Z cos X, sin X).
    cos_x = math.hypot(r20, r22)
    x_angle = math.atan2(r21, cos_x)
    if cos_x > GIMBAL_LOCK:
        z_angle = math.atan2(-r01, r11)
        y_angle = math.atan2(-r20, r22)
    else:  # X at +-90 degrees: R00 and R10 are cos and sin of Z +- Y
        z_angle = math.atan2(r10, r00)
        y_angle = 0.0
    return math.degrees(z_angle), math.degrees(x_angle), math.degrees(y_angle)


def _numbers(values: Collection[float]) -> str:
    return " ".join(f"{value:.6f}" for value in values)


def hierarchy(lengths: dict[str, float], scale: float) -> str:
    """HIERARCHY: the skeleton in the T-pose, every segment a joint named after its body part, an
    End Site at the tip of each head, hand and foot."""
    lines = ["HIERARCHY"]

    def joint(part: str, depth: int) -> None:
        pad = "  " * depth
        offset = (value * scale for value in _skeleton.rest_offset(lengths, part))
        lines.append(f"{pad}{'ROOT' if depth == 0 else 'JOINT'} {part}")
        lines.append(pad + "{")
        lines.append(f"{pad}  OFFSET {_numbers(list(offset))}")
        if depth == 0:
            lines.append(f"{pad}  CHANNELS 6 Xposition Yposition Zposition "
                         "Zrotation Xrotation Yrotation")
        else:
            lines.append(f"{pad}  CHANNELS 3 Zrotation Xrotation Yrotation")
        below = _skeleton.children(part)
        for child in below:
            joint(child, depth + 1)
        if not below:
            tip = [value * scale for value in _skeleton.rest_extent(lengths, part)]
            lines.extend([f"{pad}  End Site", pad + "  {", f"{pad}    OFFSET {_numbers(tip)}",
                          pad + "  }"])
        lines.append(pad + "}")

    joint("Hips", 0)
    return "\n".join(lines) + "\n"


def frame_line(pose: Any, scale: float) -> str:
    """One MOTION line: the hips' place and turn, then every other joint's turn from its parent,
    in the hierarchy's order."""
    values = [value * scale for value in pose.position("Hips")]
    values += zxy_degrees(pose.rotation("Hips"))
    for part in _skeleton.PARENTS_FIRST[1:]:
        values += zxy_degrees(pose.local_rotation(part))
    return _numbers(values) + "\n"


class BvhFile(ResampledFile):
    """A BVH file of the poses `body` solves, at `rate` frames a second."""

    def __init__(self, file: BinaryIO, body: Any, parts: Collection[str], rate: float,
                 metres: bool = False) -> None:
        self._body = body
        self._scale = 1.0 if metres else CENTIMETRES
        head = hierarchy(body.lengths, self._scale) + "MOTION\nFrames: "
        self._count_at = len(head.encode())
        header = f"{head}{'0':<{COUNT_WIDTH}}\nFrame Time: {1.0 / rate:.9f}\n"
        super().__init__(file, parts, rate, header)

    def row(self, seconds: float, latest: dict[str, Any]) -> str:
        return frame_line(self._body.solve(list(latest.values())), self._scale)

    def after_flush(self) -> None:
        end = self._file.tell()
        self._file.seek(self._count_at)
        self._file.write(f"{self.rows:<{COUNT_WIDTH}}".encode())
        self._file.flush()
        self._file.seek(end)
