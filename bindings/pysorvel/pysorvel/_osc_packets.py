"""OSC packets of a pose, as python-osc encodes them, at a price a 60 Hz loop can pay.

python-osc's builders parse every message and bundle back after building it: about 0.5 ms for
one VMC bundle, several percent of a core at 60 Hz. The parts that never change (a message's
address, type tags and leading string, its size in the bundle, the bundle's head) are built by
python-osc once; each pose only packs its float32 arguments into them."""

import struct
from collections.abc import Sequence

from pythonosc.osc_bundle_builder import IMMEDIATELY
from pythonosc.osc_message_builder import OscMessageBuilder
from pythonosc.parsing import osc_types

from ._unity_pose import VMC_BONES, VRCHAT_TRACKERS, PoseDict, vmc_bones, vrchat_trackers

BUNDLE_HEAD = b"#bundle\x00" + osc_types.write_date(IMMEDIATELY)


class MessageShape:
    """One kind of message: a fixed address and leading arguments, then `floats` float32 ones,
    as a bundle element (its size, then the message)."""

    def __init__(self, address: str, leading: Sequence[str | int], floats: int) -> None:
        builder = OscMessageBuilder(address)
        for value in leading:
            builder.add_arg(value, "s" if isinstance(value, str) else "i")
        for _ in range(floats):
            builder.add_arg(0.0, "f")
        message = builder.build().dgram
        self._head = message[:len(message) - 4 * floats]
        self._element_head = osc_types.write_int(len(message)) + self._head
        self._floats = struct.Struct(f">{floats}f")

    def message(self, *values: float) -> bytes:
        return self._head + self._floats.pack(*values)

    def element(self, *values: float) -> bytes:
        return self._element_head + self._floats.pack(*values)


def bundle(elements: Sequence[bytes]) -> bytes:
    return BUNDLE_HEAD + b"".join(elements)


ROOT = MessageShape("/VMC/Ext/Root/Pos", ["root"], 7)
BONES = {bone: MessageShape("/VMC/Ext/Bone/Pos", [bone], 7) for bone, _ in VMC_BONES}
OK = MessageShape("/VMC/Ext/OK", [1], 0).element()
TIME = MessageShape("/VMC/Ext/T", [], 1)
# The root at the origin, unturned: the hips carry the body's place.
ROOT_AT_ORIGIN = ROOT.element(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0)

TRACKERS = {name: (MessageShape(f"/tracking/trackers/{name}/position", [], 3),
                   MessageShape(f"/tracking/trackers/{name}/rotation", [], 3))
            for name in [*map(str, range(1, len(VRCHAT_TRACKERS) + 1)), "head"]}


def vmc_bundle(pose: PoseDict, seconds: float) -> bytes:
    """The root, every bone (position x y z, rotation x y z w), OK and the time since start."""
    elements = [ROOT_AT_ORIGIN]
    for bone, (x, y, z), (qw, qx, qy, qz) in vmc_bones(pose):
        elements.append(BONES[bone].element(x, y, z, qx, qy, qz, qw))
    elements += (OK, TIME.element(seconds))
    return bundle(elements)


def vrchat_messages(pose: PoseDict) -> list[bytes]:
    """Every tracker's position and rotation, each a message of its own: VRChat's documentation
    of these addresses speaks of messages only."""
    messages: list[bytes] = []
    for name, position, euler in vrchat_trackers(pose):
        position_shape, rotation_shape = TRACKERS[name]
        messages += (position_shape.message(*position), rotation_shape.message(*euler))
    return messages
