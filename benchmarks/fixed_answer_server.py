"""A loopback HTTP/1.1 keep-alive server that answers every request with one
fixed small JSON body. It stands in for nginx when nginx is not installed.

Run as its own process: it prints "PORT <n>" once it listens, then serves
until it is terminated. Requests are split on their header end and
Content-Length only: the benchmark's clients send nothing else (no chunked
bodies), and keeping the server this thin keeps it from dominating the
per-call times it is used to measure.
"""

from __future__ import annotations

import asyncio
import sys

BODY = b'{"id": 42, "name": "bench", "status": "ok"}'
ANSWER = (
    b"HTTP/1.1 200 OK\r\n"
    b"Server: bench\r\n"
    b"Content-Type: application/json\r\n"
    b"Content-Length: " + str(len(BODY)).encode() + b"\r\n"
    b"Connection: keep-alive\r\n"
    b"\r\n" + BODY
)


def _content_length(head: bytes) -> int:
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return int(value.strip())
    return 0


class FixedAnswer(asyncio.Protocol):
    def connection_made(self, transport: asyncio.Transport) -> None:
        self.transport = transport
        self.buffer = bytearray()
        self.body_left = 0

    def data_received(self, data: bytes) -> None:
        self.buffer += data
        while True:
            if self.body_left:
                taken = min(self.body_left, len(self.buffer))
                del self.buffer[:taken]
                self.body_left -= taken
                if self.body_left:
                    return
                self.transport.write(ANSWER)
                continue
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            head = bytes(self.buffer[:end])
            del self.buffer[: end + 4]
            self.body_left = _content_length(head)
            if not self.body_left:
                self.transport.write(ANSWER)


async def main(port: int) -> None:
    loop = asyncio.get_running_loop()
    server = await loop.create_server(FixedAnswer, "127.0.0.1", port, backlog=128)
    bound = server.sockets[0].getsockname()[1]
    print(f"PORT {bound}", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 0))
