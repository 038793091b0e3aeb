"""pysorvel._ask_virtual_person: the simulated person holds what the tools ask of it."""

import math

import pytest

import pysorvel
from conftest import run_child


@pytest.mark.parametrize("pose, seconds, error", [
    ("Y", 1.0, ValueError), ("i", 1.0, ValueError), ("I", -1.0, ValueError),
    ("I", math.nan, ValueError), ("I", math.inf, ValueError),
    (1, 1.0, TypeError), ("I", "1", TypeError),
])
def test_bad_poses_and_times_are_refused(pose, seconds, error):
    with pytest.raises(error):
        pysorvel._ask_virtual_person(pose, seconds)


def test_the_person_raises_the_arms_when_asked_and_says_whether_it_exists():
    # Square mountings and one heading: the left hand's tracker turns as the hand does. The
    # script keeps the arms down; the arms come up only for the time asked.
    child = run_child("""
        import asyncio, json, math, os, time
        import pysorvel

        def turn(a, b):
            return math.degrees(2 * math.acos(min(1.0, abs(sum(x * y for x, y in zip(a, b))))))

        async def hand(kit, predicate):
            deadline = time.monotonic() + 10
            while not ((entry := kit.poll()[0])[1] and predicate(rot := entry[0].rot)):
                assert time.monotonic() < deadline, entry
                await asyncio.sleep(0.01)
            return rot

        async def main():
            print(pysorvel._ask_virtual_person("T", 1.0))  # no kit at all
            os.environ["SORVEL_VIRTUAL_KIT"] = "{}"
            plain = pysorvel.Sorvel()
            print(pysorvel._ask_virtual_person("T", 1.0))  # a kit nobody wears
            del plain
            os.environ["SORVEL_VIRTUAL_KIT"] = json.dumps({"body": {
                "noise_deg": 0, "mounting": "square", "heading": "shared",
                "script": [{"pose": "I", "seconds": 600}]}})
            kit = pysorvel.Sorvel()
            await kit.connect("LH")
            await kit.start()
            down = await hand(kit, lambda rot: True)
            print(pysorvel._ask_virtual_person("T", 1.0))
            await hand(kit, lambda rot: abs(turn(rot, down) - 90) < 0.5)
            await hand(kit, lambda rot: turn(rot, down) < 0.5)  # and down again afterwards
            print("raised and lowered")

        asyncio.run(main())
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode().split("\n")[:4] == ["False", "False", "True", "raised and lowered"]
