// Node `ws` client for the interoperability tests: runs each check against an echo host and
// prints one JSON object with what it saw. Usage: node ws_client.js <url> <deflate 0|1>
'use strict';
const crypto = require('crypto');
const { steps, run } = require('./ws_steps');

const url = process.argv[2];
const deflate = process.argv[3] === '1';
const STEP_MS = 10000;

const { open, next, closed, ping } = steps(url, { perMessageDeflate: deflate }, STEP_MS);

async function main() {
  const out = { deflate };
  let ws = await open();
  out.extensions = ws.extensions;

  const text = 'h\u00e9llo \u2713 \ud83d\ude00';
  ws.send(text);
  let m = await next(ws);
  out.text = !m.isBinary && m.data.toString() === text;

  const bin = crypto.randomBytes(1000);
  ws.send(bin);
  m = await next(ws);
  out.binary = m.isBinary && Buffer.compare(m.data, bin) === 0;

  ws.send('part one, ', { fin: false });
  ws.send('part two', { fin: true });
  m = await next(ws);
  out.fragmented = !m.isBinary && m.data.toString() === 'part one, part two';

  const bigText = 'x'.repeat(1 << 20);
  ws.send(bigText);
  m = await next(ws);
  out.big_text = m.data.length === bigText.length && m.data.toString() === bigText;

  const bigBin = crypto.randomBytes(1 << 20);
  ws.send(bigBin);
  m = await next(ws);
  out.big_binary = m.isBinary && Buffer.compare(m.data, bigBin) === 0;

  out.pong = await ping(ws, 'are you there');

  let t = Date.now();
  let c = closed(ws);
  ws.close(4000, 'bye');
  out.client_close = { ...(await c), ms: Date.now() - t };

  ws = await open();
  t = Date.now();
  c = closed(ws);
  ws.send('close:4001');
  out.server_close = { ...(await c), ms: Date.now() - t };

  // Bytes that are not UTF-8, sent as a text frame.
  ws = await open();
  c = closed(ws);
  ws.send(Buffer.from([0x68, 0xc3, 0x28]), { binary: false });
  out.invalid_utf8 = (await c).code;

  ws = await open();
  c = closed(ws);
  ws.send(Buffer.alloc(2 << 20, 0x61));
  out.oversized = (await c).code;

  console.log(JSON.stringify(out));
}

run(main);
