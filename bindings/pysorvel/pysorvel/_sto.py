"""OpenSim's orientation files (.sto) as its IMU tools read them: a short header, then a
tab-separated table of time and each tracker's raw orientation as a w,x,y,z cell, at a fixed
rate. A few lines of text formatting; no library needed."""

from collections.abc import Collection
from typing import Any, BinaryIO

from . import _skeleton
from ._resampled_file import ResampledFile

# The names OpenSim's models give the IMUs on each segment.
IMU_NAMES = {
    "Hips": "pelvis_imu", "Chest": "torso_imu", "Head": "head_imu",
    "RightUpperArm": "humerus_r_imu", "RightLowerArm": "radius_r_imu", "RightHand": "hand_r_imu",
    "RightUpperLeg": "femur_r_imu", "RightLowerLeg": "tibia_r_imu", "RightFoot": "calcn_r_imu",
    "LeftUpperArm": "humerus_l_imu", "LeftLowerArm": "radius_l_imu", "LeftHand": "hand_l_imu",
    "LeftUpperLeg": "femur_l_imu", "LeftLowerLeg": "tibia_l_imu", "LeftFoot": "calcn_l_imu",
}


def header(parts: Collection[str], rate: float) -> str:
    columns = "\t".join(["time", *(IMU_NAMES[part] for part in parts)])
    return (f"DataRate={rate:.6f}\nDataType=Quaternion\nversion=3\nOpenSimVersion=4.5\n"
            f"endheader\n{columns}\n")


class StoFile(ResampledFile):
    """The orientations of `parts`' trackers, as they report them, at `rate` rows a second."""

    def __init__(self, file: BinaryIO, parts: Collection[str], rate: float) -> None:
        self._columns = [part for part in _skeleton.PARENTS_FIRST if part in parts]
        super().__init__(file, parts, rate, header(self._columns, rate))

    def row(self, seconds: float, latest: dict[str, Any]) -> str:
        # Nine significant digits read back as the same 32-bit float the tracker sent.
        cells = (",".join(f"{value:.9g}" for value in latest[part].rot)
                 for part in self._columns)
        return "\t".join([f"{seconds:.6f}", *cells]) + "\n"
