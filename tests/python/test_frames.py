"""Sorvel.frames(): every frame in arrival order, exact drops for a consumer that falls behind,
consumers independent of each other and of poll, and the end when the Sorvel goes or the
receiver is lost."""

import asyncio
import gc
import re
import sys
import time

import pytest

import pysorvel
from conftest import CODES, NAMES, poll_until, report_transfers, run, sample, tracker

FULL_BODY = ",".join(CODES)
ROUNDS = 20  # reports per tracker in the scripted stream
PER_TRACKER = ROUNDS * 4
TOTAL = PER_TRACKER * len(CODES)


def sent_frames(rounds=ROUNDS):
    """(body part name, sequence) of every frame of the scripted stream, in the order sent:
    the trackers round robin, each report four samples whose accuracy counts on per tracker."""
    return [(NAMES[part], r * 4 + i) for r in range(rounds) for part in range(len(CODES))
            for i in range(4)]


def full_kit_stream(rounds=ROUNDS):
    transfers = []
    for r in range(rounds):
        for part in range(len(CODES)):
            transfers += report_transfers(
                part, [sample(body_part=part, accuracy=r * 4 + i) for i in range(4)])
    return transfers


def streaming_kit(kit, rounds=ROUNDS, more_script=()):
    """A fifteen-tracker kit that sends the scripted stream once started, nothing of its own."""
    kit(stream={"rate_hz": 0},
        script=[{"on": "Go", "report_transfers": full_kit_stream(rounds)}, *more_script])
    return pysorvel.Sorvel()


def seen(frames):
    return [(frame.body_part, frame.accuracy) for frame in frames]


async def take(stream, count, timeout=20):
    """The next `count` frames of an `async for` over `stream`."""
    async def collect():
        out = []
        async for frame in stream:
            out.append(frame)
            if len(out) == count:
                break
        return out
    return await asyncio.wait_for(collect(), timeout)


def test_one_consumer_gets_every_frame_in_order_on_the_monotonic_clock(kit):
    sorvel = streaming_kit(kit)
    stream = sorvel.frames()  # before connect: frames come once reports flow

    async def main():
        await sorvel.connect(FULL_BODY)
        started = time.monotonic_ns()
        await sorvel.start()
        frames = await take(stream, TOTAL)
        return started, frames, time.monotonic_ns()

    started, frames, ended = run(main())
    assert seen(frames) == sent_frames()
    assert stream.dropped == 0
    times = [frame.time_ns for frame in frames]
    assert times == sorted(times)
    assert started <= times[0] and times[-1] <= ended
    assert stream.drain() == []


@pytest.mark.parametrize("buffer", [1, 7, 4 * len(CODES), TOTAL - 1, TOTAL, 4096])
def test_consumers_at_different_speeds_affect_neither_each_other_nor_poll(kit, buffer):
    sorvel = streaming_kit(kit)
    slow = sorvel.frames(buffer=buffer)
    keeping_up = sorvel.frames(buffer=TOTAL)

    async def main():
        await sorvel.connect(FULL_BODY)
        await sorvel.start()
        return await take(keeping_up, TOTAL)  # every frame has arrived: the slow one never read

    with sorvel.frames(buffer=buffer) as unread:
        assert seen(run(main())) == sent_frames()
    assert keeping_up.dropped == 0
    kept = min(buffer, TOTAL)
    # Frames overwritten before the stream was closed stay counted after it.
    assert unread.dropped == TOTAL - kept
    assert unread.drain() == []
    assert slow.dropped == TOTAL - kept
    assert seen(slow.drain()) == sent_frames()[TOTAL - kept:]
    assert slow.dropped == TOTAL - kept
    assert slow.drain() == []
    # Each tracker's queue still holds its four newest frames for poll, oldest first.
    for i in range(4):
        assert [(r.location, r.accuracy, fresh) for r, fresh in sorvel.poll()] == [
            (name, PER_TRACKER - 4 + i, True) for name in NAMES]


def test_frames_show_the_values_reports_show(kit):
    samples = [sample(orientation=(-16384, 8192, -1, 11585), acceleration=(-32768, 32767, 3),
                      accuracy=0xFFFF - i, body_part=4) for i in range(4)]
    kit(stream={"rate_hz": 0}, trackers=[tracker(5, "HE")],
        script=[{"on": "Go", "report_transfers": report_transfers(4, samples)}])
    sorvel = pysorvel.Sorvel()
    stream = sorvel.frames()

    async def main():
        await sorvel.connect("HE")
        await sorvel.start()
        return await take(stream, 4)

    frames = run(main())
    for frame in frames:
        report, fresh = poll_until(sorvel, lambda result: result[0][1])[0]
        assert (frame.body_part, frame.rot, frame.acc, frame.accuracy) == (
            report.location, report.rot, report.acc, report.accuracy)
        assert type(frame.time_ns) is int
        # The text shows the stored float32 values as the Report's does, under the frame's names.
        acc, rot, accuracy = re.fullmatch(
            r'Report \{ (acc: .*), (rot: .*), (accuracy: \d+), location: "\w+" \}',
            repr(report)).groups()
        assert repr(frame) == (f'Frame {{ body_part: "{frame.body_part}", time_ns: {frame.time_ns}, '
                               f'{rot}, {acc}, {accuracy} }}')
    with pytest.raises(AttributeError):
        frames[0].rot = (1.0, 0.0, 0.0, 0.0)
    with pytest.raises(TypeError, match="^No constructor defined for Frame$"):
        type(frames[0])()


def test_after_re_pairing_to_fewer_trackers_the_stream_carries_only_the_new_ones(kit):
    # Every Go sends a Head report, then a Hips one, whoever is paired.
    head, hips = CODES.index("HE"), CODES.index("HI")
    reports = [report_transfers(part, [sample(body_part=part, accuracy=i) for i in range(4)])
               for part in (head, hips)]
    kit(stream={"rate_hz": 0}, script=[{"on": "Go", "report_transfers": reports[0] + reports[1]}])
    sorvel = pysorvel.Sorvel()
    stream = sorvel.frames()

    async def main():
        await sorvel.connect("HE,HI")
        await sorvel.start()
        first = await take(stream, 8)
        await sorvel.connect("HI")
        await sorvel.start()
        # The Head report comes first: a stream that still carried it would hand it out here.
        return first, await take(stream, 4)

    first, second = run(main())
    assert {frame.body_part for frame in first} == {"Head", "Hips"}
    assert seen(second) == [("Hips", i) for i in range(4)]
    assert [report.location for report, _ in sorvel.poll()] == ["Hips"]


def test_dropping_the_sorvel_ends_the_stream_after_the_buffered_frames(kit):
    sorvel = streaming_kit(kit)
    iterated = sorvel.frames()
    drained = sorvel.frames()
    watcher = sorvel.frames()

    async def main():
        await sorvel.connect(FULL_BODY)
        await sorvel.start()
        await take(watcher, TOTAL)  # all sent

    run(main())
    del sorvel
    gc.collect()

    async def iterate():
        return [frame async for frame in iterated]

    assert seen(run(asyncio.wait_for(iterate(), 20))) == sent_frames()
    assert seen(drained.drain()) == sent_frames()
    assert drained.drain() == []


def test_a_lost_receiver_raises_connection_error_after_the_buffered_frames(kit):
    sorvel = streaming_kit(kit, more_script=[{"on": "Go", "delay_ms": 500, "unplug": True}])
    iterated = sorvel.frames()
    drained = sorvel.frames()

    async def main():
        await sorvel.connect(FULL_BODY)
        await sorvel.start()
        frames = []
        with pytest.raises(ConnectionError, match="^receiver lost$"):
            async for frame in iterated:
                frames.append(frame)
        return frames

    assert seen(run(asyncio.wait_for(main(), 20))) == sent_frames()
    assert seen(drained.drain()) == sent_frames()
    assert drained.drain() == []
    # A stream opened after the loss ends at once.
    late = sorvel.frames()

    async def first():
        return await late.__anext__()

    with pytest.raises(ConnectionError, match="^receiver lost$"):
        run(first())


def test_close_ends_an_iteration_parked_in_another_task(kit):
    kit(stream={"rate_hz": 0})
    sorvel = pysorvel.Sorvel()

    async def main():
        with sorvel.frames() as stream:
            async def consume():
                return [frame async for frame in stream]
            consumer = asyncio.create_task(consume())
            for _ in range(3):
                await asyncio.sleep(0)  # lets it park: the kit sends nothing
            assert not consumer.done()
            stream.close()
            return await asyncio.wait_for(consumer, 10), stream

    frames, stream = run(main())
    assert frames == []
    assert stream.drain() == [] and stream.dropped == 0


MAX_BUFFER = 2**20


def at_least_one(value):
    return rf"^frames\(\) buffer must be at least 1, not {value}$"


def at_most_the_maximum(value):
    return rf"^frames\(\) buffer must be at most {MAX_BUFFER}, not {value}$"


@pytest.mark.parametrize("buffer, error, message", [
    (0, ValueError, at_least_one(0)),
    (-1, ValueError, at_least_one(-1)),
    ("8", TypeError, "integer"),
    (1.5, TypeError, "integer"),
    (MAX_BUFFER + 1, ValueError, at_most_the_maximum(MAX_BUFFER + 1)),
    (10**8, ValueError, at_most_the_maximum(10**8)),
    (10**30, ValueError, at_most_the_maximum(10**30)),
])
def test_buffer_must_be_an_int_from_one_to_the_maximum(kit, buffer, error, message):
    kit()
    sorvel = pysorvel.Sorvel()
    with pytest.raises(error, match=message):
        sorvel.frames(buffer=buffer)
    with sorvel.frames(buffer=MAX_BUFFER) as largest:
        assert largest.drain() == []


ALREADY_AWAITED = "this FrameStream is already awaited; await one __anext__ at a time"


async def consume(stream):
    return [frame async for frame in stream]


async def parked(awaitable):
    """A task awaiting `awaitable`, let run until it waits: the kit sends nothing of its own."""
    task = asyncio.ensure_future(awaitable)
    for _ in range(3):
        await asyncio.sleep(0)
    return task


@pytest.mark.parametrize("ending", ["close", "receiver lost"])
def test_one_wait_at_a_time_and_the_end_wakes_it(kit, ending):
    unplug = [{"on": "Go", "delay_ms": 100, "unplug": True}] if ending == "receiver lost" else []
    kit(stream={"rate_hz": 0}, script=unplug)
    sorvel = pysorvel.Sorvel()
    stream = sorvel.frames()

    async def main():
        held = stream.__anext__()  # kept: the stream is free again once its wait is cancelled
        cancelled = await parked(held)
        cancelled.cancel()
        with pytest.raises(asyncio.CancelledError):
            await cancelled
        first = await parked(consume(stream))
        second = await parked(consume(stream))
        both = asyncio.gather(anext(stream), anext(stream), return_exceptions=True)
        assert not first.done()
        refused = [second.exception(), *await asyncio.wait_for(both, 10)]
        for error in refused:
            assert type(error) is RuntimeError
            assert str(error) == ALREADY_AWAITED
        if ending == "close":
            stream.close()
        else:
            await sorvel.connect("HE")
            await sorvel.start()
        return await asyncio.wait_for(first, 10)

    if ending == "close":
        assert run(main()) == []
    else:
        with pytest.raises(ConnectionError, match="^receiver lost$"):
            run(main())


def test_frame_stream_type_is_final_and_not_constructible(kit):
    kit()
    stream = pysorvel.Sorvel().frames(buffer=1)
    stream_type = type(stream)
    assert (stream_type.__module__, stream_type.__qualname__) == ("pysorvel", "FrameStream")
    with pytest.raises(TypeError, match="^No constructor defined for FrameStream$"):
        stream_type()
    with pytest.raises(TypeError):
        class Derived(stream_type):  # noqa: F841 - final
            pass


def test_streams_frames_and_awaitables_are_all_released(kit):
    """Every instance holds its type: types' reference counts that stay put from one round to
    the next mean no instance is left behind, parked iterations included."""
    sorvel = streaming_kit(kit, rounds=1)

    async def connect():
        await sorvel.connect(FULL_BODY)

    async def one_round():
        stream = sorvel.frames(buffer=TOTAL)
        consumer = asyncio.create_task(take(stream, 4 * len(CODES)))
        for _ in range(3):
            await asyncio.sleep(0)  # parked before anything is sent
        await sorvel.start()  # the kit sends its stream on every Go
        frames = await consumer
        assert seen(frames) == sent_frames(rounds=1)
        types = {type(stream), type(stream.__anext__()), type(frames[0])}
        stream.close()
        return types

    run(connect())
    counts = []
    for _ in range(3):
        types = run(one_round())
        gc.collect()
        counts.append({t.__name__: sys.getrefcount(t) for t in types})
        del types
    assert counts[1] == counts[2], counts
