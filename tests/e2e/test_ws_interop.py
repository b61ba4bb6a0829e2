"""WebSocket echo over the HTTP Server API connection against real clients: Python websockets
and Node ws, each with and without permessage-deflate, plus deflate-frame over a raw socket."""
import asyncio
import base64
import json
import os
import shutil
import socket
import subprocess
import time
import zlib

import pytest
import websockets
from websockets.frames import OP_TEXT

from ws_raw import client_frame, read_frame, read_head

TEST_BIN = os.environ.get("QUILLON_TEST_BIN", "")
SOURCE = os.environ.get("QUILLON_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
HOST = os.path.join(TEST_BIN, "ws_echo_host")
NODE_DIR = os.path.join(SOURCE, "tests", "e2e", "node")
LIMIT = 1536 * 1024  # above the 1 MiB messages, below the oversized one
MiB = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(*flags):
    port = free_port()
    proc = subprocess.Popen([HOST, "--port", str(port), *flags], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    assert line.startswith("ready"), proc.stderr.read()
    return proc, port


def stop(proc):
    proc.terminate()
    # A leak or a crash at shutdown (the dev build checks leaks at exit) fails here.
    code = proc.wait(timeout=20)
    assert code == 0, proc.stderr.read()


@pytest.fixture(scope="module")
def host():
    proc, port = start("--permessage-deflate", "--max-message-size", str(LIMIT))
    yield port
    stop(proc)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 60))


@pytest.mark.parametrize("compression", [None, "deflate"])
def test_python_websockets_echo(host, compression):
    url = f"ws://127.0.0.1:{host}/echo"

    async def scenario():
        async with websockets.connect(url, compression=compression, max_size=None) as ws:
            offered = ws.response_headers.get("Sec-WebSocket-Extensions", "")
            assert ("permessage-deflate" in offered) == (compression == "deflate")

            text = "h\u00e9llo \u2713 \U0001F600"
            await ws.send(text)
            assert await ws.recv() == text
            data = os.urandom(1000)
            await ws.send(data)
            assert await ws.recv() == data
            await ws.send(["part one, ", "part two"])  # one message in two frames
            assert await ws.recv() == "part one, part two"
            await ws.send("y" * MiB)
            assert await ws.recv() == "y" * MiB
            big = os.urandom(MiB)
            await ws.send(big)
            assert await ws.recv() == big
            pong = await ws.ping(b"are you there")
            await asyncio.wait_for(pong, 10)

            started = time.monotonic()
            await ws.close(4000, "bye")
            assert time.monotonic() - started < 2
            assert ws.close_code == 1000

    run(scenario())


@pytest.mark.parametrize("compression", [None, "deflate"])
def test_python_websockets_close_codes(host, compression):
    url = f"ws://127.0.0.1:{host}/"

    async def closed_by_server(send):
        async with websockets.connect(url, compression=compression, max_size=None) as ws:
            started = time.monotonic()
            await send(ws)
            with pytest.raises(websockets.ConnectionClosed) as info:
                await ws.recv()
            # The server ends the TCP connection after its close frame: no 10 s wait.
            await ws.wait_closed()
            assert time.monotonic() - started < 2
            return info.value.rcvd.code

    async def scenario():
        assert await closed_by_server(lambda ws: ws.send("close:4001")) == 4001
        assert await closed_by_server(lambda ws: ws.write_frame(True, OP_TEXT, b"h\xc3\x28")) == 1007
        assert await closed_by_server(lambda ws: ws.send(b"a" * (2 * MiB))) == 1009

    run(scenario())


@pytest.mark.skipif(shutil.which("node") is None, reason="node is not installed")
@pytest.mark.parametrize("deflate", ["0", "1"])
def test_node_ws(host, deflate):
    if not os.path.isdir(os.path.join(NODE_DIR, "node_modules", "ws")):
        pytest.skip("run scripts/install-deps.sh for the Node modules")
    out = subprocess.run(["node", os.path.join(NODE_DIR, "ws_client.js"),
                          f"ws://127.0.0.1:{host}/", deflate],
                         capture_output=True, text=True, timeout=120)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    assert "error" not in result, result["error"]
    assert result["extensions"] == ("permessage-deflate" if deflate == "1" else "")
    for check in ("text", "binary", "fragmented", "big_text", "big_binary"):
        assert result[check] is True, check
    assert result["pong"] == "are you there"
    assert result["client_close"]["code"] == 1000 and result["client_close"]["ms"] < 2000
    assert result["server_close"]["code"] == 4001 and result["server_close"]["ms"] < 2000
    assert result["invalid_utf8"] == 1007
    assert result["oversized"] == 1009


def test_without_the_option_nothing_is_negotiated():
    proc, port = start()
    try:
        async def scenario():
            async with websockets.connect(f"ws://127.0.0.1:{port}/", compression="deflate") as ws:
                assert "Sec-WebSocket-Extensions" not in ws.response_headers
                await ws.send("plain")
                assert await ws.recv() == "plain"
        run(scenario())
    finally:
        stop(proc)


# ---- deflate-frame over a raw socket (no stock client speaks it) ----

def test_deflate_frame_both_ways():
    proc, port = start("--deflate-frame")
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            key = base64.b64encode(os.urandom(16)).decode()
            sock.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                          f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                          "Sec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Extensions: x-webkit-deflate-frame\r\n\r\n").encode())
            head = read_head(sock)
            assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
            assert b"x-webkit-deflate-frame" in head

            inflate = zlib.decompressobj(-15)
            for text in (b"compressed hello", b"compressed hello again"):
                deflate = zlib.compressobj(wbits=-15)
                payload = deflate.compress(text) + deflate.flush(zlib.Z_SYNC_FLUSH)
                assert payload.endswith(b"\x00\x00\xff\xff")
                sock.sendall(client_frame(0x80 | 0x40 | 0x1, payload[:-4]))
                b0, data = read_frame(sock)
                assert b0 & 0x40, "the echo is compressed"
                assert inflate.decompress(data + b"\x00\x00\xff\xff") == text
    finally:
        stop(proc)
