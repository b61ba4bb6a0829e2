"""quillon-server's echo with real clients: Python websockets and Node ws, text, binary,
fragmented and 1 MiB messages, with and without permessage-deflate; deflate-frame over a raw
socket; invalid UTF-8 refused when asked to check it."""
import asyncio
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import time
import zlib

import pytest
import websockets
from websockets.frames import OP_TEXT

from quillon_host import QuillonServer
from ws_raw import client_frame, read_frame, read_head

NODE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node")
MiB = 1 << 20


def run(coro, timeout=90):
    return asyncio.run(asyncio.wait_for(coro, timeout))


@pytest.fixture(scope="module")
def echo_server():
    # --clean-disconnect: the server answers a close with its own close frame.
    with QuillonServer("--echo-binary", "--permessage-deflate", "--clean-disconnect") as server:
        yield server


@pytest.mark.parametrize("compression", [None, "deflate"])
def test_python_websockets_echo(echo_server, compression):
    async def scenario():
        async with websockets.connect(echo_server.ws_url, compression=compression,
                                      max_size=None) as ws:
            offered = ws.response_headers.get("Sec-WebSocket-Extensions", "")
            assert ("permessage-deflate" in offered) == (compression == "deflate")

            text = "h\u00e9llo \u2713 \U0001F600"
            await ws.send(text)
            assert await ws.recv() == text
            data = os.urandom(1000)
            await ws.send(data)
            assert await ws.recv() == data
            # One message in three frames, text and binary.
            await ws.send(["part one, ", "part two, ", "part three"])
            assert await ws.recv() == "part one, part two, part three"
            await ws.send([b"\x00\x01", b"\x02", b"\xff" * 300])
            assert await ws.recv() == b"\x00\x01\x02" + b"\xff" * 300
            # 1 MiB each way: random bytes, and text that does not compress to nothing.
            big_text = base64.b64encode(os.urandom(3 * MiB // 4)).decode()
            assert len(big_text) == MiB
            await ws.send(big_text)
            assert await ws.recv() == big_text
            big = os.urandom(MiB)
            await ws.send(big)
            assert await ws.recv() == big
            # Empty messages are messages too.
            await ws.send("")
            assert await ws.recv() == ""
            # Many in flight: all back, in order.
            for i in range(300):
                await ws.send(f"burst {i}")
            assert [await ws.recv() for _ in range(300)] == [f"burst {i}" for i in range(300)]
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, 10)

            started = time.monotonic()
            await ws.close(1000, "bye")
            assert ws.close_code == 1000
            assert time.monotonic() - started < 5

    run(scenario())


def test_parallel_clients_each_get_their_own_echo(echo_server):
    async def client(n):
        async with websockets.connect(echo_server.ws_url, max_size=None) as ws:
            for i in range(50):
                msg = f"client {n} message {i}"
                await ws.send(msg)
                assert await ws.recv() == msg
            payload = os.urandom(64 * 1024)
            await ws.send(payload)
            assert await ws.recv() == payload

    async def scenario():
        await asyncio.gather(*(client(n) for n in range(20)))

    run(scenario())


@pytest.mark.parametrize("compression", [None, "deflate"])
def test_pipelined_messages_come_back_whole_and_in_order(echo_server, compression):
    # Sent without waiting, so that many frames arrive in one read and their answers leave
    # together; sizes on both sides of what is answered together, and compressed with the
    # history carried from message to message, which only survives frames kept in order.
    sizes = [1, 30, 200, 5000, 70 * 1024, 3, 64 * 1024, 64 * 1024 + 1, 17, 100 * 1024]
    messages = []
    for i in range(150):
        n = sizes[i % len(sizes)]
        body = base64.b64encode(os.urandom(n))[:n].decode() if i % 3 else "a" * n
        messages.append(f"{i}:{body}")

    async def scenario():
        async with websockets.connect(echo_server.ws_url, compression=compression,
                                      max_size=None) as ws:
            async def send_all():
                for m in messages:
                    await ws.send(m)
            sender = asyncio.ensure_future(send_all())
            for m in messages:
                assert await ws.recv() == m
            await sender

    run(scenario())


@pytest.mark.skipif(shutil.which("node") is None, reason="node is not installed")
@pytest.mark.parametrize("deflate", ["0", "1"])
def test_node_ws_echo(echo_server, deflate):
    if not os.path.isdir(os.path.join(NODE_DIR, "node_modules", "ws")):
        pytest.skip("run scripts/install-deps.sh for the Node modules")
    out = subprocess.run(["node", os.path.join(NODE_DIR, "quillon_echo_client.js"),
                          echo_server.ws_url, deflate],
                         capture_output=True, text=True, timeout=120)
    lines = out.stdout.strip().splitlines()
    assert lines, out.stderr
    result = json.loads(lines[-1])
    assert "error" not in result, result["error"]
    assert result["extensions"] == ("permessage-deflate" if deflate == "1" else "")
    for check in ("text", "binary", "fragmented", "big_text", "big_binary", "burst_in_order"):
        assert result[check] is True, check
    assert result["pong"] == "are you there"
    assert result["close"]["code"] == 1000 and result["close"]["ms"] < 5000


def test_without_options_text_only_and_no_compression():
    with QuillonServer() as server:
        async def scenario():
            async with websockets.connect(server.ws_url, compression="deflate") as ws:
                assert "Sec-WebSocket-Extensions" not in ws.response_headers
                # Binary is not echoed without --echo-binary: the next reply is the text.
                await ws.send(b"\x01\x02\x03")
                await ws.send("plain")
                assert await ws.recv() == "plain"
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(ws.recv(), 0.5)
        run(scenario())


@pytest.mark.parametrize("clean", [False, True])
def test_closes_end_the_connection_promptly(clean):
    # Without --clean-disconnect the server drops the TCP connection without a close frame
    # (clients report 1006); with it, they get the close handshake. Either way no client is
    # left waiting for its close time-out.
    flags = ["--validate-utf8"] + (["--clean-disconnect"] if clean else [])
    with QuillonServer(*flags) as server:
        async def scenario():
            async with websockets.connect(server.ws_url, close_timeout=10) as ws:
                started = time.monotonic()
                await ws.close(1000, "bye")
                assert time.monotonic() - started < 5
                assert ws.close_code == (1000 if clean else 1006)

            async with websockets.connect(server.ws_url, close_timeout=10) as ws:
                await ws.send("valid \u00e9")
                assert await ws.recv() == "valid \u00e9"
                started = time.monotonic()
                await ws.write_frame(True, OP_TEXT, b"h\xc3\x28")
                with pytest.raises(websockets.ConnectionClosed) as info:
                    await ws.recv()
                await ws.wait_closed()
                assert time.monotonic() - started < 5
                if clean:
                    assert info.value.rcvd is not None and info.value.rcvd.code == 1007
                else:
                    assert info.value.rcvd is None
            # The server is still there for the next client.
            async with websockets.connect(server.ws_url) as ws:
                await ws.send("again")
                assert await ws.recv() == "again"
        run(scenario())


# ---- deflate-frame over a raw socket (no stock client speaks it) ----

def test_deflate_frame_both_ways():
    with QuillonServer("--deflate-frame", "--clean-disconnect") as server:
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as sock:
            key = base64.b64encode(os.urandom(16)).decode()
            sock.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{server.port}\r\n"
                          "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                          f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n\r\n").encode())
            head = read_head(sock)
            assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
            assert b"x-webkit-deflate-frame" in head

            inflate = zlib.decompressobj(-15)
            for text in (b"compressed hello", b"compressed hello again " * 20):
                deflate = zlib.compressobj(wbits=-15)
                payload = deflate.compress(text) + deflate.flush(zlib.Z_SYNC_FLUSH)
                assert payload.endswith(b"\x00\x00\xff\xff")
                sock.sendall(client_frame(0x80 | 0x40 | 0x1, payload[:-4]))
                b0, data = read_frame(sock)
                assert b0 & 0x0F == 0x1
                assert b0 & 0x40, "the echo is compressed"
                assert inflate.decompress(data + b"\x00\x00\xff\xff") == text
            # An uncompressed frame is still fine on a deflate-frame connection.
            sock.sendall(client_frame(0x81, b"not compressed"))
            b0, data = read_frame(sock)
            text = inflate.decompress(data + b"\x00\x00\xff\xff") if b0 & 0x40 else data
            assert text == b"not compressed"
            sock.sendall(client_frame(0x88, struct.pack("!H", 1000)))
            b0, data = read_frame(sock)
            assert b0 & 0x0F == 0x8 and data[:2] == struct.pack("!H", 1000)
