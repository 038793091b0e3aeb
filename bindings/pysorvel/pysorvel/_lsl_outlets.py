"""A kit's frames on the Lab Streaming Layer: one outlet per tracker, one sample per frame, stamped
with the frame's receive time on LSL's clock. Needs the `lsl` extra (pylsl)."""

import asyncio
import socket
import time
from array import array
from collections.abc import Iterable, Sequence
from typing import Any

import pylsl  # type: ignore[import-untyped]

from ._record import BUFFER_FRAMES, NAMES, group_parts

STREAM_TYPE = "MoCap"
DEFAULT_NAME = "pysorvel"
# The kit reports 100 times a second, four samples a report: each tracker sends 400 frames a
# second. Trackers' frames arrive independently, so each tracker has a stream of its own.
FRAMES_PER_S = 400.0
# label, type, unit; the orientation types follow the XDF MoCap convention, w first.
CHANNELS: tuple[tuple[str, str, str], ...] = (
    ("w", "OrientationA", "normalized"),
    ("x", "OrientationB", "normalized"),
    ("y", "OrientationC", "normalized"),
    ("z", "OrientationD", "normalized"),
    ("ax", "AccelerationX", "m/s^2"),
    ("ay", "AccelerationY", "m/s^2"),
    ("az", "AccelerationZ", "m/s^2"),
    ("accuracy", "Accuracy", "none"),
)
# Per segment of the solved pose: its rotation in the body frame, w first, and its joint.
POSE_CHANNELS: tuple[tuple[str, str, str], ...] = CHANNELS[:4] + (
    ("px", "PositionX", "m"),
    ("py", "PositionY", "m"),
    ("pz", "PositionZ", "m"),
)
# Every segment, tracked or following its parent, so that the layout never depends on the group.
SEGMENTS: tuple[str, ...] = tuple(NAMES.values())
DEFAULT_POSE_RATE_HZ = 60.0
MANUFACTURER = "Sorvel"
MODEL = "wireless body-tracking kit"
NS_PER_S = 1_000_000_000
# Frames wait this long at most to be published together: liblsl's cost is mostly per push and
# per sample, and a thread of its own wakes for every push to each stream, so that pushing each
# transfer's frames at once costs several times the CPU. The samples keep their receive times.
DEFAULT_INTERVAL_S = 0.05
# How often the start waits for consumers checks for them: liblsl offers only a blocking wait.
CONSUMER_CHECK_S = 0.05


def stream_info(name: str, body_part: str, source: str) -> Any:
    # The receiver's address is not exposed by the driver: the host name, the stream's name and
    # the body part stay the same across restarts, which is what lets a recorder reconnect.
    info = pylsl.StreamInfo(f"{name}-{body_part}", STREAM_TYPE, len(CHANNELS), FRAMES_PER_S,
                            pylsl.cf_float32, f"{source}:{name}:{body_part}")
    describe(info, [(label, kind, unit) for label, kind, unit in CHANNELS])
    return info


def pose_stream_info(name: str, source: str, rate_hz: float) -> Any:
    """NAME-pose: every segment's POSE_CHANNELS in turn, labelled Segment_w ... Segment_pz."""
    info = pylsl.StreamInfo(f"{name}-pose", STREAM_TYPE, len(SEGMENTS) * len(POSE_CHANNELS),
                            rate_hz, pylsl.cf_float32, f"{source}:{name}:pose")
    describe(info, [(f"{segment}_{label}", kind, unit) for segment in SEGMENTS
                    for label, kind, unit in POSE_CHANNELS])
    return info


def describe(info: Any, channel_list: Sequence[tuple[str, str, str]]) -> None:
    """The meta-data LSL recorders read: each channel's label, unit and type, and the maker."""
    channels = info.desc().append_child("channels")
    for label, kind, unit in channel_list:
        channel = channels.append_child("channel")
        channel.append_child_value("label", label)
        channel.append_child_value("unit", unit)
        channel.append_child_value("type", kind)
    acquisition = info.desc().append_child("acquisition")
    acquisition.append_child_value("manufacturer", MANUFACTURER)
    acquisition.append_child_value("model", MODEL)


def clock_offset_s(tries: int = 16) -> float:
    """What to add to a time of `time.monotonic_ns()`, in seconds, to get `pylsl.local_clock()`'s.

    On Linux both read CLOCK_MONOTONIC, so the offset is only the error of measuring it (the
    closest pair of reads: a microsecond or less); elsewhere the clocks may start apart, and
    the offset is measured once, as both run at the same rate."""
    best_span, offset = None, 0.0
    for _ in range(tries):
        before = time.monotonic_ns()
        lsl = pylsl.local_clock()
        after = time.monotonic_ns()
        if best_span is None or after - before < best_span:
            best_span, offset = after - before, lsl - (before + after) / 2 / NS_PER_S
    return offset


class FrameOutlets:
    """One outlet per body part, all open from construction on (a recorder sees the streams before
    the first frame). `push` publishes frames; frames of other body parts are counted in
    `skipped`."""

    def __init__(self, parts: Sequence[str], name: str = DEFAULT_NAME,
                 source: str | None = None) -> None:
        source = source or socket.gethostname()
        self._outlets = {part: pylsl.StreamOutlet(stream_info(name, part, source))
                         for part in parts}
        self.offset_s = clock_offset_s()
        self.frames = 0
        self.per_part: dict[str, int] = {}
        self.skipped = 0

    def push(self, frames: Iterable[Any]) -> None:
        """Publishes `frames` in order, each as one sample stamped with its receive time."""
        offset, per_part = self.offset_s, self.per_part
        # One chunk per stream: liblsl then sends each stream's frames in one write, not one
        # write per frame.
        chunks: dict[str, tuple[array[float], list[float]]] = {}
        for frame in frames:
            part = frame.body_part
            chunk = chunks.get(part)
            if chunk is None:
                if part not in self._outlets:
                    self.skipped += 1
                    continue
                chunk = chunks[part] = (array("f"), [])
            values, stamps = chunk
            values.extend(frame.rot)
            values.extend(frame.acc)
            values.append(frame.accuracy)
            stamps.append(frame.time_ns / NS_PER_S + offset)
        for part, (values, stamps) in chunks.items():
            self._outlets[part].push_chunk(values, stamps)
            per_part[part] = per_part.get(part, 0) + len(stamps)
            self.frames += len(stamps)

    def consumers(self) -> int:
        """How many of the streams have a consumer (an inlet, a recorder recording them)."""
        return sum(outlet.have_consumers() for outlet in self._outlets.values())

    def __len__(self) -> int:
        return len(self._outlets)

    def close(self) -> None:
        """Ends the streams: consumers see them go."""
        self._outlets.clear()


class PoseOutlet:
    """The solved pose of a calibrated body as one stream, NAME-pose, a sample per `push`."""

    def __init__(self, name: str = DEFAULT_NAME, rate_hz: float = DEFAULT_POSE_RATE_HZ,
                 source: str | None = None) -> None:
        self._outlet = pylsl.StreamOutlet(
            pose_stream_info(name, source or socket.gethostname(), rate_hz))
        self.poses = 0

    def push(self, pose: Any, stamp: float) -> None:
        """Publishes `pose` (what Body.solve returns), stamped `stamp` on LSL's clock."""
        values = array("f")
        for segment in SEGMENTS:
            values.extend(pose.rotation(segment))
            values.extend(pose.position(segment))
        self._outlet.push_sample(values, stamp)
        self.poses += 1


class Publisher:
    """Publishes every frame of `kit` for the body parts of `group` (codes, comma-separated),
    one LSL stream per tracker named NAME-BodyPart, from an asyncio program:

        publisher = Publisher(kit, "HE,LH,RH")
        await publisher.run()        # pairs, starts and publishes until cancelled

    or step by step: `connect()` (pairs, then opens the outlets), `wait_for_consumers()`,
    `start()`, `publish()`. `close()` ends the frame stream and the outlets. Frames are
    published together every `interval_s` seconds at most (0: as each transfer arrives, for the
    least delay at several times the CPU). With a calibrated `body`, a stream more, NAME-pose,
    carries its solved pose of the newest frames `pose_rate_hz` times a second."""

    def __init__(self, kit: Any, group: str, name: str = DEFAULT_NAME,
                 buffer: int = BUFFER_FRAMES, interval_s: float = DEFAULT_INTERVAL_S,
                 body: Any = None, pose_rate_hz: float = DEFAULT_POSE_RATE_HZ) -> None:
        self.kit, self.group, self.name = kit, group, name
        self.interval_s = interval_s
        self.body, self.pose_rate_hz = body, pose_rate_hz
        # Opened before start(), so that the first frames are published too.
        self.stream = kit.frames(buffer=buffer)
        self.outlets: FrameOutlets | None = None
        self.pose_outlet: PoseOutlet | None = None

    async def connect(self) -> FrameOutlets:
        await self.kit.connect(self.group)
        self.outlets = FrameOutlets(group_parts(self.group), self.name)
        if self.body is not None:
            self.pose_outlet = PoseOutlet(self.name, self.pose_rate_hz)
        return self.outlets

    async def wait_for_consumers(self) -> None:
        """Returns once every stream has a consumer."""
        outlets = self._connected()
        while outlets.consumers() < len(outlets):
            await asyncio.sleep(CONSUMER_CHECK_S)

    async def start(self) -> None:
        await self.kit.start()

    async def publish(self) -> None:
        """Publishes frames as they arrive until cancelled or the frame stream ends (the kit
        dropped; ConnectionError when the receiver is lost)."""
        outlets, stream = self._connected(), self.stream
        poses = asyncio.create_task(self._publish_poses()) if self.pose_outlet else None
        try:
            async for frame in stream:
                if self.interval_s > 0:
                    await asyncio.sleep(self.interval_s)
                outlets.push((frame, *stream.drain()))
        finally:
            if poses is not None:
                poses.cancel()
            outlets.push(stream.drain())

    async def _publish_poses(self) -> None:
        assert self.pose_outlet is not None
        period, due = 1.0 / self.pose_rate_hz, time.monotonic()
        while True:
            due += period
            await asyncio.sleep(max(0.0, due - time.monotonic()))
            self.pose_outlet.push(self.body.solve(self.kit.poll()), pylsl.local_clock())

    async def run(self) -> None:
        try:
            await self.connect()
            await self.start()
            await self.publish()
        finally:
            self.close()

    @property
    def dropped(self) -> int:
        """Frames lost because the publishing loop fell behind the kit."""
        dropped: int = self.stream.dropped
        return dropped

    def close(self) -> None:
        self.stream.close()
        if self.outlets is not None:
            self.outlets.close()
        self.pose_outlet = None

    def _connected(self) -> FrameOutlets:
        if self.outlets is None:
            raise RuntimeError("connect() first: the outlets are made once the group is paired")
        return self.outlets
