"""Frame conversion: Report fields, widening, reordering, accuracy and the text form."""

import gc
import math
import struct
import sys
import time

import pytest

import pysorvel
from conftest import DEFAULT_REPR, poll_until, report_transfers, run, sample, tracker


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def scripted_report(kit, code, samples):
    part = ["LLA", "RLA", "LLL", "RLL", "HE", "HI", "LUA", "RUA", "LUL", "RUL", "CH", "LH", "RH",
            "LF", "RF"].index(code)
    kit(trackers=[tracker(7, code)], stream={"rate_hz": 0},
        script=[{"on": "Go", "report_transfers": report_transfers(part, samples)}])
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect(code)
        await sorvel.start()

    run(main())
    return sorvel


def last_report(kit, code, one_sample):
    """The latest frame after a report whose four samples are all `one_sample`."""
    sorvel = scripted_report(kit, code, [one_sample] * 4)
    poll_until(sorvel, lambda r: r[0][1])
    for _ in range(3):
        sorvel.poll()
    report, fresh = sorvel.poll()[0]
    assert not fresh
    return report


def test_default_frame_before_first_report(kit):
    kit(trackers=[tracker(2, "RF")], stream={"rate_hz": 0})
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect("RF")
        await sorvel.start()

    run(main())
    (report, fresh), = sorvel.poll()
    assert fresh is False
    assert repr(report) == DEFAULT_REPR
    assert (report.acc, report.rot, report.accuracy, report.location) == (
        (0.0, 0.0, 0.0), (1.0, 0.0, 0.0, 0.0), 0, "LeftLowerArm")


@pytest.mark.parametrize("raw, expected", [
    # (x, y, z, w) = (0.5, 0.5, -0.5, -0.5) is unit already: exact, w moves to the front.
    ((8192, 8192, -8192, -8192), (-0.5, 0.5, 0.5, -0.5)),
    ((0, 16384, 0, 0), (0.0, 0.0, 1.0, 0.0)),
    ((0, 0, 0, -16384), (-1.0, 0.0, 0.0, 0.0)),
])
def test_rot_is_w_first(kit, raw, expected):
    report = last_report(kit, "HE", sample(orientation=raw, body_part=4))
    assert report.rot == expected


def test_rot_holds_exactly_widened_float32_values(kit):
    raw = (1638, 3277, 4915, 14746)  # about (0.1, 0.2, 0.3, 0.9)
    report = last_report(kit, "CH", sample(orientation=raw, body_part=10))
    scaled = [v / 16384 for v in raw]
    norm = math.sqrt(sum(v * v for v in scaled))
    x, y, z, w = (v / norm for v in scaled)
    for got, want in zip(report.rot, (w, x, y, z)):
        assert got == pytest.approx(want, abs=1e-6)
        assert got == as_float32(got)  # a float32 value, not re-read from shorter text
    assert any(got != round(got, 7) for got in report.rot)


@pytest.mark.parametrize("raw, expected", [
    ((256, -128, 2511), (1.0, -0.5, 9.80859375)),
    ((1, -1, -32768), (0.00390625, -0.00390625, -128.0)),
])
def test_acc_in_stored_order(kit, raw, expected):
    report = last_report(kit, "LF", sample(acceleration=raw, body_part=13))
    assert report.acc == expected
    assert all(type(v) is float for v in report.acc)


@pytest.mark.parametrize("accuracy", [0, 3, 255, 256, 1000, 65535])
def test_accuracy_keeps_all_sixteen_bits(kit, accuracy):
    report = last_report(kit, "RH", sample(accuracy=accuracy, body_part=12))
    assert report.accuracy == accuracy
    assert f"accuracy: {accuracy}, " in repr(report)


def test_location_comes_from_the_sample_body_part(kit):
    report = last_report(kit, "RF", sample(body_part=14))
    assert report.location == "RightFoot"
    assert repr(report).endswith(', location: "RightFoot" }')


def test_repr_of_scripted_frame(kit):
    report = last_report(kit, "LLL", sample(orientation=(0, 0, 0, 16384),
                                            acceleration=(26, -512, 2511), accuracy=7,
                                            body_part=2))
    assert repr(report) == ('Report { acc: [0.1015625, -2.0, 9.808594], rot: [1.0, 0.0, 0.0, 0.0], '
                            'accuracy: 7, location: "LeftLowerLeg" }')


def test_fields_are_immutable_values_made_with_the_report(kit):
    report = last_report(kit, "HI", sample(acceleration=(300, 0, 0), body_part=5))
    assert report.acc is report.acc and report.rot is report.rot
    assert type(report.acc) is tuple and type(report.rot) is tuple
    assert all(type(v) is float for v in report.acc + report.rot)
    assert report.location == "Hips" and type(report.location) is str
    for name in ("acc", "rot", "accuracy", "location"):
        for change in (lambda: setattr(report, name, 0), lambda: delattr(report, name)):
            with pytest.raises(AttributeError) as raised:
                change()
            assert str(raised.value) == (
                f"attribute '{name}' of 'pysorvel.Report' objects is not writable")


def test_a_repeat_shows_the_report_of_the_frame_it_repeats(kit):
    # Two equal frames first: each fresh frame is a Report of its own, even with equal values.
    accs = [256, 256, 512, 768]
    sorvel = scripted_report(kit, "RF", [sample(acceleration=(a, 0, 0), body_part=14)
                                         for a in accs])
    first = poll_until(sorvel, lambda r: r[0][1])[0]
    polled = [first] + [sorvel.poll()[0] for _ in range(5)]
    assert [(report.acc[0], fresh) for report, fresh in polled] == [
        (1.0, True), (1.0, True), (2.0, True), (3.0, True), (3.0, False), (3.0, False)]
    reports = [report for report, _ in polled]
    assert len({id(report) for report in reports[:4]}) == 4
    assert reports[4] is reports[3] and reports[5] is reports[3]
    assert polled[5] is polled[4], "the repeated pair is kept too"
    assert repr(reports[5]) == repr(reports[3])
    again = sorvel.poll()
    again.append("mine")  # each poll's list is the caller's own
    assert len(sorvel.poll()) == 1


def test_a_poll_from_python_code_run_inside_a_poll_keeps_every_frame(kit):
    # Before 3.12 a collection runs inside the allocation that triggers it, so a finalizer can poll
    # again while the first poll is making its list; later versions defer the collection.
    accs = [256, 512, 768, 1024]
    sorvel = scripted_report(kit, "RF", [sample(acceleration=(a, 0, 0), body_part=14)
                                         for a in accs])
    polled = [poll_until(sorvel, lambda r: r[0][1])]
    time.sleep(0.2)  # the report's other three frames are queued by now
    nested = []

    class PollsWhenCollected:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            nested.append(sorvel.poll())

    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        PollsWhenCollected()
        polled.append(sorvel.poll())
    finally:
        gc.set_threshold(*threshold)
    polled[2:2] = nested
    polled += [sorvel.poll() for _ in range(3)]
    frames = [(result[0][0].acc[0], result[0][1]) for result in polled]
    if sys.version_info < (3, 12):
        assert nested, "the finalizer did not run inside the poll"
    assert frames[:5] == [(1.0, True), (2.0, True), (3.0, True), (4.0, True), (4.0, False)]
    assert polled[-1][0][0] is polled[-2][0][0]


def test_a_report_the_caller_still_holds_keeps_its_frame(kit):
    # A Report nobody holds any more is refilled for a newer frame; one held, directly or through
    # its pair, must keep showing the frame it was made for.
    sent = [float(4 * r + i + 1) for r in range(12) for i in range(4)]
    transfers = []
    for r in range(12):
        transfers += report_transfers(14, [sample(acceleration=(int(a * 256), 0, 0), body_part=14)
                                           for a in sent[4 * r:4 * r + 4]])
    kit(trackers=[tracker(7, "RF")], stream={"rate_hz": 0},
        script=[{"on": "Go", "report_transfers": transfers, "report_interval_us": 1000}])
    sorvel = pysorvel.Sorvel()

    async def main():
        await sorvel.connect("RF")
        await sorvel.start()

    run(main())
    held, seen = [], []
    deadline = time.monotonic() + 10
    while sent[-1] not in seen and time.monotonic() < deadline:
        pair = sorvel.poll()[0]
        report, fresh = pair
        if fresh:
            seen.append(report.acc[0])
            keep = (report, pair, None)[len(seen) % 3]
            if keep is not None:
                held.append((keep, repr(report), report.acc))
    assert seen[-1] == sent[-1] and seen == sorted(set(seen)) and set(seen) <= set(sent)
    for kept, text, acc in held:
        report = kept[0] if isinstance(kept, tuple) else kept
        assert (repr(report), report.acc) == (text, acc)
