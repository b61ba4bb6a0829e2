"""quillon-server in headless Chromium: the test page it serves connects, sends "Test" and
shows the echo, over WebSocket and, in a page without WebSocket, over server-sent events with
XHR posts; the client library's text, binary and large messages through Chromium's
permessage-deflate; channel messages are taken by the server, not echoed."""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser"))
import browser_harness  # noqa: E402
from quillon_host import QuillonServer  # noqa: E402

pytestmark = pytest.mark.skipif(
    not os.path.exists(browser_harness.CHROMIUM) or shutil.which("node") is None
    or not os.path.isdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), "node",
                                      "node_modules", "playwright-core")),
    reason="needs /usr/bin/chromium, node and playwright-core (scripts/install-deps.sh)")

UNTIL = r"""
const until = (pred, ms = 10000) => new Promise((resolve, reject) => {
  const start = Date.now();
  (function poll() {
    if (pred()) return resolve();
    if (Date.now() - start > ms) return reject(new Error('timed out: ' + pred));
    setTimeout(poll, 10);
  })();
});
"""


def test_test_page_over_websocket():
    with QuillonServer() as server:
        r = browser_harness.check_test_page(server.base)
        assert [line for line in r["logAfterSend"] if line.startswith("message")] == \
            ["message: Test"]


def test_test_page_over_server_sent_events():
    # No WebSocket in the page: the library served with --sse opens an EventSource and posts
    # "Test" to the server, which echoes it down the event stream.
    with QuillonServer("--sse", "--sse-retry", "1000") as server:
        r = browser_harness.check_test_page(server.base, transport="sse", no_websocket=True)
        assert [line for line in r["logAfterSend"] if line.startswith("message")] == \
            ["message: Test"]


def test_library_through_chromium_with_compression():
    with QuillonServer("--permessage-deflate", "--echo-binary") as server:
        result = browser_harness.evaluate(server.base, UNTIL + r"""
          const q = new Quillon(Quillon.serverURL());
          const got = [];
          q.addEventListener('message', (e) =>
            got.push(e.binary ? Array.from(new Uint8Array(e.data)).slice(0, 4) : e.data));
          q.subscribe('news,sports');            // taken by the server, not echoed
          q.open();
          await until(() => q.state === Quillon.OPEN);
          const extensions = q.extensions;
          const big = 'x'.repeat(300000) + 'end';
          q.send('h\u00e9llo');
          q.sendBinary(new Uint8Array([1, 2, 3]).buffer);
          q.send(big);
          q.unsubscribe('news');
          for (let i = 0; i < 20; i++) q.send('n' + i);
          await until(() => got.length >= 23);
          await new Promise((r) => setTimeout(r, 200));  // nothing more may arrive
          q.close();
          await until(() => q.state === Quillon.CLOSED);
          return { extensions, got: got.map((m) => typeof m === 'string' && m.length > 100
                                 ? m.length + ':' + m.slice(-3) : m) };
        """)
        assert result["extensions"].startswith("permessage-deflate")
        expected = ["h\u00e9llo", [1, 2, 3], "300003:end"] + [f"n{i}" for i in range(20)]
        assert result["got"] == expected


def test_library_over_server_sent_events_keeps_order():
    with QuillonServer("--sse") as server:
        result = browser_harness.evaluate(server.base, UNTIL + r"""
          const q = new Quillon(Quillon.serverURL());
          const got = [];
          q.addEventListener('message', (e) => got.push(e.data));
          q.open();
          await until(() => q.state === Quillon.OPEN);
          for (let i = 0; i < 15; i++) q.send('line ' + i + ' \u00e9');
          await until(() => got.length >= 15);
          const transport = q.transportInUse;
          q.close();
          await until(() => q.state === Quillon.CLOSED);
          return { got, transport };
        """, no_websocket=True)
        assert result["transport"] == "sse"
        assert result["got"] == [f"line {i} \u00e9" for i in range(15)]
