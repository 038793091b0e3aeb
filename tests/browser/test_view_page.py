"""The live view in a real browser: Debian's headless Chromium, driven by Selenium, loads the page
of `python -m pysorvel view` on the virtual kit and sees the figure, its movement and a tracker
that drops out. Screenshots stay in build/artefacts/view."""

import io
import os
import pathlib
import re
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
