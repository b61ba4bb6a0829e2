"""quillon-server's command line: usage errors, the "listening" lines, echo with and without
binary, channel messages from the browser library, plain HTTP answers, a clean stop on
SIGTERM and SIGINT, and an activation error."""
import asyncio
import json
import os
import select
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


# Every flag of the command line with a valid value (None: a switch).
FLAGS = [
    ("--host", "127.0.0.1"), ("--port", "5420"), ("--ssl", None), ("--hash", "AB"),
    ("--cert-store", "MY"), ("--oauth2", None), ("--app-name", "A"), ("--redirect-uri", "http://x/"),
    ("--client-id", "c"), ("--client-secret", "s"), ("--oauth2-expires-in", "60"), ("--auth", None),
    ("--auth-user", "u=p"), ("--allow-non-auth", None), ("--auth-basic", None),
    ("--no-auth-url", None), ("--no-auth-session", None), ("--origins", "*"),
    ("--permessage-deflate", None), ("--deflate-frame", None), ("--validate-utf8", None),
    ("--clean-disconnect", None), ("--fragmented", "all"), ("--echo-binary", None),
    ("--flash", None), ("--sse", None), ("--sse-retry", "5"), ("--no-html-files", None),
    ("--no-js-files", None), ("--heartbeat", "5"), ("--heartbeat-timeout", "5"),
    ("--log-file", "/tmp/x.log"), ("--threads", "2"), ("--max-connections", "10"),
    ("--max-bandwidth", "1000000"), ("--read-buffer-size", "4096"), ("--asynchronous", None),
    ("--root", "/tmp"),
]


def test_help_lists_every_flag_and_each_is_accepted():
    done = subprocess.run([BIN, "--help"], capture_output=True, text=True, timeout=15)
    assert done.returncode == 0
    missing = [flag for flag, _ in FLAGS if flag not in done.stdout]
    assert not missing, f"--help does not explain {missing}"
    assert "exit 2" in done.stdout
    # Parsed left to right: all of them before --help must pass the parser (exit 0, not 2).
    args = [a for flag, value in FLAGS for a in ([flag] if value is None else [flag, value])]
    done = subprocess.run([BIN, *args, "--help"], capture_output=True, text=True, timeout=15)
    assert done.returncode == 0, done.stderr


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


def activate(args, env=None):
    """Runs quillon-server with `args` on a free port. Once it is listening, fetches Quillon.js
    through the first printed prefix and stops it with SIGTERM. Returns (exit code, stdout,
    stderr, status of that fetch or None, the port)."""
    port = free_port()
    proc = subprocess.Popen([BIN, "--port", str(port), "--threads", "2", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    status = None
    try:
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        line = proc.stdout.readline() if ready else ""
        if line.startswith("listening "):
            status = requests.get(line.split(" ", 1)[1].strip() + "Quillon.js",
                                  timeout=10).status_code
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, line + out, err, status, port


THUMB = "0123456789ABCDEF0123456789ABCDEF01234567"


# Each row: the flags (PORT, STORE and MISSING stand for the port in use, an empty certificate
# store and a store folder that does not exist), the exit code, and the words a person needs.
@pytest.mark.parametrize("args, code, words", [
    (["--port", "PORT"], 1,
     ["cannot listen on http://127.0.0.1:PORT/: The process cannot access the file because it "
      "is being used by another process.", "--port N"]),
    (["--host", "192.0.2.1"], 1,
     ["cannot listen on http://192.0.2.1:", "/: The requested address is not valid in its "
      "context.", "192.0.2.1 is not an address of this machine", "--host"]),
    (["--host", "localhost:80"], 1,
     ["cannot listen on http://localhost:80:", "The parameter is incorrect.", "without a port"]),
    (["--ssl", "--hash", "ABCD", "--cert-store", "STORE"], 1,
     ['no certificate with thumbprint ABCD in certificate store "STORE" (folder STORE): '
      "The parameter is incorrect.", "40 hexadecimal digits", "quillon-cert --store STORE "
      "127.0.0.1", "--hash"]),
    (["--ssl", "--hash", THUMB, "--cert-store", "STORE"], 1,
     [f'no certificate with thumbprint {THUMB} in certificate store "STORE" (folder STORE): ',
      "quillon-cert --store STORE 127.0.0.1"]),
    (["--ssl", "--hash", THUMB, "--cert-store", "MISSING"], 1,
     ['certificate store "MISSING" not found (no folder MISSING), looking for certificate '
      f"{THUMB}: The system cannot find the path specified.", "quillon-cert --store MISSING"]),
    (["--ssl"], 1, ["Error SSL Hash not found.", "quillon-cert 127.0.0.1"]),
    (["--host", "::1"], 0, ["listening http://[::1]:PORT/"]),
    (["--host", "[::1]"], 0, ["listening http://[::1]:PORT/"]),
], ids=["port-in-use", "address-not-local", "host-with-port", "malformed-thumbprint",
        "certificate-not-in-store", "store-folder-missing", "tls-without-hash", "ipv6-bare",
        "ipv6-bracketed"])
def test_activation_errors_say_what_and_where(args, code, words, tmp_path):
    store = tmp_path / "store"
    store.mkdir()
    missing = str(tmp_path / "no-such-store")
    held = socket.socket()
    held.bind(("127.0.0.1", 0))
    held.listen(1)
    held_port = str(held.getsockname()[1])

    def fill(text, port):
        return (text.replace("MISSING", missing).replace("STORE", str(store))
                .replace("PORT", str(port)))
    try:
        if "PORT" in args:
            # The port is given twice; the last --port wins, which is the one held.
            returncode, out, err, status, _ = activate([a.replace("PORT", held_port) for a in args])
            port = held_port
        else:
            returncode, out, err, status, port = activate([fill(a, 0) for a in args])
    finally:
        held.close()
    assert returncode == code, err
    text = out + err
    for word in words:
        assert fill(word, port) in text, text
    if code == 0:
        assert status == 200 and err == ""
    else:
        assert "listening" not in out and err.startswith("quillon-server: ")
        # Nothing of the failed activation stays bound.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", int(port)))
