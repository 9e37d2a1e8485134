// The page client against the real native program and the test plug-ins.
import assert from 'node:assert/strict';
import net from 'node:net';
import { after, before, test } from 'node:test';

import {
  connect,
  RavelinkConnectionError,
  RavelinkInvokeError,
  RavelinkLoadError,
  RavelinkSyntaxError,
  RavelinkTimeoutError,
  RavelinkVersionError,
  requireVersion,
} from '../../client/ravelink.js';
import { freePort, plugin, startRavelink, WsWebSocket } from './harness.mjs';

// The implementations a page in Node meets: the `ws` package (Debian's node-ws), and Node's own
// (Node 22; Node 20 with --experimental-websocket, which the test command passes where it exists).
const IMPLEMENTATIONS = [
  ['the ws package', WsWebSocket],
  ["Node's own WebSocket", globalThis.WebSocket],
];

let server;
const open = [];

async function client(options = {}) {
  const c = await connect({ WebSocket: WsWebSocket, ...options });
  open.push(c);
  return c;
}

async function loadedClient(options) {
  const c = await client(options);
  await c.load(plugin('echo_plugin'));
  return c;
}

before(async () => {
  server = await startRavelink();
});

after(async () => {
  await Promise.all(open.map((c) => c.close()));
  if (server) await server.stop();
});

test('load resolves with the success text for a module that exports Invoke', async () => {
  const c = await client();
  assert.equal(await c.load(plugin('echo_plugin')), 'Load module success');
});

test('info() tells what runs on a connection of its own; a newer minimum is refused with TOO_OLD', async () => {
  const c = await loadedClient();
  const found = await c.info();
  assert.deepEqual(found, {
    product: 'ravelink',
    version: process.env.RAVELINK_VERSION,
    platform: 'linux',
    width: process.arch === 'x64' || process.arch === 'arm64' ? 64 : 32,
  });
  assert.equal(await c.invoke('echo', 'still mine'), 'still mine', "the page's module stays loaded");

  const options = { WebSocket: WsWebSocket };
  assert.deepEqual(await requireVersion(found.version, options), found);
  const newer = `${Number(found.version.split('.')[0]) + 1}.0.0`;
  const tooOld = (e) =>
    e instanceof RavelinkVersionError && e.code === 'TOO_OLD' && e.found === found.version && e.required === newer;
  await assert.rejects(requireVersion(newer, options), tooOld);
  await assert.rejects(connect({ ...options, minVersion: newer }), tooOld);
  await assert.rejects(requireVersion('latest', options), TypeError);
});

test('load of a missing file rejects with the reply text and the system error code', async () => {
  const c = await client();
  const missing = `${plugin('echo_plugin')}.missing`;
  const error = await c.load(missing).then(
    () => assert.fail('load resolved'),
    (e) => e,
  );
  assert.ok(error instanceof RavelinkLoadError);
  assert.equal(error.kind, 'load');
  assert.equal(error.msgId, 'LoadModule');
  assert.equal(error.module, missing);
  assert.match(error.message, /^Load Module error, can't find module\.Error code: \d+$/);
  assert.equal(error.response, error.message);
  assert.equal(error.systemCode, 2);
});

test('load of a module without Invoke rejects with "Invalid plugin format"', async () => {
  const c = await client();
  await assert.rejects(c.load(plugin('noinvoke_plugin')), {
    name: 'RavelinkLoadError',
    message: 'Invalid plugin format',
    systemCode: undefined,
  });
});

test('a failed load leaves the module loaded before it callable', async () => {
  const c = await loadedClient();
  await assert.rejects(c.load('/nonexistent/module.so'), RavelinkLoadError);
  assert.equal(await c.invoke('echo', 'still here'), 'still here');
});

test('invoke before any load rejects with "Module have not been loaded"', async () => {
  const c = await client();
  const error = await c.invoke('echo', 'x').catch((e) => e);
  assert.ok(error instanceof RavelinkInvokeError);
  assert.equal(error.message, 'Module have not been loaded');
  assert.equal(error.method, 'echo');
  assert.equal(error.reply.Result, false);
});

test('invoke resolves with the module answer, byte for byte', async () => {
  const c = await loadedClient();
  assert.equal(await c.invoke('echo', 'hello'), 'hello');
  assert.equal(await c.invoke('echo', 'grüße, 世界 / "quoted" \\ tab\t'), 'grüße, 世界 / "quoted" \\ tab\t');
  assert.equal(
    await c.invoke('escapes'),
    'q" b\\ n\n t\t r\r c\x01 u\x1f d\x7f s/ \u00e9\u20ac',
  );
  assert.equal(await c.invoke('empty'), '');
  assert.equal(await c.invoke('unknownMethod'), '[ unknownMethod ] function success.');
});

test('invoke without a parameter, or with an empty one, hands the module "{}"', async () => {
  const c = await loadedClient();
  assert.equal(await c.invoke('echo'), '{}');
  assert.equal(await c.invoke('echo', ''), '{}');
});

test('invoke rejects with the module answer when Invoke returns non-zero', async () => {
  const c = await loadedClient();
  await assert.rejects(c.invoke('fail', 'p'), {
    name: 'RavelinkInvokeError',
    kind: 'invoke',
    message: 'failed on purpose',
    method: 'fail',
  });
  await assert.rejects(c.invoke('failQuiet'), {
    name: 'RavelinkInvokeError',
    message: '[ failQuiet ] function faild.',
  });
});

test('a request the program cannot read rejects with its syntax-error text and keeps order', async () => {
  const c = await loadedClient();
  // A lone surrogate is valid for JSON.stringify but not for the program's parser.
  const results = await Promise.allSettled([
    c.invoke('echo', 'before'),
    c.invoke('echo', '\ud800'),
    c.invoke('echo', 'after'),
  ]);
  assert.deepEqual(results[0], { status: 'fulfilled', value: 'before' });
  assert.ok(results[1].reason instanceof RavelinkSyntaxError);
  assert.equal(results[1].reason.message, 'Invalid syntax, reason: Invalid message format');
  assert.equal(results[1].reason.msgId, 'InvalidSyntax');
  assert.deepEqual(results[2], { status: 'fulfilled', value: 'after' });
});

test('many pipelined requests, loads and failures among them, each settle with their own reply', async () => {
  const traces = [];
  const c = await client({ onTrace: (t) => traces.push(t) });
  const expected = [];
  const promises = [];
  const add = (promise, outcome) => {
    promises.push(promise);
    expected.push(outcome);
  };
  add(c.invoke('echo', 'too early'), { error: 'Module have not been loaded' });
  add(c.load(plugin('echo_plugin')), { value: 'Load module success' });
  for (let i = 0; i < 300; i++) {
    if (i % 50 === 7) add(c.load(`/nonexistent/${i}.so`), { error: /^Load Module error/ });
    if (i % 50 === 19) add(c.invoke('fail', String(i)), { error: 'failed on purpose' });
    if (i % 50 === 31) add(c.load(plugin('echo_plugin')), { value: 'Load module success' });
    if (i % 50 === 43) add(c.invoke('echo', '\ud800'), { error: /^Invalid syntax, reason: / });
    add(c.invoke('echo', `message ${i}`), { value: `message ${i}` });
  }
  assert.equal(c.pendingCount, promises.length);
  const results = await Promise.allSettled(promises);
  results.forEach((result, i) => {
    const want = expected[i];
    if (want.value !== undefined) {
      assert.deepEqual(result, { status: 'fulfilled', value: want.value }, `request ${i}`);
    } else {
      assert.equal(result.status, 'rejected', `request ${i}`);
      if (want.error instanceof RegExp) assert.match(result.reason.message, want.error, `request ${i}`);
      else assert.equal(result.reason.message, want.error, `request ${i}`);
    }
  });
  assert.equal(c.pendingCount, 0);
  const sentIds = traces.filter((t) => t.direction === 'send').map((t) => JSON.parse(t.text).MsgId);
  assert.equal(new Set(sentIds).size, promises.length, 'every request has its own MsgId');
  assert.equal(traces.filter((t) => t.direction === 'receive').length, promises.length);
});

test('MsgIds are unique across clients too', async () => {
  const ids = [];
  const onTrace = (t) => t.direction === 'send' && ids.push(JSON.parse(t.text).MsgId);
  const a = await loadedClient({ onTrace });
  const b = await loadedClient({ onTrace });
  await Promise.all([a.invoke('echo', 'a'), b.invoke('echo', 'b'), a.invoke('echo', 'c')]);
  assert.equal(ids.length, 5);
  assert.equal(new Set(ids).size, 5);
  for (const id of ids) assert.ok(id !== 'LoadModule' && id !== 'InvalidSyntax');
});

test('a request timeout rejects that request only; its late reply does not shift later ones', async () => {
  const c = await loadedClient();
  const slow = c.invoke('sleep', '1500', { timeoutMs: 100 });
  const next = c.invoke('echo', 'next');
  const error = await slow.catch((e) => e);
  assert.ok(error instanceof RavelinkTimeoutError);
  assert.equal(error.method, 'sleep');
  assert.equal(error.timeoutMs, 100);
  assert.equal(await next, 'next');
  assert.equal(await c.invoke('echo', 'later'), 'later');
  assert.ok(c.isOpen);
});

test('requestTimeoutMs applies to every request of the client', async () => {
  const c = await loadedClient({ requestTimeoutMs: 100 });
  await assert.rejects(c.invoke('sleep', '1000'), RavelinkTimeoutError);
  assert.equal(await c.invoke('echo', 'ok', { timeoutMs: 5000 }), 'ok');
});

test('close() rejects pending requests and every later one, and resolves once closed', async () => {
  const c = await loadedClient();
  const pending = Promise.allSettled([c.invoke('sleep', '300'), c.invoke('echo', 'x')]);
  await c.close();
  for (const result of await pending) {
    assert.equal(result.status, 'rejected');
    assert.ok(result.reason instanceof RavelinkConnectionError);
    assert.equal(result.reason.code, 'CLOSED');
  }
  assert.equal(c.isOpen, false);
  await assert.rejects(c.invoke('echo', 'y'), { name: 'RavelinkConnectionError', code: 'CLOSED' });
  await assert.rejects(c.load(plugin('echo_plugin')), { code: 'CLOSED' });
});

test('a message over the program size limit ends the connection and rejects what was pending', async () => {
  const c = await loadedClient();
  assert.equal(await c.invoke('echo', 'small'), 'small');
  const results = await Promise.allSettled([c.invoke('echo', 'x'.repeat(32_000_000)), c.invoke('echo', 'next')]);
  for (const result of results) {
    assert.equal(result.status, 'rejected');
    assert.ok(result.reason instanceof RavelinkConnectionError);
    assert.equal(result.reason.code, 'CLOSED');
  }
  // The program answers with close code 1009, but it drops the connection while the rest of the
  // message is still arriving, so the close frame may be lost to the reset (1006).
  assert.ok([1009, 1006].includes(results[0].reason.closeCode), `close code ${results[0].reason.closeCode}`);
  assert.equal((await c.closed).code, results[0].reason.closeCode);
  assert.equal(c.isOpen, false);
});

test('every pending promise rejects when the program goes away', async () => {
  const c = await loadedClient();
  const pending = Promise.allSettled([c.invoke('sleep', '5000'), c.invoke('echo', 'a'), c.load(plugin('echo_plugin'))]);
  await new Promise((resolve) => setTimeout(resolve, 200)); // let the program take up the sleep
  await server.stop('SIGKILL');
  server = null;
  const results = await pending;
  for (const result of results) {
    assert.equal(result.status, 'rejected');
    assert.ok(result.reason instanceof RavelinkConnectionError);
    assert.equal(result.reason.code, 'CLOSED');
    assert.equal(result.reason.closeCode, 1006);
  }
  assert.equal((await c.closed).wasClean, false);
  server = await startRavelink();
  const again = await loadedClient();
  assert.equal(await again.invoke('echo', 'back'), 'back');
});

for (const [name, WebSocket] of IMPLEMENTATIONS) {
  test(`connect fails with UNREACHABLE, naming the local network permission, when nothing listens (${name})`, {
    skip: WebSocket === undefined && 'this Node has no WebSocket of its own',
  }, async () => {
    const url = `ws://127.0.0.1:${await freePort()}`;
    const error = await connect({ url, WebSocket }).catch((e) => e);
    assert.ok(error instanceof RavelinkConnectionError);
    assert.equal(error.code, 'UNREACHABLE');
    assert.equal(error.url, url);
    assert.match(error.message, /nothing is listening/);
    assert.match(error.message, /local network access permission/);
  });

  test(`connect fails with TIMEOUT when the peer never completes the handshake (${name})`, {
    skip: WebSocket === undefined && 'this Node has no WebSocket of its own',
  }, async (t) => {
    const silent = net.createServer(() => {});
    const sockets = [];
    silent.on('connection', (s) => sockets.push(s));
    await new Promise((resolve) => silent.listen(0, '127.0.0.1', resolve));
    t.after(() => {
      sockets.forEach((s) => s.destroy());
      silent.close();
    });
    const url = `ws://127.0.0.1:${silent.address().port}`;
    await assert.rejects(connect({ url, timeoutMs: 200, WebSocket }), {
      name: 'RavelinkConnectionError',
      code: 'TIMEOUT',
    });
    // The socket given up on reports that as an error of its own once more; nothing may be left
    // for the process to die of.
    await new Promise((resolve) => setTimeout(resolve, 100));
  });
}

test('connect fails with UNSUPPORTED when no WebSocket implementation exists', async () => {
  await assert.rejects(connect({ WebSocket: null }), { name: 'RavelinkConnectionError', code: 'UNSUPPORTED' });
});

test('bad arguments are refused without sending anything', async () => {
  const c = await loadedClient();
  await assert.rejects(c.load(''), TypeError);
  await assert.rejects(c.invoke(''), TypeError);
  await assert.rejects(c.invoke('echo', { a: 1 }), TypeError);
  await assert.rejects(c.invoke('echo', 'x', { timeoutMs: -1 }), TypeError);
  assert.equal(c.pendingCount, 0);
  assert.equal(await c.invoke('echo', 'fine'), 'fine');
});
