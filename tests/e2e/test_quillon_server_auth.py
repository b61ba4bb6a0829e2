"""quillon-server with authentication on: URL and one-time session authentication of raw
WebSocket upgrades (also one session id presented many times at once), AllowNonAuth, and
HTTP Basic for plain requests with curl, with its exact 401 page."""
import subprocess
import threading

import pytest

from quillon_host import QuillonServer, raw_request

UPGRADE = ("GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")


def upgrade_status(port, path):
    head = raw_request(port, UPGRADE.format(path=path), head_only=True)
    return int(head.split(b" ", 2)[1])


def session_id(port, path="/lum/req/auth/session/alice/Secret1"):
    answer = raw_request(port, f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200") and b"text/plain" in head, answer
    lines = body.split(b"\r\n")
    assert len(lines[0]) == 32 and lines[0].isalnum() and lines[0].upper() == lines[0]
    return lines[0].decode()


@pytest.fixture(scope="module")
def auth_server():
    with QuillonServer("--auth", "--auth-user", "alice=Secret1") as s:
        yield s


def test_url_authentication_of_upgrades(auth_server):
    cases = [
        ("/lum/auth/url/alice/Secret1", 101),
        ("/lum/auth/url/ALICE/Secret1", 101),   # user names ignore letter case
        ("/lum/auth/url/alice/secret1", 404),   # passwords do not
        ("/lum/auth/url/bob/Secret1", 404),
        ("/lum/auth/url/alice", 404),           # too few fields
        ("/", 404),                             # no credentials at all
    ]
    for path, status in cases:
        assert upgrade_status(auth_server.port, path) == status, path


def test_session_id_admits_exactly_one_upgrade(auth_server):
    port = auth_server.port
    sid = session_id(port)
    assert upgrade_status(port, f"/lum/auth/session/{sid}") == 101
    assert upgrade_status(port, f"/lum/auth/session/{sid}") == 404
    assert upgrade_status(port, "/lum/auth/session/" + "A" * 32) == 404
    # A refused user gets no session id.
    refused = raw_request(port, "GET /lum/req/auth/session/alice/wrong HTTP/1.1\r\nHost: x\r\n\r\n")
    assert refused.startswith(b"HTTP/1.1 404")


def test_one_session_id_presented_at_once_admits_one_upgrade(auth_server):
    port = auth_server.port
    for _ in range(5):
        sid = session_id(port)
        barrier = threading.Barrier(8)
        results = []

        def attempt():
            barrier.wait()
            results.append(upgrade_status(port, f"/lum/auth/session/{sid}"))

        threads = [threading.Thread(target=attempt) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert sorted(results) == [101] + [404] * 7


def test_allow_non_auth_still_upgrades():
    with QuillonServer("--auth", "--auth-user", "alice=Secret1", "--allow-non-auth") as s:
        assert upgrade_status(s.port, "/") == 101
        assert upgrade_status(s.port, "/lum/auth/url/alice/wrong") == 101


def test_basic_authentication_with_curl():
    with QuillonServer("--auth", "--auth-basic", "--auth-user", "alice=Secret1") as s:
        def curl(*args):
            out = subprocess.run(["curl", "-s", "-i", "--max-time", "10", *args, s.base + "/test"],
                                 capture_output=True, check=True, timeout=30).stdout
            return out.decode("latin-1")

        for user, ok in (("alice:Secret1", True), ("ALICE:Secret1", True),
                         ("alice:secret1", False), ("bob:Secret1", False)):
            answer = curl("-u", user)
            assert answer.startswith("HTTP/1.1 200" if ok else "HTTP/1.1 401"), (user, answer)
            if ok:
                assert "Quillon Custom Page" in answer
        page = curl()
        head, _, body = page.partition("\r\n\r\n")
        lines = head.split("\r\n")
        assert lines[0] == "HTTP/1.1 401 Unauthorized"
        for header in ("Cache-Control: no-cache", "Content-Type: text/html; charset=utf-8",
                       "Server: Quillon 4.4.6", 'WWW-Authenticate: Basic realm="Quillon 4.4.6"'):
            assert header in lines, (header, lines)
        assert body == "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"
