"""`python -m pysorvel view` as a child process on a virtual kit, for the view's tests and the
browser's."""

import contextlib
import http.client
import json
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading

FULL_BODY = "LLA,RLA,LLL,RLL,HE,HI,LUA,RUA,LUL,RUL,CH,LH,RH,LF,RF"


class View:
    """A running view: its address, and its console lines as they come."""

    def __init__(self, process):
        self.process = process
        self._lines = queue.Queue()
        self.output = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def line(self, pattern, timeout=30):
        """The first console line from now on that matches `pattern`."""
        while True:
            try:
                line = self._lines.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError(f"no line matched {pattern!r}; so far: {self.output}") from None
            if line is None:
                raise AssertionError(f"the view ended without {pattern!r}: {self.output}, "
                                     f"{self.process.stderr.read()}")
            self.output.append(line)
            if match := re.search(pattern, line):
                return match

    def connect(self):
        return http.client.HTTPConnection(self.host, self.port, timeout=30)

    def request(self, method, path, headers=None):
        connection = self.connect()
        connection.request(method, path, headers=headers or {})
        return connection.getresponse()

    def snapshots(self):
        """The kit's state as the page receives it, one snapshot after another."""
        response = self.request("GET", "/poses")
        assert response.status == 200
        try:
            for line in response:
                if line.startswith(b"data: "):
                    yield json.loads(line[len(b"data: "):])
        finally:
            response.close()

    def wait(self, timeout=30):
        return self.process.wait(timeout=timeout)


@contextlib.contextmanager
def running_view(scenario, *args, cwd=None, python=sys.executable):
    """Starts the view on `scenario` (a virtual-kit scenario, as a dict) and yields it once it
    says where it serves; stops it (Ctrl-C, else kill) if it is still running afterwards."""
    env = {k: v for k, v in os.environ.items() if k not in ("SORVEL_VIRTUAL_KIT", "SORVEL_CAPTURE")}
    # In a file: a scripted stream is longer than Windows lets one environment variable be.
    scenario_file = tempfile.NamedTemporaryFile("w", suffix=".json", delete=False)
    with scenario_file:
        json.dump(scenario, scenario_file)
    env["SORVEL_VIRTUAL_KIT"] = scenario_file.name
    process = subprocess.Popen(
        [python, "-m", "pysorvel", "view", "--port", "0", *args], cwd=cwd, env=env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    view = View(process)
    try:
        address = view.line(r"the view is at http://([\d.]+):(\d+)/")
        view.host, view.port = address[1], int(address[2])
        yield view
    finally:
        if process.poll() is None:
            if sys.platform == "win32":  # which cannot send Ctrl-C to one process alone
                process.kill()
            else:
                process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        process.stdout.close()
        process.stderr.close()
        os.unlink(scenario_file.name)
