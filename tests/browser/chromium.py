"""Debian's Chromium, headless, driven by Selenium through Debian's chromedriver: nothing is
downloaded, and whatever Chromium leaves in the temporary folder goes with it."""

import contextlib
import os
import shutil
import subprocess
import tempfile

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
MISSING = None if CHROMIUM and CHROMEDRIVER else \
    "no Chromium here: scripts/bootstrap installs Debian's chromium and chromium-driver"


@contextlib.contextmanager
def headless_chromium():
    from selenium import webdriver

    scratch = tempfile.mkdtemp(prefix="pysorvel-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # WebGL without a GPU: SwiftShader, which Chromium now enables only when asked.
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
                     "--window-size=1280,800", "--no-first-run", "--disable-extensions",
                     "--disable-background-networking", f"--user-data-dir={scratch}/profile"):
        options.add_argument(argument)
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER, log_output=subprocess.DEVNULL,
                                      env={**os.environ, "TMPDIR": scratch})
    try:
        driver = webdriver.Chrome(options=options, service=service)
        try:
            yield driver
        finally:
            driver.quit()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
