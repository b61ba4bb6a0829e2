"""The browser documents in headless Chromium: the test page echoing "Test" over WebSocket and
over the server-sent-events fall-back, the client library's API (binary data, handlers,
channels, authentication paths, transport choice, the retired Flash transport), and the
movie's validity. Loopback stand-in servers serve the documents (tests/e2e/browser/)."""
import os
import shutil
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser"))
import browser_harness  # noqa: E402
from doc_peers import EchoPeer, PeerLoop, SSEPeer, RESOURCES  # noqa: E402

pytestmark = pytest.mark.skipif(
    not os.path.exists(browser_harness.CHROMIUM) or shutil.which("node") is None,
    reason="needs /usr/bin/chromium and node (scripts/install-deps.sh)")

# Helpers shared by the page scripts below.
PRELUDE = r"""
const until = (pred, ms = 8000) => new Promise((resolve, reject) => {
  const start = Date.now();
  (function poll() {
    if (pred()) return resolve();
    if (Date.now() - start > ms) return reject(new Error('timed out: ' + pred));
    setTimeout(poll, 10);
  })();
});
const record = (q) => {
  const seen = { open: 0, message: [], error: [], close: [] };
  q.onopen = () => seen.open++;
  q.onerror = (e) => seen.error.push(e.message);
  q.onclose = (e) => seen.close.push(e.code);
  q.addEventListener('message', (e) =>
    seen.message.push(e.binary ? Array.from(new Uint8Array(e.data)) : e.data));
  return seen;
};
"""


@pytest.fixture(scope="module")
def loop():
    peers = PeerLoop()
    yield peers
    peers.close()


def base(peer):
    return f"http://127.0.0.1:{peer.port}"


def test_test_page_echoes_over_websocket(loop):
    peer = EchoPeer(loop)
    browser_harness.check_test_page(base(peer))
    assert peer.received == ["Test"]
    assert peer.upgrades == ["/"]


def test_test_page_falls_back_to_server_sent_events(loop):
    # A browser without WebSocket gets the event-stream transport that the server put in
    # front of the library; "Test" goes up as an XHR post and comes back as an event.
    peer = SSEPeer(loop)
    r = browser_harness.check_test_page(base(peer), transport="sse", no_websocket=True)
    assert peer.received == ["Test"]
    assert len(peer.opened) == 1
    # Neither the connection's GUID announcements nor the ping show up as messages.
    assert [line for line in r["logAfterSend"] if line.startswith("message")] == ["message: Test"]


def test_library_text_binary_handlers_and_channels(loop):
    peer = EchoPeer(loop)
    result = browser_harness.evaluate(base(peer), PRELUDE + r"""
      const q = new Quillon(Quillon.serverURL());
      const seen = record(q);
      const states = [q.stateText];
      const sentWhileClosed = q.send('early');
      q.subscribe('news,Sports,news');          // before open: sent once open
      q.open();
      states.push(q.stateText);
      await until(() => q.state === Quillon.OPEN);
      states.push(q.stateText);
      q.subscribe('sports,weather');            // only "weather" is new
      q.unsubscribe('NEWS');
      q.send('h\u00e9llo');
      q.sendBinary(new Uint8Array([1, 2, 3]).buffer);
      q.sendBinary(new Uint16Array([0x0201]));
      q.sendBinary(new Blob([new Uint8Array([9, 8])]));
      await until(() => seen.message.length >= 7);
      let notCalled = true;
      const off = () => { notCalled = false; };
      q.addEventListener('message', off);
      q.removeEventListener('message', off);
      const subscriptions = q.subscriptions;
      const tests = [q.subscribed('SPORTS'), q.subscribed(' weather'), q.subscribed(''),
                     q.subscribed('x,weather')];
      q.close();
      states.push(q.stateText);
      await until(() => q.state === Quillon.CLOSED);
      const afterClose = seen.message.length;
      q.open();                                 // reopening subscribes again
      await until(() => seen.message.length > afterClose);
      q.close();
      await until(() => q.state === Quillon.CLOSED);
      let typeError = '';
      try { q.sendBinary('text'); } catch (e) { typeError = e.name; }
      return { sentWhileClosed, states, seen, subscriptions, tests, notCalled, typeError,
               url: q.url };
    """)
    assert result["url"] == f"ws://127.0.0.1:{peer.port}/"
    assert result["sentWhileClosed"] is False
    assert result["states"] == ["closed", "connecting", "open", "closing"]
    seen = result["seen"]
    assert seen["open"] == 2 and seen["error"] == [] and seen["close"] == [1000, 1000]
    assert seen["message"] == [
        '{"lum":"subscribe","channels":"news,Sports"}',
        '{"lum":"subscribe","channels":"weather"}',
        '{"lum":"unsubscribe","channels":"news"}',
        "h\u00e9llo",
        [1, 2, 3],
        [1, 2],
        [9, 8],
        '{"lum":"subscribe","channels":"Sports,weather"}',
    ]
    assert result["subscriptions"] == ["Sports", "weather"]
    assert result["tests"] == [True, False, True, True]
    assert result["notCalled"] is True
    assert result["typeError"] == "TypeError"
    assert peer.received[3:7] == ["h\u00e9llo", b"\x01\x02\x03", b"\x01\x02", b"\x09\x08"]


AUTH_SCRIPT = PRELUDE + r"""
  const q = new Quillon(Quillon.serverURL());
  const seen = record(q);
  q.user = USER; q.password = PASSWORD; q.authentication = METHOD;
  q.open();
  await until(() => seen.close.length > 0 || q.state === Quillon.OPEN);
  const state = q.stateText, sessionId = q.sessionId;
  if (q.state === Quillon.OPEN) { q.close(); await until(() => q.state === Quillon.CLOSED); }
  return { state, sessionId, seen };
"""


@pytest.mark.parametrize("method,password,ok", [
    ("session", "s3cret:/x y", True),
    ("url", "s3cret:/x y", True),
    ("session", "wrong", False),
    ("url", "wrong", False),
])
def test_library_authenticates_by_session_or_url(loop, method, password, ok):
    # Characters the server would split on or cannot take raw in a path are escaped, so the
    # stand-in (which decodes nothing, like the server) knows the user by the escaped form.
    stored = "s3cret:%2Fx%20y"
    peer = EchoPeer(loop, users={"alice": stored})
    script = AUTH_SCRIPT.replace("USER", '"alice"').replace("PASSWORD", repr(password)) \
        .replace("METHOD", repr(method))
    result = browser_harness.evaluate(base(peer), script)
    if not ok:
        assert result["state"] == "closed"
        assert peer.upgrades == []
        assert len(result["seen"]["error"]) == 1 and result["seen"]["close"] == [1006]
        return
    assert result["state"] == "open" and result["seen"]["error"] == []
    if method == "session":
        sid = result["sessionId"]
        assert len(sid) == 32
        assert peer.upgrades == [f"/lum/auth/session/{sid}"]
        assert peer.sessions == {}  # used once
    else:
        assert peer.upgrades == [f"/lum/auth/url/alice/{stored}"]


def test_transport_choice_and_the_retired_flash_transport(loop):
    peer = SSEPeer(loop, flash=True)
    result = browser_harness.evaluate(base(peer), PRELUDE + r"""
      const available = Quillon.transports();
      const q = new Quillon(Quillon.serverURL(), '', 'flash');
      const seen = record(q);
      q.open();
      await until(() => q.state === Quillon.CLOSED && seen.close.length > 0);
      const unknown = new Quillon(Quillon.serverURL(), '', 'carrier-pigeon');
      const seenUnknown = record(unknown);
      unknown.open();
      await until(() => seenUnknown.close.length > 0);
      return { available, seen, seenUnknown, movie: QuillonFlash.movieURL };
    """, no_websocket=True)
    assert result["available"] == ["sse", "flash"]
    assert result["seen"]["open"] == 0 and result["seen"]["close"] == [1006]
    assert len(result["seen"]["error"]) == 1
    assert "Flash transport is unavailable" in result["seen"]["error"][0]
    assert result["seenUnknown"]["error"] == ['Unknown transport "carrier-pigeon"']
    assert result["movie"] == f"http://127.0.0.1:{peer.port}/WebSocketMain.swf"

    # Without WebSocket and without the fall-back scripts there is nothing to connect with.
    plain = EchoPeer(loop)
    result = browser_harness.evaluate(base(plain), PRELUDE + r"""
      const q = new Quillon();
      const seen = record(q);
      q.open();
      await until(() => seen.close.length > 0);
      return { available: Quillon.transports(), seen };
    """, no_websocket=True)
    assert result["available"] == []
    assert result["seen"]["error"] == [
        "This browser has no WebSocket and no fall-back transport was loaded"]


def parse_swf(data):
    """Header fields and tag codes of an uncompressed SWF; fails on any inconsistency."""
    assert data[:3] == b"FWS"
    version = data[3]
    (length,) = struct.unpack_from("<I", data, 4)
    assert length == len(data)
    nbits = data[8] >> 3
    bits = "".join(format(b, "08b") for b in data[8:8 + (5 + 4 * nbits + 7) // 8])
    fields = [int(bits[5 + i * nbits:5 + (i + 1) * nbits], 2) for i in range(4)]
    pos = 8 + (5 + 4 * nbits + 7) // 8 + 4  # RECT, frame rate, frame count
    frames = struct.unpack_from("<H", data, pos - 2)[0]
    tags = []
    while pos < len(data):
        (code_len,) = struct.unpack_from("<H", data, pos)
        code, size = code_len >> 6, code_len & 0x3F
        pos += 2
        if size == 0x3F:
            (size,) = struct.unpack_from("<I", data, pos)
            pos += 4
        pos += size
        tags.append(code)
        if code == 0:
            break
    assert pos == len(data), "bytes after the End tag"
    return version, fields, frames, tags


def test_movie_is_a_small_valid_swf(tmp_path):
    path = os.path.join(RESOURCES, "WebSocketMain.swf")
    with open(path, "rb") as f:
        data = f.read()
    version, (xmin, xmax, ymin, ymax), frames, tags = parse_swf(data)
    assert version == 10
    assert (xmin, ymin) == (0, 0) and 0 < xmax <= 20 * 1000 and 0 < ymax <= 20 * 1000
    assert frames == 1
    assert tags[0] == 69 and tags[-1] == 0 and 1 in tags  # FileAttributes first, End last
    # The committed file is what the generator makes.
    out = tmp_path / "movie.swf"
    script = os.path.join(RESOURCES, "..", "scripts", "make-swf.py")
    subprocess.run([sys.executable, script, str(out)], check=True, timeout=30)
    assert out.read_bytes() == data
