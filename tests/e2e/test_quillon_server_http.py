"""quillon-server over plain HTTP with requests and curl: the built-in documents with their
placeholders filled, the scripts put in front of the library by the fall-back options, the
movie, the options that turn documents off, unknown paths, and refused WebSocket handshakes,
which always get an explicit status, never an empty reply."""
import asyncio
import base64
import os
import re
import subprocess

import pytest
import requests
import websockets

from quillon_host import QuillonServer, raw_request

SOURCE = os.environ.get("QUILLON_SOURCE",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
RESOURCES = os.path.join(SOURCE, "resources")


def resource(name):
    with open(os.path.join(RESOURCES, name), "rb") as f:
        return f.read()


def filled(name, port, ssl=""):
    """The document as the server should send it: placeholders (any letter case) filled."""
    text = resource(name).decode()
    for key, value in (("host", "127.0.0.1"), ("port", str(port)), ("ssl", ssl)):
        text = re.sub(re.escape("{%" + key + "%}"), value, text, flags=re.IGNORECASE)
    return text


@pytest.fixture(scope="module")
def plain():
    with QuillonServer() as server:
        yield server


def test_library_and_test_page(plain):
    r = requests.get(plain.base + "/Quillon.js", timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/javascript"
    assert r.headers["Server"] == "Quillon 4.4.6"
    assert r.text == filled("Quillon.js", plain.port) + "\r\n"
    assert f"'ws://127.0.0.1:{plain.port}/'" in r.text

    r = requests.get(plain.base + "/Quillon.html", timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/html; charset=utf-8"
    assert r.text == filled("Quillon.html", plain.port) + "\r\n"
    assert "{%" not in r.text
    assert f'<script src="http://127.0.0.1:{plain.port}/Quillon.js">' in r.text
    assert f'value="ws://127.0.0.1:{plain.port}"' in r.text

    # The other two scripts on their own, the name matched in any case under any folder.
    for path, name in (("/QuillonEventSource.js", "QuillonEventSource.js"),
                       ("/QuillonFlash.js", "QuillonFlash.js"),
                       ("/some/folder/QUILLON.JS", "Quillon.js")):
        r = requests.get(plain.base + path, timeout=10)
        assert r.status_code == 200, path
        assert r.text == filled(name, plain.port) + "\r\n", path


def test_movie_over_curl(plain):
    out = subprocess.run(["curl", "-s", "-D", "-", "-o", "-", plain.base + "/WebSocketMain.swf"],
                         capture_output=True, timeout=30)
    head, _, body = out.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK")
    assert b"\r\nContent-Type: application/x-shockwave-flash" in head
    assert body == resource("WebSocketMain.swf")
    assert body[:3] in (b"FWS", b"CWS")


@pytest.mark.parametrize("request_line,status", [
    # Paths nothing serves go to the web module, which sends them to "/"; missing files of
    # the types it serves are 404.
    ("GET /nothing/here HTTP/1.1", b"HTTP/1.1 302 Moved Temporarily\r\n"),
    ("GET /nothing.js HTTP/1.1", b"HTTP/1.1 404 Not Found\r\n"),
    ("GET /nothing.html HTTP/1.1", b"HTTP/1.1 404 Not Found\r\n"),
    ("GET /favicon.ico HTTP/1.1", b"HTTP/1.1 302 Moved Temporarily\r\n"),
    ("POST /form HTTP/1.1", b"HTTP/1.1 302 Moved Temporarily\r\n"),
    ("GET /lum/xhr/0123456789ABCDEF0123456789ABCDEF HTTP/1.1",  # no such stream
     b"HTTP/1.1 302 Moved Temporarily\r\n"),
])
def test_unknown_paths_get_an_explicit_answer(plain, request_line, status):
    answer = raw_request(plain.port, f"{request_line}\r\nHost: 127.0.0.1\r\n"
                         "Content-Length: 0\r\n\r\n")
    assert answer.startswith(status), answer


@pytest.mark.parametrize("flags,scripts", [
    (["--sse"], ["QuillonEventSource.js", "Quillon.js"]),
    (["--flash"], ["QuillonFlash.js", "Quillon.js"]),
    (["--sse", "--flash"], ["QuillonEventSource.js", "QuillonFlash.js", "Quillon.js"]),
])
def test_fall_back_transports_come_before_the_library(flags, scripts):
    with QuillonServer(*flags) as server:
        r = requests.get(server.base + "/Quillon.js", timeout=10)
        assert r.status_code == 200
        assert r.text == "".join(filled(name, server.port) + "\r\n" for name in scripts)
        # Asked for by its own name, a transport script comes alone.
        r = requests.get(server.base + "/" + scripts[0], timeout=10)
        assert r.text == filled(scripts[0], server.port) + "\r\n"


@pytest.mark.parametrize("flag,gone,kept", [
    ("--no-html-files", ["/Quillon.html"], ["/Quillon.js", "/WebSocketMain.swf"]),
    ("--no-js-files", ["/Quillon.js", "/QuillonFlash.js"], ["/Quillon.html"]),
])
def test_documents_can_be_turned_off(flag, gone, kept):
    with QuillonServer(flag) as server:
        for path in gone:
            r = requests.get(server.base + path, timeout=10)
            assert r.status_code == 404, path
            assert r.headers["Server"] == "Quillon 4.4.6"
        for path in kept:
            assert requests.get(server.base + path, timeout=10).status_code == 200, path


def upgrade(port, *headers, key=True, protocols="websocket"):
    lines = ["GET / HTTP/1.1", f"Host: 127.0.0.1:{port}", f"Upgrade: {protocols}",
             "Connection: Upgrade"]
    if key:
        lines.append("Sec-WebSocket-Key: " + base64.b64encode(os.urandom(16)).decode())
    lines += headers
    return raw_request(port, "\r\n".join(lines) + "\r\n\r\n", head_only=True)


@pytest.mark.parametrize("headers,key,protocols", [
    (["Sec-WebSocket-Version: 13"], False, "websocket"),
    (["X-Sec-WebSocket-Version: 13"], True, "websocket"),
    (["Sec-WebSocket-Version: 13", "Sec-WebSocket-Origin: http://a"], True, "websocket"),
    (["Sec-WebSocket-Version: 13", "X-Forwarded-Host: elsewhere"], True, "websocket"),
    (["Sec-WebSocket-Version: 13", "Sec-WebSocket-Protocol: chat"], True, "websocket"),
    (["Sec-WebSocket-Version: 13"], True, "websocket, h2c"),
], ids=["no-key", "bad-version-line", "origin-line", "host-line", "unregistered-sub-protocol",
        "websocket-not-last"])
def test_refused_handshakes_get_400(plain, headers, key, protocols):
    answer = upgrade(plain.port, *headers, key=key, protocols=protocols)
    assert answer.startswith(b"HTTP/1.1 400 Bad Request\r\n"), answer
    assert b"Connection: close" in answer
    assert b"Sec-WebSocket-Accept" not in answer


@pytest.mark.parametrize("version", ["13", "8"])
def test_accepted_handshake(plain, version):
    answer = upgrade(plain.port, f"Sec-WebSocket-Version: {version}")
    assert answer.startswith(b"HTTP/1.1 101 Switching Protocols\r\n"), answer


def test_origins_are_checked():
    with QuillonServer("--origins", "http://good.example,*.trusted.test") as server:
        async def status(origin):
            try:
                async with websockets.connect(server.ws_url, origin=origin) as ws:
                    await ws.send("hi")
                    assert await ws.recv() == "hi"
                    return 101
            except websockets.InvalidStatusCode as e:
                return e.status_code

        async def scenario():
            return [await status(o) for o in
                    ("http://good.example", "https://shop.trusted.test", None,
                     "http://evil.example", "http://good.example.evil")]

        assert asyncio.run(asyncio.wait_for(scenario(), 60)) == [101, 101, 101, 400, 400]
        # The refusal is a complete answer, not a dropped connection.
        answer = upgrade(server.port, "Sec-WebSocket-Version: 13", "Origin: http://evil.example")
        assert answer.startswith(b"HTTP/1.1 400 Bad Request\r\n"), answer
