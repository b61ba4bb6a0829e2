"""quillon-server over TLS with a certificate made by quillon-cert in a temporary store: wss
echo with a client that verifies the certificate, the documents over https with their
placeholders for TLS, curl, clients that give up during the TLS handshake, and a thumbprint
that is in no store."""
import asyncio
import os
import socket
import ssl
import struct
import subprocess

import pytest
import requests
import websockets

from quillon_host import CERT_TOOL, QuillonServer, free_port, SERVER

pytestmark = pytest.mark.skipif(not os.path.exists(CERT_TOOL), reason="quillon-cert not built")


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    stores = tmp_path_factory.mktemp("stores")
    env = dict(os.environ, QUILLON_CERT_STORES=str(stores))
    thumb = subprocess.run([CERT_TOOL, "--store", "E2E", "127.0.0.1"], env=env,
                           capture_output=True, text=True, check=True, timeout=60).stdout.strip()
    return env, thumb, str(stores / "E2E" / f"{thumb}.pem")


@pytest.fixture(scope="module")
def tls_server(store):
    env, thumb, _ = store
    with QuillonServer("--ssl", "--hash", thumb, "--cert-store", "E2E", "--echo-binary",
                       "--permessage-deflate", "--clean-disconnect", env=env) as server:
        assert server.prefixes[0] == f"https://127.0.0.1:{server.port}/"
        yield server


def test_wss_echo_with_a_verifying_client(tls_server, store):
    _, _, pem = store
    context = ssl.create_default_context(cafile=pem)  # checks the chain and the address

    async def scenario():
        for compression in (None, "deflate"):
            async with websockets.connect(tls_server.ws_url, ssl=context, max_size=None,
                                          compression=compression) as ws:
                assert tls_server.ws_url.startswith("wss://")
                await ws.send("secure h\u00e9llo")
                assert await ws.recv() == "secure h\u00e9llo"
                big = os.urandom(1 << 20)
                await ws.send(big)
                assert await ws.recv() == big
                await ws.send(["frag", "mented"])
                assert await ws.recv() == "fragmented"
                await ws.close()
                assert ws.close_code == 1000

    asyncio.run(asyncio.wait_for(scenario(), 90))


def test_documents_over_https(tls_server, store):
    _, _, pem = store
    r = requests.get(tls_server.base + "/Quillon.js", verify=pem, timeout=10)
    assert r.status_code == 200
    assert f"'wss://127.0.0.1:{tls_server.port}/'" in r.text
    r = requests.get(tls_server.base + "/Quillon.html", verify=pem, timeout=10)
    assert f'<script src="https://127.0.0.1:{tls_server.port}/Quillon.js">' in r.text
    assert f'value="wss://127.0.0.1:{tls_server.port}"' in r.text
    assert requests.get(tls_server.base + "/missing.js", verify=pem, timeout=10).status_code == 404
    r = requests.get(tls_server.base + "/datasnap/rest/TServerMethods1/ReverseString/abc", verify=pem,
                     timeout=10)
    assert r.json() == {"result": ["cba"]}

    out = subprocess.run(["curl", "-s", "--cacert", pem, "-o", "/dev/null", "-w",
                          "%{http_code} %{content_type}", tls_server.base + "/WebSocketMain.swf"],
                         capture_output=True, text=True, timeout=30)
    assert out.stdout == "200 application/x-shockwave-flash"
    # Without trusting the certificate, curl refuses it: it is the store's, not a stock one.
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", tls_server.base + "/Quillon.js"],
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 60


def test_clients_that_give_up_during_the_tls_handshake(tls_server, store):
    _, _, pem = store
    for garbage in (b"", b"\x16\x03\x01\x00\x50" + os.urandom(20), b"GET / HTTP/1.1\r\n\r\n",
                    os.urandom(300)):
        with socket.create_connection(("127.0.0.1", tls_server.port), timeout=10) as sock:
            if garbage:
                sock.sendall(garbage)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    # A plain-text client on the TLS port gets no answer it could mistake for HTTP.
    with socket.create_connection(("127.0.0.1", tls_server.port), timeout=10) as sock:
        sock.sendall(b"GET /Quillon.js HTTP/1.1\r\nHost: x\r\n\r\n")
        try:
            data = sock.recv(4096)
        except ConnectionError:
            data = b""
        assert not data.startswith(b"HTTP/1.1 200")
    r = requests.get(tls_server.base + "/Quillon.html", verify=pem, timeout=10)
    assert r.status_code == 200


def test_unknown_thumbprint_fails_activation(store):
    env, _, _ = store
    done = subprocess.run([SERVER, "--port", str(free_port()), "--ssl", "--hash", "AB" * 20,
                           "--cert-store", "E2E"], env=env, capture_output=True, text=True,
                          timeout=30)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith("quillon-server: ")
