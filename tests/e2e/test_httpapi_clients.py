"""The HTTP engine against real clients: Python requests, curl and openssl s_client."""
import os
import socket
import subprocess
import tempfile
import time

import pytest
import requests

TEST_BIN = os.environ.get("QUILLON_TEST_BIN", "")
BIN = os.environ.get("QUILLON_BIN", "")
SERVER = os.path.join(TEST_BIN, "httpapi_echo_server")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(*args, env=None):
    port = free_port()
    proc = subprocess.Popen([SERVER, "--port", str(port), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env)
    line = proc.stdout.readline()
    assert line.startswith("listening"), proc.stderr.read()
    return proc, port


def stop(proc):
    proc.terminate()
    assert proc.wait(timeout=10) == 0


@pytest.fixture
def server():
    proc, port = start()
    yield port
    stop(proc)


def test_requests_get_post_and_chunked_upload(server):
    base = f"http://127.0.0.1:{server}"
    with requests.Session() as s:  # one keep-alive connection
        r = s.get(base + "/a%20b/c?x=1")
        assert r.status_code == 200
        assert "path=/a b/c\nquery=?x=1" in r.text
        r = s.post(base + "/post", data=b"payload" * 1000)
        assert r.text.endswith("body=" + "payload" * 1000)
        r = s.post(base + "/chunks", data=(p for p in [b"one,", b"two,", b"three"]))
        assert r.text.endswith("body=one,two,three")
    assert requests.get(f"http://127.0.0.1:{server}/", headers={"Host": "whatever"}).ok


def test_curl_keeps_the_connection_and_sends_expect_continue(server):
    out = subprocess.run(
        ["curl", "-sv", f"http://127.0.0.1:{server}/1", f"http://127.0.0.1:{server}/2"],
        capture_output=True, text=True, timeout=30)
    assert "path=/1" in out.stdout and "path=/2" in out.stdout
    assert "Re-using existing connection" in out.stderr or "left intact" in out.stderr
    big = "x" * 2000
    out = subprocess.run(["curl", "-s", "-H", "Expect: 100-continue", "--data-binary", big,
                          f"http://127.0.0.1:{server}/upload"], capture_output=True, text=True, timeout=30)
    assert out.stdout.endswith("body=" + big)


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not has_ipv6_loopback(), reason="no IPv6 loopback on this machine")
def test_ipv6_clients_reach_a_wildcard_prefix(server):
    r = requests.get(f"http://[::1]:{server}/six?v=6")
    assert r.status_code == 200
    assert "path=/six\nquery=?v=6" in r.text
    out = subprocess.run(["curl", "-sg", f"http://[::1]:{server}/curl6"],
                         capture_output=True, text=True, timeout=30)
    assert "path=/curl6" in out.stdout


def test_openssl_s_client_over_a_bound_certificate():
    cert_tool = os.path.join(BIN, "quillon-cert")
    if not os.path.exists(cert_tool):
        pytest.skip("quillon-cert not built")
    with tempfile.TemporaryDirectory() as stores:
        env = dict(os.environ, QUILLON_CERT_STORES=stores)
        thumbprint = subprocess.run([cert_tool, "--store", "E2E", "127.0.0.1"], env=env,
                                    capture_output=True, text=True, check=True).stdout.strip()
        proc, port = start("--https", "--hash", thumbprint, "--store", "E2E", env=env)
        try:
            request = "GET /tls HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
            out = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{port}", "-quiet"],
                                 input=request, capture_output=True, text=True, timeout=30)
            assert "HTTP/1.1 200 OK" in out.stdout
            assert "path=/tls" in out.stdout
            # The certificate the server presents is the one in the store, valid for the address.
            pem = os.path.join(stores, "E2E", thumbprint + ".pem")
            r = requests.get(f"https://127.0.0.1:{port}/verified", verify=pem)
            assert "path=/verified" in r.text
        finally:
            stop(proc)


def test_a_missing_certificate_fails_the_binding():
    with tempfile.TemporaryDirectory() as stores:
        env = dict(os.environ, QUILLON_CERT_STORES=stores)
        os.makedirs(os.path.join(stores, "E2E"))
        port = free_port()
        proc = subprocess.run([SERVER, "--port", str(port), "--https", "--hash", "AB" * 20,
                               "--store", "E2E"], env=env, capture_output=True, text=True, timeout=30)
        assert proc.returncode == 1
        assert "binding failed: 1168" in proc.stderr
