// The playground in headless Chromium against the real native program: connect, load a test
// plug-in, call it, and check what the page shows. Leaves a screenshot in the build tree.
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { after, before, test } from 'node:test';

import { BUILD_DIR, REPO_DIR, plugin, startRavelink } from '../client/harness.mjs';
import { Browser } from './chromium.mjs';
import { serve } from './static-server.mjs';

const SCREENSHOT = path.join(BUILD_DIR, 'playground.png');

let server;
let site;
let browser;
let page;

before(async () => {
  server = await startRavelink();
  site = await serve(REPO_DIR);
  browser = await Browser.launch();
  page = await browser.newPage({ width: 1280, height: 860 });
});

after(async () => {
  if (browser) await browser.close();
  if (site) await site.close();
  if (server) await server.stop();
});

// Fills a form field the way typing would, so the page sees input events.
async function fill(id, value) {
  await page.evaluate(`(() => {
    const field = document.getElementById(${JSON.stringify(id)});
    field.value = ${JSON.stringify(value)};
    field.dispatchEvent(new Event('input', { bubbles: true }));
  })()`);
}

async function click(id) {
  await page.evaluate(`document.getElementById(${JSON.stringify(id)}).click()`);
}

// What the log shows for its entries, as a person reads it.
function entries() {
  return page.evaluate(`[...document.querySelectorAll('#log > li')].map((li) => ({
    kind: li.dataset.kind,
    status: li.dataset.status,
    badge: li.querySelector('.status')?.textContent ?? null,
    request: li.querySelector('.request')?.textContent ?? null,
    reply: li.querySelector('.reply')?.textContent ?? li.textContent,
    wire: li.querySelector('.wire')?.textContent ?? null,
    visible: li.getBoundingClientRect().height > 0,
  }))`);
}

async function settledEntry(index) {
  await page.waitFor(
    `(() => { const li = document.querySelectorAll('#log > li')[${index}];
              return li && li.dataset.status !== 'pending'; })()`,
    `log entry ${index} to settle`,
  );
  return (await entries())[index];
}

test('the playground connects on opening and shows it', async () => {
  await page.goto(`${site.url}/playground/index.html`);
  await page.waitFor(`document.getElementById('connection').dataset.state === 'open'`, 'the connection');
  assert.equal(await page.evaluate(`document.getElementById('connection').textContent`), 'Connected to ws://127.0.0.1:7321');
  const [first] = await entries();
  assert.equal(first.kind, 'system');
  assert.match(first.reply, /Connected to ws:\/\/127\.0\.0\.1:7321/);
  assert.equal(await page.evaluate(`document.getElementById('load').disabled`), false);
});

test('loading a module shows the request and the success reply', async () => {
  const module = plugin('echo_plugin');
  await fill('module', module);
  await click('load');
  const entry = await settledEntry(1);
  assert.equal(entry.kind, 'load');
  assert.equal(entry.status, 'ok');
  assert.equal(entry.badge, 'Success');
  assert.equal(entry.request, module);
  assert.equal(entry.reply, 'Load module success');
  assert.ok(entry.visible);
  assert.match(entry.wire, /^→ \{"MsgId":"[^"]+","Module":".*echo_plugin\.so"\}\n← \{"MsgId":"LoadModule","Result":true,"Response":"Load module success"\}$/);
});

test('a failed load is shown as failed with the program text', async () => {
  await fill('module', '/nonexistent/missing_plugin.so');
  await click('load');
  const entry = await settledEntry(2);
  assert.equal(entry.status, 'failed');
  assert.equal(entry.badge, 'Failed');
  assert.equal(entry.reply, "Load Module error, can't find module.Error code: 2");
});

test('calling a method shows its parameter and the module answer', async () => {
  const param = '{"greeting": "hello from Chromium", "note": "grüße / καλημέρα / €"}';
  await fill('method', 'echo');
  await fill('param', param);
  await click('invoke');
  const entry = await settledEntry(3);
  assert.equal(entry.kind, 'invoke');
  assert.equal(entry.status, 'ok');
  assert.equal(entry.request, `echo(${param})`);
  assert.equal(entry.reply, param);
});

test('a method that fails is shown as failed with its answer', async () => {
  await fill('method', 'fail');
  await fill('param', '');
  await click('invoke');
  const failed = await settledEntry(4);
  assert.equal(failed.status, 'failed');
  assert.equal(failed.request, 'fail()');
  assert.equal(failed.reply, 'failed on purpose');

  await fill('method', 'length');
  await fill('param', 'twelve bytes');
  await click('invoke');
  const ok = await settledEntry(5);
  assert.equal(ok.status, 'ok');
  assert.equal(ok.reply, '12');

  // The screenshot a person looks at: after a load and successful and failed calls.
  await fill('method', 'echo');
  await fill('param', '{"greeting": "hello from Chromium"}');
  await click('invoke');
  assert.equal((await settledEntry(6)).reply, '{"greeting": "hello from Chromium"}');
  // Long requests are cut with an ellipsis; no entry runs out of the log card or the window.
  const overflow = await page.evaluate(`(() => {
    const card = document.querySelector('.log').getBoundingClientRect();
    return [...document.querySelectorAll('#log > li')]
      .filter((li) => li.getBoundingClientRect().right > Math.min(card.right, innerWidth) + 0.5).length;
  })()`);
  assert.equal(overflow, 0, 'log entries wider than the log');
  writeFileSync(SCREENSHOT, await page.screenshot());
});

test('a call in flight fails, and the page says the connection ended, when the program stops', async () => {
  await fill('method', 'sleep');
  await fill('param', '5000');
  await click('invoke');
  await page.waitFor(`document.querySelectorAll('#log > li').length === 8`, 'the sleep request');
  await server.stop('SIGKILL');
  server = null;
  const entry = await settledEntry(7);
  assert.equal(entry.status, 'failed');
  assert.match(entry.reply, /^The connection to ravelink ended \(1006\)$/);
  await page.waitFor(`document.getElementById('connection').dataset.state === 'closed'`, 'the disconnected state');
  assert.equal(await page.evaluate(`document.getElementById('invoke').disabled`), true);
  const last = (await entries()).at(-1);
  assert.equal(last.kind, 'system');
  assert.match(last.reply, /Connection ended \(1006\)/);
});

test('with nothing listening, connecting names the local network permission', async () => {
  await click('connect');
  await page.waitFor(`document.getElementById('connection').dataset.state === 'closed' &&
    document.querySelector('#log > li:last-child').dataset.status === 'failed' &&
    /nothing is listening/.test(document.querySelector('#log > li:last-child').textContent)`, 'the failure line');
  const last = (await entries()).at(-1);
  assert.match(last.reply, /local network access permission/);
});

test('under a content security policy without ravelink in connect-src, connect fails BLOCKED at once', async () => {
  const strict = await browser.newPage();
  await strict.goto(`${site.url}/playground/?csp=${encodeURIComponent("connect-src 'self'")}`);
  // A timeout far beyond the test's own: only the violation report can settle it in time.
  const result = await strict.evaluate(`import('/client/ravelink.js').then((m) =>
    m.connect({ timeoutMs: 600000 }).then(() => ({ code: 'OPEN' }), (e) => ({ code: e.code, message: e.message })))`);
  assert.equal(result.code, 'BLOCKED');
  assert.match(result.message, /add ws:\/\/127\.0\.0\.1:7321 to its connect-src directive/);
});

test('opened from disk, the page either works or tells how to serve it', async () => {
  const fromDisk = await browser.newPage();
  await fromDisk.goto(pathToFileURL(path.join(REPO_DIR, 'playground/index.html')).href);
  const state = await fromDisk.waitFor(
    `window.ravelinkPlaygroundReady ? 'ready' :
       getComputedStyle(document.getElementById('banner')).display !== 'none' && document.getElementById('banner').textContent`,
    'the page script or its banner',
  );
  if (state !== 'ready') assert.match(state, /python3 -m http\.server -b 127\.0\.0\.1 8000/);
});
