#!/usr/bin/env node
// Drives the web module's pages in headless Chromium and prints one JSON result.
//
//   node drive_pages.js --url BASE --mode reverse --text TEXT [--screenshot FILE]
//   node drive_pages.js --url BASE --mode invoker --method CLASS.METHOD --text TEXT [--screenshot FILE]
//
// reverse: opens BASE/, types TEXT into the form like a user, presses Reverse and reports
//          the answer the page shows.
// invoker: opens BASE/ServerFunctionInvoker, reports the methods it lists, types TEXT into
//          the first parameter of METHOD, calls it and reports the result shown.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { createRequire } = require('module');

const nodeRequire = createRequire(path.join(__dirname, '..', 'node', 'package.json'));
const { chromium } = nodeRequire('playwright-core');

function parseArgs(argv) {
  const args = { timeout: 20000 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--url') args.url = argv[++i];
    else if (a === '--mode') args.mode = argv[++i];
    else if (a === '--text') args.text = argv[++i];
    else if (a === '--method') args.method = argv[++i];
    else if (a === '--screenshot') args.screenshot = argv[++i];
    else throw new Error('unknown argument ' + a);
  }
  return args;
}

async function reverse(page, args, out) {
  const response = await page.goto(args.url + '/', { waitUntil: 'load' });
  out.httpStatus = response.status();
  out.title = await page.title();
  await page.fill('#text', '');
  await page.type('#text', args.text);
  await page.click('#reverse');
  await page.waitForFunction(() => /\b(ok|error)\b/.test(document.getElementById('result').className));
  out.answer = await page.textContent('#answer');
  out.resultClass = await page.getAttribute('#result', 'class');
  out.links = await page.$$eval('a', (as) => as.map((a) => a.getAttribute('href')));
}

async function invoker(page, args, out) {
  const response = await page.goto(args.url + '/ServerFunctionInvoker', { waitUntil: 'load' });
  out.httpStatus = response.status();
  out.url = page.url();
  out.methods = await page.$$eval('form.method', (fs) => fs.map((f) => f.dataset.method));
  if (!args.method) return;
  const form = `form.method[data-method="${args.method}"]`;
  await page.type(`${form} input`, args.text);
  await page.click(`${form} button`);
  await page.waitForFunction((sel) => /\b(ok|error)\b/.test(document.querySelector(sel + ' .result').className), form);
  out.result = await page.textContent(`${form} .output`);
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'quillon-chromium-'));
  const out = { pageErrors: [], console: [], requests: [] };
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: '/usr/bin/chromium',
      headless: true,
      viewport: { width: 1100, height: 860 },
      args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
        '--disable-component-update', '--disable-sync', '--no-first-run'],
      timeout: args.timeout,
    });
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(args.timeout);
    page.on('pageerror', (e) => out.pageErrors.push(String(e && e.message ? e.message : e)));
    page.on('console', (m) => out.console.push(m.type() + ': ' + m.text()));
    page.on('request', (r) => out.requests.push(r.url()));
    if (args.mode === 'reverse') await reverse(page, args, out);
    else if (args.mode === 'invoker') await invoker(page, args, out);
    else throw new Error('unknown mode ' + args.mode);
    if (args.screenshot) await page.screenshot({ path: args.screenshot, fullPage: true });
    out.ok = true;
  } catch (e) {
    out.ok = false;
    out.error = String(e && e.stack ? e.stack : e);
  } finally {
    if (context) await context.close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  }
  process.stdout.write(JSON.stringify(out) + '\n');
}

main();
