"""What Body.solve computes, written as a NumPy/SciPy user would: the benchmarks' peer of the pose
solver, and a second derivation the tests hold the solver to.

A tracker reports q = A * S * M (A: body frame into the tracker's world, M: tracker into its
segment), so the segment is S = A^-1 * q * M^-1. A segment without a calibrated, reporting tracker
follows its parent; the hips then stay upright. Joints hang from the hips by forward kinematics,
lifted so that the lower ankle stands its height above the floor. Quaternions are (w, x, y, z)
here as everywhere in pysorvel; scipy's own order is (x, y, z, w), hence scalar_first.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.spatial.transform import Rotation

# Body parts by wire index, as the module numbers them.
PARTS = ("LeftLowerArm", "RightLowerArm", "LeftLowerLeg", "RightLowerLeg", "Head", "Hips",
         "LeftUpperArm", "RightUpperArm", "LeftUpperLeg", "RightUpperLeg", "Chest", "LeftHand",
         "RightHand", "LeftFoot", "RightFoot")
INDEX = {name: i for i, name in enumerate(PARTS)}
COUNT = len(PARTS)
# Row COUNT of an extended array stands for "no parent": the identity, the origin.
NONE = COUNT

_PARENT_NAMES = {
    "Hips": None, "Chest": "Hips", "LeftUpperLeg": "Hips", "RightUpperLeg": "Hips",
    "Head": "Chest", "LeftUpperArm": "Chest", "RightUpperArm": "Chest",
    "LeftLowerArm": "LeftUpperArm", "RightLowerArm": "RightUpperArm",
    "LeftHand": "LeftLowerArm", "RightHand": "RightLowerArm",
    "LeftLowerLeg": "LeftUpperLeg", "RightLowerLeg": "RightUpperLeg",
    "LeftFoot": "LeftLowerLeg", "RightFoot": "RightLowerLeg",
}
PARENT = np.array([INDEX.get(_PARENT_NAMES[p] or "", NONE) for p in PARTS])


def _depth(part: str) -> int:
    parent = _PARENT_NAMES[part]
    return 0 if parent is None else 1 + _depth(parent)


DEEPEST = max(_depth(p) for p in PARTS)


def _ancestry() -> NDArray[np.float64]:
    """chain[i, j] = 1 where j is i or one of its ancestors: a joint is the sum of the offsets
    along its chain from the hips."""
    chain = np.zeros((COUNT, COUNT))
    for i in range(COUNT):
        j = i
        while j != NONE:
            chain[i, j] = 1.0
            j = int(PARENT[j])
    return chain


CHAIN = _ancestry()
LENGTH_NAMES = ("pelvis", "spine", "head", "shoulder_width", "upper_arm", "lower_arm", "hand",
                "hip_width", "upper_leg", "lower_leg", "ankle_height", "foot")


def rest_offsets(lengths: Mapping[str, float]) -> NDArray[np.float64]:
    """Each joint relative to its parent's in the T-pose, body frame (Y up, +X the left)."""
    L = lengths
    half_shoulders, half_hips = L["shoulder_width"] / 2, L["hip_width"] / 2
    by_part = {
        "Hips": (0, 0, 0), "Chest": (0, L["pelvis"], 0), "Head": (0, L["spine"], 0),
        "LeftUpperArm": (half_shoulders, L["spine"], 0),
        "RightUpperArm": (-half_shoulders, L["spine"], 0),
        "LeftLowerArm": (L["upper_arm"], 0, 0), "RightLowerArm": (-L["upper_arm"], 0, 0),
        "LeftHand": (L["lower_arm"], 0, 0), "RightHand": (-L["lower_arm"], 0, 0),
        "LeftUpperLeg": (half_hips, 0, 0), "RightUpperLeg": (-half_hips, 0, 0),
        "LeftLowerLeg": (0, -L["upper_leg"], 0), "RightLowerLeg": (0, -L["upper_leg"], 0),
        "LeftFoot": (0, -L["lower_leg"], 0), "RightFoot": (0, -L["lower_leg"], 0),
    }
    return np.array([by_part[p] for p in PARTS], dtype=float)


def rest_extents(lengths: Mapping[str, float]) -> NDArray[np.float64]:
    """Each segment from its joint to its far end in the T-pose."""
    L = lengths
    by_part = {
        "Hips": (0, L["pelvis"], 0), "Chest": (0, L["spine"], 0), "Head": (0, L["head"], 0),
        "LeftUpperArm": (L["upper_arm"], 0, 0), "RightUpperArm": (-L["upper_arm"], 0, 0),
        "LeftLowerArm": (L["lower_arm"], 0, 0), "RightLowerArm": (-L["lower_arm"], 0, 0),
        "LeftHand": (L["hand"], 0, 0), "RightHand": (-L["hand"], 0, 0),
        "LeftUpperLeg": (0, -L["upper_leg"], 0), "RightUpperLeg": (0, -L["upper_leg"], 0),
        "LeftLowerLeg": (0, -L["lower_leg"], 0), "RightLowerLeg": (0, -L["lower_leg"], 0),
        "LeftFoot": (0, 0, L["foot"]), "RightFoot": (0, 0, L["foot"]),
    }
    return np.array([by_part[p] for p in PARTS], dtype=float)


def orientations_of(items: Iterable[Any]) -> NDArray[np.float64]:
    """The newest orientation of every body part in a poll's (Report, fresh) pairs, Reports or
    Frames, one (w, x, y, z) row per wire index; NaN rows for parts that sent none."""
    latest = {}
    for item in items:
        record = item[0] if isinstance(item, tuple) else item
        part = record.location if hasattr(record, "location") else record.body_part
        latest[INDEX[part]] = record.rot
    out = np.full((COUNT, 4), np.nan)
    if latest:
        out[list(latest)] = list(latest.values())
    return out


@dataclass(frozen=True)
class PeerPose:
    """Arrays by wire index: rotations and local_rotations (w, x, y, z), positions and ends (m)."""
    rotations: NDArray[np.float64]
    local_rotations: NDArray[np.float64]
    positions: NDArray[np.float64]
    ends: NDArray[np.float64]

    def as_dict(self) -> dict[str, dict[str, tuple[float, ...]]]:
        """Shaped as Pose.as_dict()."""
        return {part: {"rotation": tuple(self.rotations[i].tolist()),
                       "local_rotation": tuple(self.local_rotations[i].tolist()),
                       "position": tuple(self.positions[i].tolist()),
                       "end": tuple(self.ends[i].tolist())}
                for i, part in enumerate(PARTS)}


class PeerBody:
    """A saved body's lengths and calibration, solving poses with scipy's rotations."""

    def __init__(self, lengths: Mapping[str, float],
                 trackers: Mapping[str, Mapping[str, list[float]]]) -> None:
        missing = [name for name in LENGTH_NAMES if name not in lengths]
        if missing:
            raise ValueError(f"the lengths lack {', '.join(missing)}")
        self.calibrated = np.array([p in trackers for p in PARTS])
        identity = [1.0, 0.0, 0.0, 0.0]
        corrections = [trackers[p]["correction"] if p in trackers else identity for p in PARTS]
        mountings = [trackers[p]["mounting"] if p in trackers else identity for p in PARTS]
        self._correction_inv = Rotation.from_quat(corrections, scalar_first=True).inv()
        self._mounting_inv = Rotation.from_quat(mountings, scalar_first=True).inv()
        self._offsets = rest_offsets(lengths)
        self._extents = rest_extents(lengths)
        self._ankle_height = float(lengths["ankle_height"])
        self._feet = [INDEX["LeftFoot"], INDEX["RightFoot"]]

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> PeerBody:
        """The body Body.save() wrote to `path`."""
        with open(path, encoding="utf-8") as f:
            saved = json.load(f)
        return cls(saved["lengths"], saved["calibration"]["trackers"])

    def solve(self, orientations: NDArray[np.float64]) -> PeerPose:
        """The pose of one (w, x, y, z) row per wire index, as orientations_of() gives."""
        q = np.asarray(orientations, dtype=float)
        norms = np.linalg.norm(q, axis=1)
        present = self.calibrated & np.isfinite(norms) & (norms > 1e-6)
        safe = np.where(present[:, None], q, [1.0, 0.0, 0.0, 0.0])
        segments = (self._correction_inv * Rotation.from_quat(safe, scalar_first=True)
                    * self._mounting_inv).as_quat(scalar_first=True)

        # Which row each segment takes: its own, else its parent's choice, else the identity.
        arange = np.arange(COUNT)
        source = np.where(present, arange, NONE)
        for _ in range(DEEPEST):
            source = np.where(present, arange, np.append(source, NONE)[PARENT])
        extended = np.vstack([segments, [1.0, 0.0, 0.0, 0.0]])
        rotations = extended[source]

        own = Rotation.from_quat(rotations, scalar_first=True)
        parents = Rotation.from_quat(np.vstack([rotations, [1.0, 0.0, 0.0, 0.0]])[PARENT],
                                     scalar_first=True)
        local = (parents.inv() * own).as_quat(scalar_first=True)

        joints = CHAIN @ parents.apply(self._offsets)
        joints[:, 1] += self._ankle_height - joints[self._feet, 1].min()
        ends = joints + own.apply(self._extents)
        return PeerPose(rotations, local, joints, ends)
