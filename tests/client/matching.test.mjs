// Reply matching for replies the real program never sends: a scripted peer behind the injectable
// WebSocket shows that the client gives a connection up instead of handing a reply to the wrong request.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import {
  connect,
  info,
  INFO_MODULES,
  RavelinkProtocolError,
  RavelinkVersionError,
  requireVersion,
} from '../../client/ravelink.js';

class ScriptedSocket extends EventTarget {
  static last;
  constructor(url) {
    super();
    this.url = url;
    this.readyState = 0;
    this.sent = [];
    this.closeCalls = 0;
    ScriptedSocket.last = this;
    queueMicrotask(() => {
      this.readyState = 1;
      this.dispatchEvent(new Event('open'));
    });
  }
  send(text) {
    this.sent.push(JSON.parse(text));
  }
  close() {
    this.closeCalls += 1;
    if (this.readyState === 3) return;
    this.readyState = 3;
    queueMicrotask(() => this.reply(null));
  }
  reply(data) {
    if (data === null) {
      const e = new Event('close');
      Object.assign(e, { code: 1000, reason: '', wasClean: true });
      this.dispatchEvent(e);
      return;
    }
    const e = new Event('message');
    e.data = typeof data === 'string' ? data : JSON.stringify(data);
    this.dispatchEvent(e);
  }
}

async function scripted() {
  const client = await connect({ WebSocket: ScriptedSocket });
  return { client, socket: ScriptedSocket.last };
}

test('requests carry MsgId and the protocol keys, Param only when given', async () => {
  const { client, socket } = await scripted();
  client.load('mod.so').catch(() => {});
  client.invoke('m').catch(() => {});
  client.invoke('m', 'p').catch(() => {});
  assert.deepEqual(Object.keys(socket.sent[0]), ['MsgId', 'Module']);
  assert.equal(socket.sent[0].Module, 'mod.so');
  assert.deepEqual(Object.keys(socket.sent[1]), ['MsgId', 'Method']);
  assert.deepEqual(socket.sent[2], { MsgId: socket.sent[2].MsgId, Method: 'm', Param: 'p' });
  await client.close();
});

test('an invoke reply that echoes another id fails every pending request and closes', async () => {
  const { client, socket } = await scripted();
  const first = client.invoke('a', '1');
  const second = client.invoke('b', '2');
  socket.reply({ MsgId: socket.sent[1].MsgId, Result: true, Response: 'for the second' });
  const results = await Promise.allSettled([first, second]);
  for (const result of results) {
    assert.equal(result.status, 'rejected');
    assert.ok(result.reason instanceof RavelinkProtocolError);
  }
  assert.match(results[0].reason.message, /expected MsgId/);
  assert.equal(client.isOpen, false);
  assert.ok(socket.closeCalls > 0);
  await assert.rejects(client.invoke('c'), RavelinkProtocolError);
});

test('a load answered with anything but "LoadModule" is a protocol error', async () => {
  const { client, socket } = await scripted();
  const load = client.load('mod.so');
  socket.reply({ MsgId: socket.sent[0].MsgId, Result: true, Response: 'Load module success' });
  await assert.rejects(load, RavelinkProtocolError);
});

test('a reply that is not JSON, or has no request, ends the connection', async () => {
  {
    const { client, socket } = await scripted();
    const pending = client.invoke('a');
    socket.reply('not json');
    await assert.rejects(pending, { name: 'RavelinkProtocolError', text: 'not json' });
  }
  {
    const { client, socket } = await scripted();
    socket.reply({ MsgId: 'LoadModule', Result: true, Response: 'Load module success' });
    assert.equal(client.isOpen, false);
    await assert.rejects(client.invoke('a'), /reply to no request/);
  }
});

test('a syntax-error reply settles the oldest request whatever its kind', async () => {
  const { client, socket } = await scripted();
  const load = client.load('mod.so');
  const invoke = client.invoke('m');
  socket.reply({ MsgId: 'InvalidSyntax', Result: false, Response: 'Invalid syntax, reason: Bad request' });
  socket.reply({ MsgId: socket.sent[1].MsgId, Result: true, Response: 'ok' });
  await assert.rejects(load, { name: 'RavelinkSyntaxError', message: 'Invalid syntax, reason: Bad request' });
  assert.equal(await invoke, 'ok');
  await client.close();
});

test('a program without the information plug-in is too old to tell its version', async () => {
  // Every load fails as in a ravelink that predates ravelink_info.
  class NoInfoSocket extends ScriptedSocket {
    send(text) {
      super.send(text);
      queueMicrotask(() =>
        this.reply({ MsgId: 'LoadModule', Result: false, Response: "Load Module error, can't find module.Error code: 2" }),
      );
    }
  }
  // The platform's own name first: under a folder policy the other one is refused and logged.
  const original = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  try {
    for (const [platform, first] of [['Win32', 'ravelink_info'], ['Linux x86_64', 'libravelink_info.so']]) {
      Object.defineProperty(globalThis, 'navigator', { value: { platform }, configurable: true, writable: true });
      await assert.rejects(info({ WebSocket: NoInfoSocket }), (e) => e instanceof RavelinkVersionError && e.found === null);
      const tried = ScriptedSocket.last.sent.map((request) => request.Module);
      assert.equal(tried[0], first, platform);
      assert.deepEqual([...tried].sort(), [...INFO_MODULES].sort(), 'both bare names are tried, and nothing is invoked');
    }
  } finally {
    delete globalThis.navigator;
    if (original) Object.defineProperty(globalThis, 'navigator', original);
  }
  await assert.rejects(
    requireVersion('0.1.0', { WebSocket: NoInfoSocket }),
    (e) => e instanceof RavelinkVersionError && e.code === 'TOO_OLD' && e.found === null && e.required === '0.1.0',
  );
});

test("a denied local network permission fails DENIED before any socket is made; older names are asked too", async (t) => {
  const asked = [];
  const navigator = {
    permissions: {
      async query({ name }) {
        asked.push(name);
        if (name === 'loopback-network') throw new TypeError(`'${name}' is not a valid permission name`);
        return { state: 'denied' };
      },
    },
  };
  const original = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  Object.defineProperty(globalThis, 'navigator', { value: navigator, configurable: true, writable: true });
  t.after(() => {
    delete globalThis.navigator;
    if (original) Object.defineProperty(globalThis, 'navigator', original);
  });
  ScriptedSocket.last = undefined;
  await assert.rejects(connect({ WebSocket: ScriptedSocket }), (e) => e.code === 'DENIED' && /site settings/.test(e.message));
  assert.equal(ScriptedSocket.last, undefined, 'no WebSocket was opened');
  assert.deepEqual(asked, ['loopback-network', 'local-network-access']);
});
