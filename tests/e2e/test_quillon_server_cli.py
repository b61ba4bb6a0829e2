"""quillon-server's command line: usage errors, the "listening" lines, echo with and without
binary, channel messages from the browser library, plain HTTP answers, a clean stop on
SIGTERM and SIGINT, and an activation error."""
import asyncio
import json
import os
import signal
import socket
import subprocess
import time

import pytest
import requests
import websockets

BIN = os.path.join(os.environ.get("QUILLON_BIN", "../../build/dev/bin"), "quillon-server")

pytestmark = pytest.mark.skipif(not os.path.exists(BIN), reason="quillon-server is not built")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, *args):
        self.port = free_port()
        self.proc = subprocess.Popen([BIN, "--port", str(self.port), "--threads", "4", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.lines = []
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.lines.append(line.rstrip("\n"))
            if line.startswith("listening "):
                return
        raise AssertionError(f"no listening line: {self.lines} {self.proc.stderr.read()}")

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=15)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def server(request):
    s = Server(*getattr(request, "param", ()))
    yield s
    if s.proc.poll() is None:
        s.stop()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 15))


@pytest.mark.parametrize("args, message", [
    (["--no-such-flag"], "unknown option --no-such-flag"),
    (["--port"], "--port needs a valid value"),
    (["--port", "70000"], "--port needs a valid value"),
    (["--fragmented", "sometimes"], "--fragmented needs a valid value"),
])
def test_usage_errors_exit_2(args, message):
    done = subprocess.run([BIN, *args], capture_output=True, text=True, timeout=15)
    assert done.returncode == 2
    assert message in done.stderr


def test_help_lists_the_flags():
    done = subprocess.run([BIN, "--help"], capture_output=True, text=True, timeout=15)
    assert done.returncode == 0
    for flag in ("--host", "--port", "--ssl", "--echo-binary", "--heartbeat-timeout", "--root"):
        assert flag in done.stdout
    assert "exit 2" in done.stdout


def test_listening_line_echo_and_plain_http(server):
    assert server.lines == [f"listening http://127.0.0.1:{server.port}/"]

    async def talk():
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/") as ws:
            await ws.send("Test")
            assert await ws.recv() == "Test"
            await ws.send(b"\x00\x01")  # not echoed without --echo-binary
            await ws.send("after")
            assert await ws.recv() == "after"
    run(talk())
    r = requests.get(f"http://127.0.0.1:{server.port}/nothing", timeout=10, allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/"
    r = requests.get(f"http://127.0.0.1:{server.port}/Quillon.js", timeout=10)
    assert r.status_code == 200 and "Quillon" in r.text
    assert server.stop() == 0


@pytest.mark.parametrize("server", [("--echo-binary", "--permessage-deflate")], indirect=True)
def test_binary_echo_with_compression(server):
    async def talk():
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/",
                                      compression="deflate", max_size=None) as ws:
            assert ws.response_headers.get("Sec-WebSocket-Extensions", "").startswith(
                "permessage-deflate")
            payload = bytes(range(256)) * 4096  # 1 MiB
            await ws.send(payload)
            assert await ws.recv() == payload
    run(talk())


def test_channel_messages_are_not_echoed(server):
    async def talk():
        async with websockets.connect(f"ws://127.0.0.1:{server.port}/") as ws:
            await ws.send(json.dumps({"lum": "subscribe", "channels": "a,b"}))
            await ws.send(json.dumps({"lum": "unsubscribe", "channels": "a"}))
            await ws.send("plain")
            assert await ws.recv() == "plain"
    run(talk())


def test_sigint_also_stops_cleanly_with_open_connections(server):
    async def talk():
        ws = await websockets.connect(f"ws://127.0.0.1:{server.port}/")
        assert server.stop(signal.SIGINT) == 0
        with pytest.raises(websockets.ConnectionClosed):
            await ws.recv()
    run(talk())


def test_activation_error_exits_1():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        done = subprocess.run([BIN, "--port", str(port)], capture_output=True, text=True,
                              timeout=15)
    assert done.returncode == 1
    assert done.stderr.strip() and "listening" not in done.stdout


def test_tls_without_hash_is_an_activation_error():
    done = subprocess.run([BIN, "--port", str(free_port()), "--ssl"], capture_output=True,
                          text=True, timeout=15)
    assert done.returncode == 1
    assert "Error SSL Hash not found." in done.stderr
