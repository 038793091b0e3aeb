"""The body's skeleton as the pose solver holds it: each segment's parent, an order that walks it
from the hips outwards, and where its joint and far end sit in the rest pose (the T-pose), in
metres in the body frame (Y up, facing +Z, +X to the person's left). The file formats that write
a hierarchy take it from here, in step with the solver's."""

from collections.abc import Mapping

Vec3 = tuple[float, float, float]

PARENTS: dict[str, str | None] = {
    "Hips": None,
    "Chest": "Hips", "LeftUpperLeg": "Hips", "RightUpperLeg": "Hips",
    "Head": "Chest", "LeftUpperArm": "Chest", "RightUpperArm": "Chest",
    "LeftLowerArm": "LeftUpperArm", "RightLowerArm": "RightUpperArm",
    "LeftHand": "LeftLowerArm", "RightHand": "RightLowerArm",
    "LeftLowerLeg": "LeftUpperLeg", "RightLowerLeg": "RightUpperLeg",
    "LeftFoot": "LeftLowerLeg", "RightFoot": "RightLowerLeg",
}

PARENTS_FIRST: tuple[str, ...] = (
    "Hips", "Chest", "Head",
    "LeftUpperArm", "LeftLowerArm", "LeftHand",
    "RightUpperArm", "RightLowerArm", "RightHand",
    "LeftUpperLeg", "LeftLowerLeg", "LeftFoot",
    "RightUpperLeg", "RightLowerLeg", "RightFoot",
)


def children(part: str) -> list[str]:
    return [child for child in PARENTS_FIRST if PARENTS[child] == part]


def _side(part: str) -> float:
    """+1 for the left side (+X), -1 for the right."""
    return 1.0 if part.startswith("Left") else -1.0


def rest_offset(lengths: Mapping[str, float], part: str) -> Vec3:
    """Where `part`'s joint sits relative to its parent's joint; nothing for the hips."""
    side = _side(part)
    if part == "Hips":
        return (0.0, 0.0, 0.0)
    if part == "Chest":
        return (0.0, lengths["pelvis"], 0.0)
    if part == "Head":
        return (0.0, lengths["spine"], 0.0)
    if part.endswith("UpperArm"):
        return (side * lengths["shoulder_width"] / 2.0, lengths["spine"], 0.0)
    if part.endswith("LowerArm"):
        return (side * lengths["upper_arm"], 0.0, 0.0)
    if part.endswith("Hand"):
        return (side * lengths["lower_arm"], 0.0, 0.0)
    if part.endswith("UpperLeg"):
        return (side * lengths["hip_width"] / 2.0, 0.0, 0.0)
    if part.endswith("LowerLeg"):
        return (0.0, -lengths["upper_leg"], 0.0)
    if part.endswith("Foot"):
        return (0.0, -lengths["lower_leg"], 0.0)
    raise KeyError(part)


def rest_extent(lengths: Mapping[str, float], part: str) -> Vec3:
    """From `part`'s joint to its far end: the next joint, or the tip of a head, hand or foot."""
    side = _side(part)
    if part == "Hips":
        return (0.0, lengths["pelvis"], 0.0)
    if part == "Chest":
        return (0.0, lengths["spine"], 0.0)
    if part == "Head":
        return (0.0, lengths["head"], 0.0)
    if part.endswith("UpperArm"):
        return (side * lengths["upper_arm"], 0.0, 0.0)
    if part.endswith("LowerArm"):
        return (side * lengths["lower_arm"], 0.0, 0.0)
    if part.endswith("Hand"):
        return (side * lengths["hand"], 0.0, 0.0)
    if part.endswith("UpperLeg"):
        return (0.0, -lengths["upper_leg"], 0.0)
    if part.endswith("LowerLeg"):
        return (0.0, -lengths["lower_leg"], 0.0)
    if part.endswith("Foot"):
        return (0.0, 0.0, lengths["foot"])
    raise KeyError(part)
