"""The live view's HTTP server: the page's files, the kit's state as server-sent events and the
page's buttons, on a server that idle connections cannot make hold threads."""

import http.server
import importlib.resources
import ipaddress
import socket
import threading
import time
import urllib.parse
from collections.abc import Callable, Mapping
from typing import Any

from ._bounded_server import IDLE_TIMEOUT_S, BoundedHTTPServer

PAGE = "view_page"
# Path -> (file in the page's folder, content type). Nothing else is served.
FILES = {
    "/": ("index.html", "text/html; charset=utf-8"),
    "/index.html": ("index.html", "text/html; charset=utf-8"),
    "/view.js": ("view.js", "text/javascript; charset=utf-8"),
    "/view.css": ("view.css", "text/css; charset=utf-8"),
    "/three.min.js": ("three.min.js", "text/javascript; charset=utf-8"),
    "/OrbitControls.js": ("OrbitControls.js", "text/javascript; charset=utf-8"),
    "/THREE-LICENSE.txt": ("THREE-LICENSE.txt", "text/plain; charset=utf-8"),
}
# A page that reads nothing for this long still gets a comment line, so a closed one is noticed.
KEEPALIVE_S = 0.5

# A button: the query's fields -> the JSON answer.
Button = Callable[[dict[str, str]], bytes]


class Broadcast:
    """The latest snapshot of the kit's state for every page: a page that falls behind skips to
    the newest, it never queues."""

    def __init__(self) -> None:
        self._changed = threading.Condition()
        self._snapshot = b""
        self._number = 0
        self._closed = False

    def publish(self, snapshot: bytes) -> None:
        with self._changed:
            self._snapshot = snapshot
            self._number += 1
            self._changed.notify_all()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def next(self, after: int, timeout: float) -> tuple[int, bytes] | None:
        """The snapshot newer than number `after`, or number `after` again when none came within
        `timeout`; None once closed."""
        with self._changed:
            self._changed.wait_for(lambda: self._closed or self._number > after, timeout)
            if self._closed:
                return None
            return self._number, self._snapshot


class ViewServer(BoundedHTTPServer):
    """Serves the view from a thread of its own; closing it ends every page's stream."""

    def __init__(self, address: tuple[str, int], broadcast: Broadcast,
                 buttons: Mapping[str, Button]) -> None:
        """`buttons` by name: POST /NAME, with the header X-Pysorvel: NAME, presses one."""
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, ViewRequestHandler)
        self.broadcast = broadcast
        self.buttons = dict(buttons)
        page = importlib.resources.files(__package__) / PAGE
        self.files = {path: ((page / name).read_bytes(), kind)
                      for path, (name, kind) in FILES.items()}
        host, port = str(self.server_address[0]), self.server_address[1]
        shown = f"[{host}]" if ":" in host else host
        self.url = f"http://{shown}:{port}/"
        # A page served on loopback is only ever asked for by these names; any other is a site
        # that has had its name point here (DNS rebinding), and is refused.
        self.loopback = ipaddress.ip_address(host).is_loopback
        self.hosts = {f"{shown}:{port}", f"localhost:{port}"} if self.loopback else None
        self._pages_lock = threading.Lock()
        self._pages = 0
        self._last_page_left: float | None = None
        self._thread: threading.Thread | None = None

    def start(self) -> None:
        self._thread = threading.Thread(target=self.serve_forever, name="pysorvel view server",
                                        daemon=True)
        self._thread.start()

    def server_close(self) -> None:
        self.broadcast.close()
        if self._thread is not None:
            self.shutdown()
            self._thread.join()
            self._thread = None
        super().server_close()

    def page_opened(self) -> None:
        with self._pages_lock:
            self._pages += 1

    def page_left(self) -> None:
        with self._pages_lock:
            self._pages -= 1
            self._last_page_left = time.monotonic()

    def page_closed_for(self, seconds: float) -> bool:
        """Whether a page was open and none has been for `seconds`."""
        with self._pages_lock:
            left = self._last_page_left
            return self._pages == 0 and left is not None and time.monotonic() - left >= seconds


class ViewRequestHandler(http.server.BaseHTTPRequestHandler):
    server: ViewServer
    timeout = IDLE_TIMEOUT_S  # for a request cut short; the page's stream waits as long as it must

    def do_GET(self) -> None:
        if not self._host_allowed():
            return
        path = self.path.partition("?")[0]
        if path == "/poses":
            self._stream_poses()
            return
        entry = self.server.files.get(path)
        if entry is None:
            self.send_error(404)
            return
        self._send(*entry)

    def do_POST(self) -> None:
        if not self._host_allowed():
            return
        path, _, query = self.path.partition("?")
        name = path.removeprefix("/")
        button = self.server.buttons.get(name)
        if button is None:
            self.send_error(404)
            return
        # Browsers send a header of their own only after a preflight this server never grants:
        # a page of another site cannot start a recording or a calibration.
        if self.headers.get("X-Pysorvel") != name:
            self.send_error(403, f"the {name} button's request lacks its header")
            return
        fields = dict(urllib.parse.parse_qsl(query))
        self._send(button(fields), "application/json")

    def _host_allowed(self) -> bool:
        hosts = self.server.hosts
        if hosts is None or self.headers.get("Host", "") in hosts:
            return True
        self.send_error(403, "unknown host")
        return False

    def _send(self, body: bytes, kind: str) -> None:
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        self.wfile.write(body)

    def _stream_poses(self) -> None:
        self.connection.settimeout(None)
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.server.page_opened()
        try:
            number = 0
            while (update := self.server.broadcast.next(number, KEEPALIVE_S)) is not None:
                latest, snapshot = update
                self.wfile.write(b": waiting\n\n" if latest == number
                                 else b"data: " + snapshot + b"\n\n")
                number = latest
        except OSError:  # the page went away
            pass
        finally:
            self.server.page_left()
            self.close_connection = True

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        """Requests are not logged: the console keeps to the view's own lines."""
