"""A solved Pose in Unity's frame: the bones an avatar's humanoid rig names, and the trackers of
VRChat's OSC input. Plain arithmetic on tuples, nothing sent from here.

Our body frame is right-handed (Y up, the person facing +Z, +X to their left); Unity's is
left-handed (Y up, Z forward, X to the right). Forward and up agree, left flips: a vector
(x, y, z) becomes (-x, y, z). A rotation R becomes M R M with M = diag(-1, 1, 1); conjugating by
a reflection turns the rotation about axis a into the rotation by the same angle about -M a, so
the quaternion (w, x, y, z) becomes (w, x, -y, -z). Unity turns vectors by its quaternions with
the same formula as ours, so these numbers go out as they are (in Unity's x, y, z, w order)."""

import math
from collections.abc import Mapping, Sequence

Quaternion = tuple[float, float, float, float]  # (w, x, y, z)
Vector = tuple[float, float, float]
# What Pose.as_dict() gives for every body part: rotation, local_rotation, position, end.
PoseDict = Mapping[str, Mapping[str, Sequence[float]]]

# Unity's humanoid bone, and the body part whose local rotation it takes, parents first.
# Our skeleton has no separate spine segment: Spine is sent as the identity halfway between the
# hips and the chest, so that Chest, relative to it, keeps its own rotation relative to the hips.
# Neck and shoulders are not sent: a receiver leaves them at rest.
SPINE = "Spine"
VMC_BONES: tuple[tuple[str, str], ...] = (
    ("Hips", "Hips"), (SPINE, "Hips"), ("Chest", "Chest"), ("Head", "Head"),
    ("LeftUpperArm", "LeftUpperArm"), ("LeftLowerArm", "LeftLowerArm"),
    ("LeftHand", "LeftHand"), ("RightUpperArm", "RightUpperArm"),
    ("RightLowerArm", "RightLowerArm"), ("RightHand", "RightHand"),
    ("LeftUpperLeg", "LeftUpperLeg"), ("LeftLowerLeg", "LeftLowerLeg"),
    ("LeftFoot", "LeftFoot"), ("RightUpperLeg", "RightUpperLeg"),
    ("RightLowerLeg", "RightLowerLeg"), ("RightFoot", "RightFoot"),
)
PARENT = {"Chest": "Hips", "Head": "Chest", "LeftUpperArm": "Chest", "RightUpperArm": "Chest",
          "LeftLowerArm": "LeftUpperArm", "RightLowerArm": "RightUpperArm",
          "LeftHand": "LeftLowerArm", "RightHand": "RightLowerArm",
          "LeftUpperLeg": "Hips", "RightUpperLeg": "Hips", "LeftLowerLeg": "LeftUpperLeg",
          "RightLowerLeg": "RightUpperLeg", "LeftFoot": "LeftLowerLeg",
          "RightFoot": "RightLowerLeg"}

# VRChat's trackers 1 to 8, in its order; a knee or an elbow is the lower segment at that joint.
VRCHAT_TRACKERS = ("Hips", "Chest", "LeftFoot", "RightFoot", "LeftLowerLeg", "RightLowerLeg",
                   "LeftLowerArm", "RightLowerArm")
VRCHAT_HEAD = "Head"

IDENTITY: Quaternion = (1.0, 0.0, 0.0, 0.0)


def unity_vector(v: Sequence[float]) -> Vector:
    return (-v[0], v[1], v[2])


def unity_rotation(q: Sequence[float]) -> Quaternion:
    """The same rotation in Unity's frame, still (w, x, y, z). Its own inverse."""
    return (q[0], q[1], -q[2], -q[3])


def rotate_back(q: Sequence[float], v: Sequence[float]) -> Vector:
    """v turned by the inverse of the unit quaternion q: into the frame q rotates from."""
    w, x, y, z = -q[0], q[1], q[2], q[3]  # conj(q) = (w, -x, -y, -z) ~ (-w, x, y, z)
    # v + 2w (u x v) + 2 u x (u x v), u the vector part.
    cx, cy, cz = y * v[2] - z * v[1], z * v[0] - x * v[2], x * v[1] - y * v[0]
    return (v[0] + 2 * (w * cx + y * cz - z * cy),
            v[1] + 2 * (w * cy + z * cx - x * cz),
            v[2] + 2 * (w * cz + x * cy - y * cx))


def unity_euler_degrees(q: Sequence[float]) -> Vector:
    """Unity's Euler angles (x, y, z) in degrees of the unit quaternion q (w, x, y, z, already in
    Unity's frame): the angles Quaternion.Euler turns back into it, R = Ry Rx Rz."""
    w, x, y, z = q
    # R = Ry(b) Rx(a) Rz(c) has R12 = -sin a, (R02, R22) = cos a (sin b, cos b) and
    # (R10, R11) = cos a (sin c, cos c). The angle a from atan2 keeps its precision near +-90.
    r10, r11 = 2 * (x * y + w * z), 1 - 2 * (x * x + z * z)
    cos_a = math.hypot(r10, r11)
    a = math.atan2(-2 * (y * z - w * x), cos_a)
    if cos_a > 1e-9:
        b = math.atan2(2 * (x * z + w * y), 1 - 2 * (x * x + y * y))
        c = math.atan2(r10, r11)
    else:  # straight up or down: only b + c or b - c is known; c = 0
        b = math.atan2(-2 * (x * z - w * y), 1 - 2 * (y * y + z * z))
        c = 0.0
    return (math.degrees(a), math.degrees(b), math.degrees(c))


def vmc_bones(pose: PoseDict) -> list[tuple[str, Vector, Quaternion]]:
    """Every bone: its name, its joint's offset from its parent's joint in the parent's frame
    (the hips: their place in the body frame), and its rotation relative to the parent, in
    Unity's frame."""
    hips = pose["Hips"]
    # Half of the hips-to-chest offset goes to the spine, half to the chest.
    half_pelvis = tuple(0.5 * v for v in rotate_back(
        hips["rotation"], [c - h for c, h in zip(pose["Chest"]["position"], hips["position"])]))
    bones = []
    for bone, part in VMC_BONES:
        segment = pose[part]
        if bone == "Hips":
            offset: Sequence[float] = segment["position"]
        elif bone in (SPINE, "Chest"):
            offset = half_pelvis
        else:
            parent = pose[PARENT[part]]
            offset = rotate_back(parent["rotation"], [s - p for s, p in zip(
                segment["position"], parent["position"])])
        rotation = IDENTITY if bone == SPINE else unity_rotation(segment["local_rotation"])
        bones.append((bone, unity_vector(offset), rotation))
    return bones


def vrchat_trackers(pose: PoseDict) -> list[tuple[str, Vector, Vector]]:
    """Every tracker: its name in VRChat's addresses ("1" to "8", "head"), its position (metres)
    and its Euler angles (degrees), in Unity's frame."""
    named = [(str(n), part) for n, part in enumerate(VRCHAT_TRACKERS, 1)]
    return [(name, unity_vector(pose[part]["position"]),
             unity_euler_degrees(unity_rotation(pose[part]["rotation"])))
            for name, part in [*named, ("head", VRCHAT_HEAD)]]
