"""quillon-server's heartbeat (--heartbeat 1 --heartbeat-timeout 2): a raw client that never
answers the pings is closed, while a normal client, whose library answers them, stays and
keeps echoing. Without a time-out nobody is closed."""
import asyncio
import base64
import os
import socket
import struct
import time

import websockets

from quillon_host import QuillonServer


def read_frames_until_closed(sock, seconds):
    """Reads server frames, never answering; returns (opcodes seen, seconds until the server
    ended the connection or None if it was still open after `seconds`)."""
    started = time.monotonic()
    buf = b""
    opcodes = []
    sock.settimeout(0.2)
    while time.monotonic() - started < seconds:
        try:
            chunk = sock.recv(4096)
        except socket.timeout:
            continue
        except ConnectionError:
            return opcodes, time.monotonic() - started
        if not chunk:
            return opcodes, time.monotonic() - started
        buf += chunk
        while len(buf) >= 2:
            length = buf[1] & 0x7F
            offset = 2
            if length == 126:
                if len(buf) < 4:
                    break
                length, offset = struct.unpack("!H", buf[2:4])[0], 4
            if len(buf) < offset + length:
                break
            opcodes.append(buf[0] & 0x0F)
            buf = buf[offset + length:]
    return opcodes, None


def silent_client(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = sock.recv(1)
        assert chunk
        head += chunk
    assert head.startswith(b"HTTP/1.1 101 ")
    return sock


def test_silent_client_is_closed_and_a_normal_one_stays():
    with QuillonServer("--heartbeat", "1", "--heartbeat-timeout", "2") as server:
        async def normal_client(done):
            # The client library answers pings by itself; it sends none of its own here.
            async with websockets.connect(server.ws_url, ping_interval=None) as ws:
                n = 0
                while not done.is_set():
                    await ws.send(f"alive {n}")
                    assert await asyncio.wait_for(ws.recv(), 10) == f"alive {n}"
                    n += 1
                    await asyncio.sleep(0.2)
                assert ws.open
                return n

        async def scenario():
            done = asyncio.Event()
            task = asyncio.create_task(normal_client(done))
            await asyncio.sleep(0.3)
            sock = silent_client(server.port)
            try:
                opcodes, closed_after = await asyncio.to_thread(read_frames_until_closed,
                                                                sock, 15)
            finally:
                sock.close()
            # It got pings (opcode 9), maybe a close frame (8), and then the connection ended
            # a few seconds after its first unanswered ping.
            assert 0x9 in opcodes, opcodes
            assert set(opcodes) <= {0x8, 0x9}, opcodes
            assert closed_after is not None, f"still open after 15 s; frames {opcodes}"
            assert 1.5 <= closed_after <= 10, closed_after
            # The normal client lived through the same time-out checks.
            await asyncio.sleep(2.5)
            done.set()
            return await task

        messages = asyncio.run(asyncio.wait_for(scenario(), 60))
        assert messages > 10


def test_without_a_time_out_pings_go_on_and_nobody_is_closed():
    with QuillonServer("--heartbeat", "1") as server:
        sock = silent_client(server.port)
        try:
            opcodes, closed_after = read_frames_until_closed(sock, 4.5)
        finally:
            sock.close()
        assert closed_after is None
        assert opcodes.count(0x9) >= 3, opcodes
