"""quillon-server with 200 clients that vanish abruptly (reset right after the upgrade, in the
middle of a frame, in the middle of the handshake, half-closed, or before saying anything)
while other clients keep echoing: every echo stays correct, half-closed peers are let go, and
the server still answers afterwards and exits cleanly (the dev build checks for leaks)."""
import asyncio
import base64
import os
import socket
import struct
import time

import requests
import websockets

from quillon_host import QuillonServer

ABRUPT_CLIENTS = 200
KINDS = ["rst-after-upgrade", "rst-mid-frame", "fin-mid-frame", "rst-mid-handshake",
         "half-close", "silent"]


def upgrade_request(port):
    key = base64.b64encode(os.urandom(16)).decode()
    return (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
            "Sec-WebSocket-Version: 13\r\n\r\n").encode()


def masked_frame_head(opcode, length):
    """Head of a masked final frame that announces `length` payload bytes, and its mask."""
    mask = os.urandom(4)
    if length < 126:
        head = bytes([0x80 | opcode, 0x80 | length])
    elif length < 65536:
        head = bytes([0x80 | opcode, 0x80 | 126]) + struct.pack("!H", length)
    else:
        head = bytes([0x80 | opcode, 0x80 | 127]) + struct.pack("!Q", length)
    return head + mask


def reset(sock):
    # Linger with a zero time-out: close() sends RST instead of FIN.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


async def vanish(loop, port, kind, half_closed):
    sock = socket.socket()
    sock.setblocking(False)
    try:
        await loop.sock_connect(sock, ("127.0.0.1", port))
        if kind == "silent":
            reset(sock)
            return
        request = upgrade_request(port)
        if kind == "rst-mid-handshake":
            await loop.sock_sendall(sock, request[:len(request) // 2])
            await asyncio.sleep(0.01)
            reset(sock)
            return
        await loop.sock_sendall(sock, request)
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = await asyncio.wait_for(loop.sock_recv(sock, 4096), 20)
            assert chunk, "closed during the handshake"
            head += chunk
        assert head.startswith(b"HTTP/1.1 101 "), head
        if kind == "rst-after-upgrade":
            reset(sock)
        elif kind in ("rst-mid-frame", "fin-mid-frame"):
            # Announce 100 kB, send a part of it, then go.
            await loop.sock_sendall(sock, masked_frame_head(0x2, 100000) + os.urandom(3000))
            await asyncio.sleep(0.01)
            if kind == "rst-mid-frame":
                reset(sock)
            else:
                sock.close()
        elif kind == "half-close":
            sock.shutdown(socket.SHUT_WR)
            half_closed.append(sock)
            sock = None
    finally:
        if sock is not None and sock.fileno() >= 0:
            sock.close()


async def echo_loop(url, stop, counts):
    async with websockets.connect(url, max_size=None) as ws:
        n = 0
        while not stop.is_set():
            payload = os.urandom(n % 5000 + 1) if n % 2 else f"echo {n} \u00e9" * (n % 50 + 1)
            await ws.send(payload)
            assert await asyncio.wait_for(ws.recv(), 20) == payload
            n += 1
        counts.append(n)


async def peer_closed(loop, sock, deadline):
    """True when the server ends its side of a connection whose client half-closed; a close
    frame may come first, so read to the end of the stream."""
    while True:
        try:
            data = await asyncio.wait_for(loop.sock_recv(sock, 4096),
                                          max(0.01, deadline - time.monotonic()))
        except asyncio.TimeoutError:
            return False
        except ConnectionError:
            return True
        if not data:
            return True


def test_abrupt_clients_do_not_disturb_the_others():
    with QuillonServer("--echo-binary", threads=4) as server:
        async def scenario():
            loop = asyncio.get_running_loop()
            stop = asyncio.Event()
            counts = []
            half_closed = []
            echoes = [asyncio.create_task(echo_loop(server.ws_url, stop, counts))
                      for _ in range(5)]
            limit = asyncio.Semaphore(40)

            async def one(i):
                async with limit:
                    await vanish(loop, server.port, KINDS[i % len(KINDS)], half_closed)

            started = time.monotonic()
            await asyncio.gather(*(one(i) for i in range(ABRUPT_CLIENTS)))
            # Keep the echo clients going a moment after the last vanishing client.
            await asyncio.sleep(0.5)
            stop.set()
            await asyncio.gather(*echoes)
            assert len(counts) == 5 and min(counts) >= 20, counts
            assert time.monotonic() - started < 60

            # A client that half-closes its side has gone: the server ends the connection.
            deadline = time.monotonic() + 15
            results = await asyncio.gather(*(peer_closed(loop, s, deadline)
                                             for s in half_closed))
            for s in half_closed:
                s.close()
            assert half_closed and all(results), results

            # The server still serves WebSocket and plain HTTP.
            async with websockets.connect(server.ws_url) as ws:
                await ws.send("still here")
                assert await ws.recv() == "still here"

        asyncio.run(asyncio.wait_for(scenario(), 120))
        r = requests.get(server.base + "/Quillon.js", timeout=10)
        assert r.status_code == 200 and "Quillon" in r.text
        assert server.alive()
