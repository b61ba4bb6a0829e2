// Node `ws` client for the quillon-server echo tests: text, binary, fragmented and 1 MiB
// messages, a ping and a client close; prints one JSON object with what it saw.
// Usage: node quillon_echo_client.js <url> <deflate 0|1>
'use strict';
const crypto = require('crypto');
const WebSocket = require('ws');

const url = process.argv[2];
const deflate = process.argv[3] === '1';
const STEP_MS = 20000;

function open() {
  return new Promise((resolve, reject) => {
    const ws = new WebSocket(url, { perMessageDeflate: deflate, maxPayload: 0 });
    const timer = setTimeout(() => reject(new Error('open timed out')), STEP_MS);
    ws.once('open', () => { clearTimeout(timer); resolve(ws); });
    ws.once('error', (e) => { clearTimeout(timer); reject(e); });
  });
}

function next(ws) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no message')), STEP_MS);
    ws.once('message', (data, isBinary) => { clearTimeout(timer); resolve({ data, isBinary }); });
  });
}

async function main() {
  const out = {};
  const ws = await open();
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
  ws.send('part two, ', { fin: false });
  ws.send('part three', { fin: true });
  m = await next(ws);
  out.fragmented = !m.isBinary && m.data.toString() === 'part one, part two, part three';

  // Random letters so that compression cannot shrink the message to nothing.
  const bigText = crypto.randomBytes(3 << 18).toString('base64');  // 1 MiB of text
  ws.send(bigText);
  m = await next(ws);
  out.big_text = !m.isBinary && m.data.length === bigText.length && m.data.toString() === bigText;

  const bigBin = crypto.randomBytes(1 << 20);
  ws.send(bigBin);
  m = await next(ws);
  out.big_binary = m.isBinary && Buffer.compare(m.data, bigBin) === 0;

  // Many messages in flight at once come back complete and in order.
  const received = [];
  const all = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('burst incomplete: ' + received.length)), STEP_MS);
    const onMessage = (data) => {
      received.push(data.toString());
      if (received.length === 200) {
        clearTimeout(timer);
        ws.off('message', onMessage);
        resolve();
      }
    };
    ws.on('message', onMessage);
  });
  for (let i = 0; i < 200; i++) ws.send('burst ' + i);
  await all;
  out.burst_in_order = received.every((t, i) => t === 'burst ' + i);

  out.pong = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), STEP_MS);
    ws.once('pong', (data) => { clearTimeout(timer); resolve(data.toString()); });
    ws.ping('are you there');
  });

  const started = Date.now();
  out.close = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no close')), STEP_MS);
    ws.once('close', (code) => { clearTimeout(timer); resolve({ code, ms: Date.now() - started }); });
    ws.close(1000, 'bye');
  });
  console.log(JSON.stringify(out));
}

main().catch((e) => {
  console.log(JSON.stringify({ error: String(e && e.stack || e) }));
  process.exit(1);
});
