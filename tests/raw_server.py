"""A raw TCP server on loopback that misbehaves as HTTP peers do."""

from __future__ import annotations

import socket
import threading
from typing import Callable, Optional

# Given the 1-based number of a connection, the bytes to send before closing
# it, or None to hold it open and silent.
Answer = Callable[[int], Optional[bytes]]


class RawServer:
    def __init__(self, answer: Answer):
        self.answer = answer
        self.connections = 0
        self._held: list[socket.socket] = []
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self.url = "http://127.0.0.1:%d" % self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            self.connections += 1
            conn.settimeout(2)
            self._read_request_head(conn)
            answer = self.answer(self.connections)
            if answer is None:
                self._held.append(conn)
                continue
            conn.sendall(answer)
            conn.close()

    @staticmethod
    def _read_request_head(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return

            data += chunk

    def close(self):
        self._listener.shutdown(socket.SHUT_RDWR)  # wakes the blocked accept()
        self._listener.close()
        self._thread.join(timeout=5)
        for conn in self._held:
            conn.close()
