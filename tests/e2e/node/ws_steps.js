// Bounded steps shared by the Node `ws` test clients: every wait gives up after `stepMs`, so a
// silent server fails a check instead of hanging the test. `run` prints a failure as the one
// JSON line the Python side reads.
'use strict';
const WebSocket = require('ws');

function steps(url, options, stepMs) {
  function open() {
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(url, options);
      const timer = setTimeout(() => reject(new Error('open timed out')), stepMs);
      ws.once('open', () => { clearTimeout(timer); resolve(ws); });
      ws.once('error', (e) => { clearTimeout(timer); reject(e); });
    });
  }

  function next(ws) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('no message')), stepMs);
      ws.once('message', (data, isBinary) => { clearTimeout(timer); resolve({ data, isBinary }); });
    });
  }

  function closed(ws) {
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error('no close')), stepMs);
      ws.once('close', (code, reason) => {
        clearTimeout(timer);
        resolve({ code, reason: reason.toString() });
      });
    });
  }

  // The pong's payload as text, or null when none came.
  function ping(ws, text) {
    return new Promise((resolve) => {
      const timer = setTimeout(() => resolve(null), stepMs);
      ws.once('pong', (data) => { clearTimeout(timer); resolve(data.toString()); });
      ws.ping(text);
    });
  }

  return { open, next, closed, ping };
}

function run(main) {
  main().catch((e) => {
    console.log(JSON.stringify({ error: String(e && e.stack || e) }));
    process.exit(1);
  });
}

module.exports = { steps, run };
