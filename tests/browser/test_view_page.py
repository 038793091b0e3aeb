"""The live view in a real browser: Debian's headless Chromium, driven by Selenium, loads the page
of `python -m pysorvel view` on the virtual kit and sees the figure, its movement and a tracker
that drops out. Screenshots stay in build/artefacts/view."""

import csv
import io
import math
import os
import pathlib
import re
import statistics
import sys
import time

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))
from view_process import FULL_BODY, running_view  # noqa: E402

from chromium import MISSING, headless_chromium  # noqa: E402

ARTEFACTS = pathlib.Path(os.environ.get("PYSORVEL_ARTEFACTS", ROOT / "build" / "artefacts")) / "view"

# The kit sways; the left hand drops out once the page has had time to load, and stays out.
LEFT_HAND_LOST_AFTER_MS = 4000
SCENARIO = {"script": [{"on": "Go", "delay_ms": LEFT_HAND_LOST_AFTER_MS, "lose_tracker": "LH"}]}


@pytest.fixture
def browser():
    if MISSING:
        if os.environ.get("CI"):
            pytest.fail(MISSING)  # CI installs it: its absence is a broken bootstrap
        pytest.skip(MISSING)
    pytest.importorskip("selenium")
    with headless_chromium() as driver:
        yield driver


def wait_for(what, check, timeout=20):
    deadline = time.monotonic() + timeout
    while not (result := check()):
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.05)
    return result


def canvas_image(driver, name):
    from PIL import Image

    png = driver.find_element("css selector", "#scene canvas").screenshot_as_png
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    (ARTEFACTS / f"view-{name}.png").write_bytes(png)
    return Image.open(io.BytesIO(png)).convert("RGB")


def changed_pixels(before, after):
    from PIL import ImageChops

    difference = ImageChops.difference(before, after).convert("L")
    return difference.point(lambda value: 255 if value > 16 else 0).histogram()[255]


def test_the_figure_moves_shows_a_lost_tracker_and_records(browser, tmp_path):
    with running_view(SCENARIO, "--group", FULL_BODY, "--record-dir", str(tmp_path)) as view:
        browser.get(f"http://{view.host}:{view.port}/")
        segments = wait_for("one segment per tracker",
                            lambda: browser.execute_script("return sorvelView.segments()"))
        assert sorted(segments) == sorted(browser.execute_script(
            "return [...document.querySelectorAll('#trackers tbody tr')]"
            ".map((row) => row.dataset.part)"))
        assert len(segments) == 15

        first = canvas_image(browser, "swaying-1")
        time.sleep(0.4)
        second = canvas_image(browser, "swaying-2")
        # The figure is drawn (not an empty background) and the sway moves it.
        assert len(first.getcolors(maxcolors=1 << 24)) > 20
        assert changed_pixels(first, second) > 200

        row = browser.find_element("css selector", "#trackers tr[data-part='LeftHand']")
        wait_for("the left hand shown lost", lambda: "lost" in row.get_attribute("class"), 15)
        assert row.find_elements("css selector", "td")[3].text == "lost"
        assert browser.execute_script("return sorvelView.lost()") == ["LeftHand"]
        assert "LeftHand lost" in browser.find_element("id", "events").text
        canvas_image(browser, "left-hand-lost")
        browser.save_screenshot(str(ARTEFACTS / "view-page.png"))

        button = browser.find_element("id", "record")
        status = browser.find_element("id", "recording")
        button.click()
        wait_for("the recording to start", lambda: status.text.startswith("Recording to "))
        button.click()
        saved = wait_for("the recording to end",
                         lambda: re.fullmatch(r"Saved (\d+) frames to (.+)", status.text))
        assert pathlib.Path(saved[2]).parent == tmp_path.resolve()
        assert len(pathlib.Path(saved[2]).read_text().splitlines()) == int(saved[1]) + 1

        browser.get("about:blank")  # the page closes: the view ends by itself
        assert view.wait(timeout=15) == 0
        view.line("the page was closed")


# Each segment's direction from its joint in the rest (T) pose, body frame: Y up, facing +Z,
# +X to the person's left.
REST_DIRECTIONS = {
    "Hips": (0, 1, 0), "Chest": (0, 1, 0), "Head": (0, 1, 0),
    **{f"{side}{part}": (x, 0, 0) for side, x in (("Left", 1), ("Right", -1))
       for part in ("UpperArm", "LowerArm", "Hand")},
    **{f"{side}{part}": (0, -1, 0) for side in ("Left", "Right")
       for part in ("UpperLeg", "LowerLeg")},
    "LeftFoot": (0, 0, 1), "RightFoot": (0, 0, 1),
}
# How far behind the page's figure trails the person: a frame's way to the page, a few updates.
PAGE_LAG_NS = 30_000_000


def rotated(q, v):
    w, x, y, z = q
    u = (x, y, z)
    cross = lambda a, b: (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                          a[0] * b[1] - a[1] * b[0])
    t = tuple(2 * c for c in cross(u, v))
    return tuple(v[i] + w * t[i] + cross(u, t)[i] for i in range(3))


def degrees_between(a, b):
    cosine = sum(p * q for p, q in zip(a, b)) / math.hypot(*a) / math.hypot(*b)
    return math.degrees(math.acos(max(-1.0, min(1.0, cosine))))


def truth_directions(truth, at_ns):
    """Each segment's direction at about `at_ns` by the simulated person's own account."""
    wait_for("the truth to reach the page's time",
             lambda: truth.exists() and (lines := truth.read_text().splitlines()) and
             int(lines[-1].split(",", 1)[0]) >= at_ns)
    nearest = {}
    with open(truth, newline="") as file:
        for row in csv.DictReader(file):
            part, when = row["body_part"], int(row["time_ns"])
            if part not in nearest or abs(when - at_ns) < abs(nearest[part][0] - at_ns):
                seg = tuple(float(row[f"seg_{c}"]) for c in "wxyz")
                nearest[part] = (when, rotated(seg, REST_DIRECTIONS[part]))
    return {part: direction for part, (_, direction) in nearest.items()}


def page_against_truth(browser, truth):
    """How far each segment the page draws is turned from the person's, in degrees."""
    # The figure as drawn from the newest updates: software WebGL may draw seconds late at first.
    drawn_before = browser.execute_script("return sorvelView.rendered()")
    wait_for("the figure to be drawn afresh",
             lambda: browser.execute_script("return sorvelView.rendered()") > drawn_before + 1)
    drawn = browser.execute_script("return sorvelView.directions()")
    seen_ns = time.monotonic_ns()
    truth_now = truth_directions(truth, seen_ns - PAGE_LAG_NS)
    return {part: degrees_between(direction, truth_now[part])
            for part, direction in drawn.items()}


def test_calibrating_on_the_page_draws_the_person_as_they_stand(browser, tmp_path):
    # Trackers strapped on anyhow, each in a world of its own heading; the person sways.
    truth = tmp_path / "truth.csv"
    person = {"body": {"seed": 11, "noise_deg": 0, "mounting": "random", "heading": "random",
                       "truth": str(truth), "script": [{"motion": "sway", "seconds": 60}]}}
    with running_view(person, "--group", FULL_BODY) as view:
        browser.get(f"http://{view.host}:{view.port}/")
        wait_for("the whole figure",
                 lambda: len(browser.execute_script("return sorvelView.segments()")) == 15)
        # Until its first frame a segment is drawn at rest, which says nothing of the trackers.
        wait_for("every tracker's frames", lambda: browser.execute_script(
            "return [...document.querySelectorAll('#trackers tbody tr')]"
            ".every((row) => Number(row.cells[1].textContent) > 0)"))
        status = browser.find_element("id", "calibration-status")
        assert status.text == "Not calibrated: the figure shows raw tracker orientations"
        raw = page_against_truth(browser, truth)
        assert statistics.median(raw.values()) > 30, raw

        assert browser.find_element("id", "ski").is_selected()
        browser.find_element("id", "calibrate").click()
        step = browser.find_element("id", "calibration-step")
        wait_for("the countdown", lambda: re.fullmatch(r"Stand still, arms down in [123]…",
                                                       step.text))
        wait_for("the ski pose", lambda: step.text.startswith("Now crouch as a skier"))
        wait_for("the calibrated figure",
                 lambda: browser.execute_script("return sorvelView.calibrated()"))
        wait_for("the status to say so", lambda: status.text == "Calibrated with the ski pose")
        canvas_image(browser, "calibrated")
        for _ in range(3):  # at moments of the sway apart
            solved = page_against_truth(browser, truth)
            assert set(solved) == set(REST_DIRECTIONS) and max(solved.values()) < 10, solved
            time.sleep(0.3)
