"""A pure-Python driver core, for comparison: what a careful Python implementation of the same
report path and poll looks like (byte-wise framing, struct-free varint decoding, float32 results
exactly as the native module computes them, a 4-frame deque and a latest frame per tracker).

It takes transfers from the caller instead of a USB library, so that both sides of a benchmark
read the same bytes.
"""

import math
from array import array
from collections import deque

MARKER = b"SOR."
MAX_PAYLOAD = 5 + 5 + 4 * (10 + 10 + 12 * 3 + 1 + 5 + 3)
QUEUE_LENGTH = 4
BODY_PARTS = (
    "LeftLowerArm", "RightLowerArm", "LeftLowerLeg", "RightLowerLeg", "Head", "Hips",
    "LeftUpperArm", "RightUpperArm", "LeftUpperLeg", "RightUpperLeg", "Chest", "LeftHand",
    "RightHand", "LeftFoot", "RightFoot",
)
# Varint limits per integer width: at most this many bytes, the last one at most this value.
U16, U32, U64 = (3, 0x03), (5, 0x0F), (10, 0x01)


class DecodeError(Exception):
    pass


class Record:
    """One frame as the poll hands it out."""

    __slots__ = ("acc", "rot", "accuracy", "location")

    def __init__(self, acc, rot, accuracy, location):
        self.acc = acc
        self.rot = rot
        self.accuracy = accuracy
        self.location = location

    def __repr__(self):
        return (f"Record(acc={self.acc}, rot={self.rot}, accuracy={self.accuracy}, "
                f"location={self.location!r})")


DEFAULT_RECORD = Record((0.0, 0.0, 0.0), (1.0, 0.0, 0.0, 0.0), 0, BODY_PARTS[0])


def _f32(values):
    """Rounds doubles to float32. One double operation rounded once to float32 gives the float32
    operation's result exactly (53 >= 2 * 24 + 2), so this reproduces float arithmetic."""
    return array("f", values)


def _varint(payload, at, limit):
    try:
        byte = payload[at]
    except IndexError:
        raise DecodeError("unexpected end of payload") from None
    if byte < 0x80:  # most values fit one byte
        return byte, at + 1
    max_bytes, final_max = limit
    value = shift = 0
    for count in range(max_bytes):
        if at >= len(payload):
            raise DecodeError("unexpected end of payload")
        byte = payload[at]
        at += 1
        if count == max_bytes - 1 and byte > final_max:
            raise DecodeError("varint out of range")
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value, at
        shift += 7
    raise DecodeError("varint out of range")


def _i16(payload, at):
    u, at = _varint(payload, at, U16)
    return (u >> 1) ^ -(u & 1), at


def _quaternion(payload, at):
    raw = []
    for _ in range(4):
        v, at = _i16(payload, at)
        raw.append(v / 16384)
    return raw, at


def _normalised(raw):
    """x, y, z, w scaled and divided by their float32 length, returned w first."""
    squares = _f32([q * q for q in raw])
    total = squares[0]
    for square in squares[1:]:
        total = _f32((total + square,))[0]
    length = _f32((math.sqrt(total),))[0]
    if length == 0.0:
        q = (math.nan,) * 4
    else:
        q = _f32([c / length for c in raw])
    return (q[3], q[0], q[1], q[2])


def decode_report(payload):
    """The report's body part and its four records."""
    body_part, at = _varint(payload, 0, U32)
    if body_part >= len(BODY_PARTS):
        raise DecodeError("unknown body part")
    _, at = _varint(payload, at, U32)  # header, unused
    records = []
    for _ in range(4):
        _, at = _varint(payload, at, U64)  # value_a
        _, at = _varint(payload, at, U64)  # value_b
        orientation, at = _quaternion(payload, at)
        _, at = _quaternion(payload, at)  # second quaternion, unused
        acc = []
        for _ in range(3):
            v, at = _i16(payload, at)
            acc.append(v / 256)
        _, at = _i16(payload, at)  # scalar
        if at >= len(payload):
            raise DecodeError("unexpected end of payload")
        at += 1  # extra
        location, at = _varint(payload, at, U32)
        if location >= len(BODY_PARTS):
            raise DecodeError("unknown body part")
        accuracy, at = _varint(payload, at, U16)
        records.append(Record(tuple(acc), _normalised(orientation), accuracy,
                              BODY_PARTS[location]))
    return body_part, records


class Tracker:
    __slots__ = ("queue", "latest")

    def __init__(self):
        self.queue = deque(maxlen=QUEUE_LENGTH)
        self.latest = DEFAULT_RECORD


class PeerDriver:
    """Frames of paired body parts are kept; others are dropped. `poll` gives one
    `(record, fresh)` pair per paired tracker, in the order they were paired."""

    def __init__(self, body_parts=range(len(BODY_PARTS))):
        self.trackers = [Tracker() for _ in body_parts]
        self.by_body_part = dict(zip(body_parts, self.trackers))
        self.decode_errors = 0
        self._window = b""  # the marker search's last bytes
        self._payload = None  # bytearray once a frame's length is known
        self._length = 0
        self._header = b""
        self._stream = None  # every record, once frames() asked for them

    def frames(self, buffer=4096):
        """From now on every record is also kept, the newest `buffer`, for `drain`."""
        self._stream = deque(maxlen=buffer)

    def feed(self, transfer):
        """Takes one transfer's bytes; frames may span transfers."""
        at, end = 0, len(transfer)
        while at < end:
            if self._payload is not None:
                take = min(self._length - len(self._payload), end - at)
                self._payload += transfer[at:at + take]
                at += take
                if len(self._payload) == self._length:
                    self._finish(bytes(self._payload))
            elif self._window == MARKER:
                self._header += transfer[at:at + 1]
                at += 1
                if len(self._header) == 2:
                    self._length = self._header[0] | self._header[1] << 8
                    self._window, self._header = b"", b""
                    if self._length > MAX_PAYLOAD:
                        self.decode_errors += 1
                    elif self._length == 0:
                        self._finish(b"")
                    else:
                        self._payload = bytearray()
            else:
                self._window = (self._window + transfer[at:at + 1])[-4:]
                at += 1

    def _finish(self, payload):
        self._payload = None
        try:
            body_part, records = decode_report(payload)
        except DecodeError:
            self.decode_errors += 1
            return
        tracker = self.by_body_part.get(body_part)
        if tracker is None:
            return
        for record in records:
            tracker.latest = record
            tracker.queue.append(record)
        if self._stream is not None:
            self._stream.extend(records)

    def drain(self):
        """The records kept since the last drain, oldest first."""
        taken = list(self._stream)
        self._stream.clear()
        return taken

    def poll(self):
        result = []
        for tracker in self.trackers:
            if tracker.queue:
                result.append((tracker.queue.popleft(), True))
            else:
                result.append((tracker.latest, False))
        return result
