"""An HTTP server for few clients that cannot be made to hold many threads: a connection waits
without a thread until it sends something, and is closed if it stays silent; requests run on a
fixed number of handler threads."""

import http.server
import queue
import selectors
import socket
import sys
import threading
import time
from typing import Any

# A connection that sends nothing for this long is closed; a handler reading a request cut short
# gives up after as long.
IDLE_TIMEOUT_S = 5.0
HANDLER_THREADS = 16
# Connections accepted and not yet handled; beyond these a new one is closed at once.
MOST_HELD = 256

Job = tuple[socket.socket, Any] | None  # a connection and its address; None ends a handler


class BoundedHTTPServer(http.server.HTTPServer):
    """Its handler threads start with serve_forever and end with server_close. A handler class
    for it sets `timeout` so that a request cut short cannot hold its thread."""

    def __init__(self, address: tuple[str, int],
                 handler: type[http.server.BaseHTTPRequestHandler]) -> None:
        super().__init__(address, handler)
        self._lock = threading.Lock()
        self._held = 0
        self._closing = False
        self._arrivals: queue.SimpleQueue[tuple[socket.socket, Any]] = queue.SimpleQueue()
        self._jobs: queue.SimpleQueue[Job] = queue.SimpleQueue()
        self._wake_reader, self._wake_writer = socket.socketpair()
        self._threads: list[threading.Thread] = []

    def serve_forever(self, poll_interval: float = 0.5) -> None:
        with self._lock:
            if not self._threads and not self._closing:
                self._threads = [threading.Thread(target=self._wait_for_requests, daemon=True,
                                                  name="pysorvel view connections")]
                self._threads += [threading.Thread(target=self._handle_requests, daemon=True,
                                                   name="pysorvel view handler")
                                  for _ in range(HANDLER_THREADS)]
                for thread in self._threads:
                    thread.start()
        super().serve_forever(poll_interval)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._lock:
            refused = self._closing or self._held >= MOST_HELD
            if not refused:
                self._held += 1
        if refused:
            self.shutdown_request(request)
            return
        self._arrivals.put((request, client_address))
        self._wake()

    def handle_error(self, request: Any, client_address: Any) -> None:
        """A client that went away (a reload, a reset, a request cut short) is no error of the
        server's: only the others are printed."""
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)

    def server_close(self) -> None:
        with self._lock:
            self._closing = True
            threads, self._threads = self._threads, []
        self._wake()
        for _ in range(HANDLER_THREADS):
            self._jobs.put(None)
        # Handlers of long requests end as those do; the one thread that holds connections is
        # waited for, so that none is left open.
        if threads:
            threads[0].join()
        self._wake_reader.close()
        self._wake_writer.close()
        super().server_close()

    def _wake(self) -> None:
        try:
            self._wake_writer.send(b"\0")
        except OSError:  # closed, or full of wake-ups already
            pass

    def _release(self) -> None:
        with self._lock:
            self._held -= 1

    def _wait_for_requests(self) -> None:
        """Keeps every accepted connection until it has something to read (then a handler takes
        it) or has been silent for IDLE_TIMEOUT_S (then it is closed)."""
        waiting: dict[socket.socket, tuple[float, Any]] = {}
        with selectors.DefaultSelector() as selector:
            selector.register(self._wake_reader, selectors.EVENT_READ)
            while not self._closing:
                now = time.monotonic()
                first = min((deadline for deadline, _ in waiting.values()), default=None)
                for key, _ in selector.select(None if first is None else max(0.0, first - now)):
                    if key.fileobj is self._wake_reader:
                        self._wake_reader.recv(4096)
                        while not self._arrivals.empty():
                            request, address = self._arrivals.get()
                            waiting[request] = (time.monotonic() + IDLE_TIMEOUT_S, address)
                            selector.register(request, selectors.EVENT_READ)
                    else:
                        request = key.fileobj  # type: ignore[assignment]
                        selector.unregister(request)
                        self._jobs.put((request, waiting.pop(request)[1]))
                now = time.monotonic()
                for request, (deadline, _) in list(waiting.items()):
                    if deadline <= now:
                        self._close_waiting(selector, waiting, request)
            for request in list(waiting):
                self._close_waiting(selector, waiting, request)
            while not self._arrivals.empty():
                self.shutdown_request(self._arrivals.get()[0])
                self._release()

    def _close_waiting(self, selector: selectors.BaseSelector,
                       waiting: dict[socket.socket, tuple[float, Any]],
                       request: socket.socket) -> None:
        selector.unregister(request)
        del waiting[request]
        self.shutdown_request(request)
        self._release()

    def _handle_requests(self) -> None:
        while (job := self._jobs.get()) is not None:
            request, address = job
            self._release()
            try:
                self.finish_request(request, address)
            except Exception:
                self.handle_error(request, address)
            finally:
                self.shutdown_request(request)
