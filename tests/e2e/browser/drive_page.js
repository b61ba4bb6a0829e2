#!/usr/bin/env node
// Drives a page in headless Chromium (the Debian build) and prints one JSON result.
//
//   node drive_page.js --url URL --mode page   [--no-websocket] [--timeout MS]
//   node drive_page.js --url URL --mode eval --script FILE [--no-websocket] [--timeout MS]
//
// page: clicks through the test page (open, send, close, clear) and reports what it shows.
// eval: loads URL, then runs FILE's text as the body of an async function in the page and
//       reports what it returns.
// --no-websocket hides window.WebSocket before any script runs, as in a browser without it.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { createRequire } = require('module');

const nodeRequire = createRequire(path.join(__dirname, '..', 'node', 'package.json'));
const { chromium } = nodeRequire('playwright-core');

function parseArgs(argv) {
  const args = { mode: 'page', timeout: 20000, noWebSocket: false };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--url') args.url = argv[++i];
    else if (a === '--mode') args.mode = argv[++i];
    else if (a === '--script') args.script = argv[++i];
    else if (a === '--timeout') args.timeout = Number(argv[++i]);
    else if (a === '--no-websocket') args.noWebSocket = true;
    else throw new Error('unknown argument ' + a);
  }
  if (!args.url) throw new Error('--url is required');
  return args;
}

async function logTexts(page) {
  return page.$$eval('#log li', (items) => items.map((li) => li.textContent));
}

async function drivePage(page, timeout) {
  const result = {};
  const status = () => page.textContent('#status');
  const waitStatus = (text) => page.waitForFunction(
    (t) => document.getElementById('status').textContent === t, text, { timeout });

  result.initialStatus = await status();
  await page.click('#open');
  await waitStatus('open');
  result.transport = await page.textContent('#transport');
  await page.click('#send');
  await page.waitForFunction(
    () => [...document.querySelectorAll('#log li')].some((li) => li.dataset.event === 'message'),
    null, { timeout });
  result.logAfterSend = await logTexts(page);
  await page.click('#close');
  await waitStatus('closed');
  await page.waitForFunction(
    () => [...document.querySelectorAll('#log li')].some((li) => li.dataset.event === 'close'),
    null, { timeout });
  result.logAfterClose = await logTexts(page);
  await page.click('#clear');
  result.logAfterClear = await logTexts(page);
  return result;
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-chromium-'));
  let context;
  const output = { pageErrors: [], console: [] };
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      // The TLS tests use throw-away certificates of their own.
      ignoreHTTPSErrors: true,
      args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--no-first-run'],
      timeout: args.timeout,
    });
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(args.timeout);
    page.on('pageerror', (e) => output.pageErrors.push(String(e && e.message ? e.message : e)));
    page.on('console', (m) => output.console.push(m.type() + ': ' + m.text()));
    if (args.noWebSocket) {
      await page.addInitScript(() => { delete window.WebSocket; window.WebSocket = undefined; });
    }
    const response = await page.goto(args.url, { waitUntil: 'load' });
    output.httpStatus = response ? response.status() : 0;
    if (args.mode === 'page') {
      output.result = await drivePage(page, args.timeout);
    } else if (args.mode === 'eval') {
      const body = fs.readFileSync(args.script, 'utf8');
      output.result = await page.evaluate(
        (src) => (new Function('return (async () => {' + src + '\n})();'))(), body);
    } else {
      throw new Error('unknown mode ' + args.mode);
    }
    output.ok = true;
  } catch (e) {
    output.ok = false;
    output.error = String(e && e.stack ? e.stack : e);
  } finally {
    if (context) await context.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  }
  process.stdout.write(JSON.stringify(output) + '\n');
}

main();
