// Node `ws` client for the quillon-server echo tests: text, binary, fragmented and 1 MiB
// messages, a ping and a client close; prints one JSON object with what it saw.
// Usage: node quillon_echo_client.js <url> <deflate 0|1>
'use strict';
const crypto = require('crypto');
const { steps, run } = require('./ws_steps');

const url = process.argv[2];
const deflate = process.argv[3] === '1';
const STEP_MS = 20000;

const { open, next, closed, ping } =
  steps(url, { perMessageDeflate: deflate, maxPayload: 0 }, STEP_MS);

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

  out.pong = await ping(ws, 'are you there');

  const started = Date.now();
  const c = closed(ws);
  ws.close(1000, 'bye');
  out.close = { code: (await c).code, ms: Date.now() - started };
  console.log(JSON.stringify(out));
}

run(main);
