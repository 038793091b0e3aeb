"""How the live view keeps up: `python -m pysorvel view` on a full virtual kit, its page in
Debian's headless Chromium, measured for a few seconds.

Run by `make bench-view`; prints one table and writes the figures as JSON (`--out`), in the form
bench/run.py uses: time to the first pose drawn, poses received and frames drawn per second by
the page, how long a pose takes from the server to the page, and the view process's CPU share.
"""

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "python"), str(ROOT / "tests" / "browser")]
from chromium import MISSING, headless_chromium  # noqa: E402
from view_process import FULL_BODY, running_view  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of process `pid` so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def measure(seconds):
    with running_view({}, "--group", FULL_BODY) as view, headless_chromium() as browser:
        loaded = time.monotonic()
        browser.get(f"http://{view.host}:{view.port}/")
        page = "return sorvelView.firstPoseDrawnMs()"
        while browser.execute_script(page) is None:
            assert time.monotonic() - loaded < 30, "the page drew no pose"
            time.sleep(0.02)
        first_pose_ms = browser.execute_script(page)
        time.sleep(1.0)  # past the start
        counts = "return [sorvelView.updates(), sorvelView.rendered()]"
        updates, rendered = browser.execute_script(counts)
        cpu, started = cpu_seconds(view.process.pid), time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - started
        cpu_share = (cpu_seconds(view.process.pid) - cpu) / elapsed
        later_updates, later_rendered = browser.execute_script(counts)
        lags = browser.execute_script("return sorvelView.lags()")
    lags.sort()
    return {
        "view_first_pose_drawn_ms": {"value": first_pose_ms, "unit": "ms after navigation"},
        "view_updates_per_s": {"value": (later_updates - updates) / elapsed, "unit": "1/s"},
        "view_frames_drawn_per_s": {"value": (later_rendered - rendered) / elapsed, "unit": "1/s"},
        "view_lag_p50_ms": {"value": statistics.median(lags), "unit": "ms"},
        "view_lag_p99_ms": {"value": lags[int(0.99 * (len(lags) - 1))], "unit": "ms"},
        "view_server_cpu_share": {"value": cpu_share, "unit": "of a core"},
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench-view.json")
    args = parser.parse_args()
    if MISSING:
        sys.exit(f"bench/view.py: {MISSING}")
    figures = measure(args.seconds)
    for name, entry in figures.items():
        print(f"{name:28} {entry['value']:10.4g}  {entry['unit']}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
