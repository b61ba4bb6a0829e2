#!/usr/bin/env python3
"""10,000 idle WebSocket connections to quillon-server, then all closed: the server's resident
memory before, with all of them open, and after they closed (read from /proc). While they are
open a fresh client must still be echoed, and at the end the server must exit 0 (under a
sanitizer build that includes the leak check).
  usage: bench/idle_connections.py [BUILD_DIR] [COUNT] [FREED_WAIT]
         (default build/release, 10000, 62: seconds after the close until the last reading,
         past the server's 60 s freeing interval; 0 skips it)
Raises this process's open-file limit to its hard limit; the server inherits it."""
import asyncio
import base64
import os
import resource
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "release")
COUNT = int(sys.argv[2]) if len(sys.argv) > 2 else 10000
FREED_WAIT = int(sys.argv[3]) if len(sys.argv) > 3 else 62


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def open_idle(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    key = base64.b64encode(os.urandom(16)).decode()
    writer.write((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    head = await reader.readuntil(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 101 "):
        raise RuntimeError(head[:60])
    return reader, writer


async def echo(port, text):
    reader, writer = await open_idle(port)
    payload = text.encode()
    mask = os.urandom(4)
    writer.write(bytes([0x81, 0x80 | len(payload)]) + mask +
                 bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    b0, b1 = await reader.readexactly(2)
    answer = await reader.readexactly(b1 & 0x7F)
    writer.close()
    return answer.decode()


async def close_one(reader, writer):
    """A masked close frame with code 1000, then the server's answer until it closes; true when
    the server closed within 30 s (the socket is closed here either way)."""
    mask = os.urandom(4)
    body = (1000).to_bytes(2, "big")
    writer.write(bytes([0x88, 0x82]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(body)))
    try:
        await asyncio.wait_for(reader.read(), 30)
        return True
    except (asyncio.TimeoutError, ConnectionError):
        return False
    finally:
        writer.close()


async def scenario(port, pid):
    gate = asyncio.Semaphore(200)

    async def one():
        async with gate:
            return await open_idle(port)

    before = rss_kib(pid)
    start = time.monotonic()
    conns = await asyncio.gather(*(one() for _ in range(COUNT)))
    opened = time.monotonic() - start
    await asyncio.sleep(1)
    full = rss_kib(pid)
    assert await echo(port, "while idle") == "while idle"
    start = time.monotonic()
    server_closed = sum(await asyncio.gather(*(close_one(r, w) for r, w in conns)))
    closed = time.monotonic() - start
    await asyncio.sleep(3)
    after = rss_kib(pid)
    assert await echo(port, "after") == "after"
    # Closed connections stay valid for the freeing interval (60 s by default), then go.
    freed = -1
    if FREED_WAIT > 0:
        await asyncio.sleep(FREED_WAIT)
        freed = rss_kib(pid)
    return before, full, after, freed, opened, closed, server_closed


def main():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if hard < COUNT + 1000:
        sys.exit(f"the hard open-file limit {hard} is below {COUNT + 1000}")
    port = free_port()
    proc = subprocess.Popen([os.path.join(BUILD, "bin", "quillon-server"), "--port", str(port),
                             "--clean-disconnect"],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().startswith("listening"), "quillon-server did not start"
        before, full, after, freed, opened, closed, server_closed = asyncio.run(scenario(port, proc.pid))
        print(f"idle connections: {COUNT} opened in {opened:.1f} s, closed in {closed:.1f} s "
              f"({server_closed} closed by the server within 30 s of the close frame); "
              f"server RSS {before / 1024:.1f} MiB before, {full / 1024:.1f} MiB with all open "
              f"({(full - before) / COUNT:.1f} KiB each), {after / 1024:.1f} MiB after"
              + (f", {freed / 1024:.1f} MiB once freed" if freed >= 0 else ""))
    finally:
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(timeout=60)
    if code != 0:
        sys.exit(f"quillon-server exited {code}")


if __name__ == "__main__":
    main()
