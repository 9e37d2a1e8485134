// ravelink page client: call native plug-in modules through a ravelink program on this machine.
//
// The program answers the requests of one connection strictly in the order they were sent, exactly one
// reply each. Load replies always carry the MsgId "LoadModule" and syntax-error replies "InvalidSyntax",
// whatever the request's id was, so replies are matched by order: every request joins a FIFO and each
// reply settles the oldest entry. An invoke reply must also echo the entry's own id; anything else means
// the two sides no longer agree, and the connection is given up rather than mismatching replies.
//
// No dependencies and no build step: works as-is in browsers and in Node, with its own WebSocket
// (Node 22; Node 20 with --experimental-websocket) or an injected one such as the `ws` package's.

export const DEFAULT_URL = 'ws://127.0.0.1:7321';
export const DEFAULT_CONNECT_TIMEOUT_MS = 5000;
/**
 * The information plug-in installed with the program, by the bare names the platforms resolve:
 * Windows finds ravelink_info.dll in the program's folder, Linux finds libravelink_info.so in the
 * installation's library folder (with or without an administrator's folder policy). A name the
 * platform cannot load just fails, so both are tried, the platform's own first: under a folder
 * policy the other one is refused, and the program logs every refusal.
 */
export const INFO_MODULES = Object.freeze(['ravelink_info', 'libravelink_info.so']);

// INFO_MODULES, the name of the platform this page runs on first. The program listens on loopback
// only, so the page runs on the program's machine.
function infoModules() {
  const nav = globalThis.navigator;
  const platform = nav?.userAgentData?.platform || nav?.platform || globalThis.process?.platform || '';
  return /^win/i.test(platform) ? INFO_MODULES : [...INFO_MODULES].reverse();
}
const DEFAULT_INFO_TIMEOUT_MS = 5000;

// How long an 'error' while connecting waits for the 'close' or violation report that may follow it.
const ERROR_GRACE_MS = 250;

const LOAD_MSG_ID = 'LoadModule';
const SYNTAX_MSG_ID = 'InvalidSyntax';
const WS_OPEN = 1;

/** Base class of every error this module raises. */
export class RavelinkError extends Error {
  constructor(message, options) {
    super(message, options);
    this.name = new.target.name;
  }
}

/**
 * The connection could not be made or has ended.
 * code: 'UNREACHABLE' | 'TIMEOUT' | 'BLOCKED' | 'DENIED' | 'UNSUPPORTED' | 'CLOSED'
 */
export class RavelinkConnectionError extends RavelinkError {
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.code = code;
    this.url = details.url;
    this.closeCode = details.closeCode;
    this.closeReason = details.closeReason;
  }
}

/** The program answered a request with "Result": false. The message is the reply's "Response" text. */
export class RavelinkReplyError extends RavelinkError {
  constructor(kind, reply, details = {}) {
    super(reply.Response);
    this.kind = kind; // 'load' | 'invoke' | 'syntax'
    this.response = reply.Response;
    this.msgId = reply.MsgId;
    this.reply = reply;
    this.module = details.module;
    this.method = details.method;
  }
}

/** A load request failed: the module was not found or is not a plug-in. */
export class RavelinkLoadError extends RavelinkReplyError {
  constructor(reply, module) {
    super('load', reply, { module });
    // "Load Module error, can't find module.Error code: 126" carries the platform's error code.
    const found = /Error code: (-?\d+)$/.exec(reply.Response);
    this.systemCode = found ? Number(found[1]) : undefined;
  }
}

/** The plug-in's "Invoke" returned non-zero, or no module is loaded. */
export class RavelinkInvokeError extends RavelinkReplyError {
  constructor(reply, method) {
    super('invoke', reply, { method });
  }
}

/** The program could not read the request ("Invalid syntax, reason: ..."). */
export class RavelinkSyntaxError extends RavelinkReplyError {
  constructor(reply, entry) {
    super('syntax', reply, { module: entry.module, method: entry.method });
  }
}

/** No reply arrived within the request's timeout. The connection stays usable. */
export class RavelinkTimeoutError extends RavelinkError {
  constructor(entry, timeoutMs) {
    const what = entry.kind === 'load' ? `load of "${entry.module}"` : `call of "${entry.method}"`;
    super(`No reply to the ${what} within ${timeoutMs} ms`);
    this.timeoutMs = timeoutMs;
    this.module = entry.module;
    this.method = entry.method;
  }
}

/**
 * The program on this machine is older than the page needs (code 'TOO_OLD'). `found` is its version,
 * or null when it has no information plug-in at all (installed before versions were reported).
 */
export class RavelinkVersionError extends RavelinkError {
  constructor(required, found, info) {
    super(
      found === null
        ? `The ravelink on this machine cannot report its version (it has no information plug-in), so it ` +
            `predates version reporting` +
            (required ? `; this page needs ravelink ${required} or newer` : '')
        : `The ravelink on this machine is version ${found}; this page needs ${required} or newer`,
    );
    this.code = 'TOO_OLD';
    this.required = required;
    this.found = found;
    this.info = info;
  }
}

/** A reply that does not fit the request it must belong to; the connection is closed. */
export class RavelinkProtocolError extends RavelinkError {
  constructor(message, text) {
    super(message);
    this.text = text;
  }
}

function ignoreError() {
  // The 'close' that follows says what happened.
}

function unreachableMessage(url) {
  return (
    `Could not connect to ravelink at ${url}. Either nothing is listening there (is the ravelink ` +
    `program running on this machine?), or the browser blocked the connection: pages that are not ` +
    `served from this machine need the browser's local network access permission to reach it. An ` +
    `administrator's ravelink policy that does not list this page's origin refuses it the same way.`
  );
}

function blockedMessage(url, why) {
  let origin = url;
  try {
    const parsed = new URL(url);
    origin = `${parsed.protocol}//${parsed.host}`;
  } catch {
    // Keep the URL as given.
  }
  return (
    `The browser blocked the connection to ${url}${why ? ` (${why})` : ''}. If the page has a content ` +
    `security policy, add ${origin} to its connect-src directive.`
  );
}

// Permission names of the browser's local network access, newest first: Chrome and Edge split it
// into `local-network` and `loopback-network` in version 145; before, loopback was part of
// `local-network-access`. A browser that does not know a name throws, so the next is tried.
const LOOPBACK_PERMISSIONS = ['loopback-network', 'local-network-access'];

/**
 * The browser's permission state for reaching this machine from the page: 'granted', 'prompt' or
 * 'denied', or undefined where the browser has no such permission (or outside a browser).
 */
export async function loopbackPermission() {
  const permissions = globalThis.navigator?.permissions;
  if (typeof permissions?.query !== 'function') return undefined;
  for (const name of LOOPBACK_PERMISSIONS) {
    try {
      return (await permissions.query({ name })).state;
    } catch {
      // Not a permission this browser knows.
    }
  }
  return undefined;
}

function requireText(value, name) {
  if (typeof value !== 'string' || value.length === 0) {
    throw new TypeError(`${name} must be a non-empty string`);
  }
}

function checkTimeout(value, name) {
  if (value !== undefined && !(typeof value === 'number' && value > 0 && Number.isFinite(value))) {
    throw new TypeError(`${name} must be a positive number of milliseconds`);
  }
}

/**
 * Compares two dotted versions ("1.2.0") number by number; a missing part counts as 0. Returns a
 * negative number, 0 or a positive number.
 */
export function compareVersions(a, b) {
  const parse = (v, name) => {
    if (typeof v !== 'string' || !/^\d+(\.\d+)*$/.test(v)) {
      throw new TypeError(`${name} must be a dotted version such as "1.2.0"`);
    }
    return v.split('.').map(Number);
  };
  const x = parse(a, 'version');
  const y = parse(b, 'version');
  for (let i = 0; i < Math.max(x.length, y.length); i += 1) {
    const d = (x[i] ?? 0) - (y[i] ?? 0);
    if (d !== 0) return d;
  }
  return 0;
}

// Loads the information plug-in on `client` and asks for the version; null when none loads.
async function readInfo(client, timeoutMs) {
  for (const module of infoModules()) {
    try {
      await client.load(module, { timeoutMs });
    } catch (error) {
      if (error instanceof RavelinkLoadError) continue;
      throw error;
    }
    const text = await client.invoke('version', undefined, { timeoutMs });
    let info;
    try {
      info = JSON.parse(text);
    } catch {
      info = null;
    }
    if (info === null || info.product !== 'ravelink' || typeof info.version !== 'string') {
      throw new RavelinkProtocolError(`${module} answered "version" with something else`, text);
    }
    return info;
  }
  return null;
}

/**
 * What runs on this machine: { product: 'ravelink', version, platform, width }, read from the
 * information plug-in on a connection of its own, which is closed again. Rejects with
 * RavelinkConnectionError when ravelink cannot be reached (not installed, not running, blocked by
 * the browser) and with RavelinkVersionError (found null) when it is too old to say.
 */
export async function info(options = {}) {
  const client = await connect({ ...options, minVersion: undefined });
  try {
    const found = await readInfo(client, options.requestTimeoutMs ?? DEFAULT_INFO_TIMEOUT_MS);
    if (found === null) throw new RavelinkVersionError(null, null, null);
    return found;
  } finally {
    await client.close();
  }
}

/**
 * Resolves with info() when the program is at least `minimum`; rejects with RavelinkVersionError
 * (code 'TOO_OLD') when it is older or cannot tell, and with RavelinkConnectionError when it cannot
 * be reached.
 */
export async function requireVersion(minimum, options = {}) {
  compareVersions(minimum, minimum); // a bad `minimum` is refused before anything is sent
  let found;
  try {
    found = await info(options);
  } catch (error) {
    if (error instanceof RavelinkVersionError) throw new RavelinkVersionError(minimum, null, null);
    throw error;
  }
  if (!/^\d+(\.\d+)*$/.test(found.version) || compareVersions(found.version, minimum) < 0) {
    throw new RavelinkVersionError(minimum, found.version, found);
  }
  return found;
}

let clientCount = 0;

export class RavelinkClient {
  #ws;
  #url;
  #queue = [];
  #sequence = 0;
  #idPrefix;
  #requestTimeoutMs;
  #onTrace;
  #ended = null; // the error every later request is rejected with, once the connection is gone
  #closedInfo;
  #resolveClosed;
  #connectOptions;

  /** @internal Use connect(). */
  constructor(ws, { url, requestTimeoutMs, onTrace, connectOptions } = {}) {
    this.#ws = ws;
    this.#url = url;
    this.#connectOptions = connectOptions ?? { url };
    this.#requestTimeoutMs = requestTimeoutMs;
    this.#onTrace = onTrace;
    clientCount += 1;
    this.#idPrefix = `rl${clientCount}-${Math.random().toString(36).slice(2, 8)}-`;
    this.closed = new Promise((resolve) => {
      this.#resolveClosed = resolve;
    });
    ws.binaryType = 'arraybuffer';
    ws.addEventListener('message', (event) => this.#onMessage(event.data));
    ws.addEventListener('close', (event) => this.#onClose(event));
    // A 'close' follows every 'error' of an open connection. Under Node's `ws` package an 'error'
    // nobody listens to would end the whole process.
    ws.addEventListener('error', ignoreError);
    if (ws.readyState !== WS_OPEN) {
      this.#onClose({ code: 1006, reason: '', wasClean: false });
    }
  }

  /** The URL this client is connected to. */
  get url() {
    return this.#url;
  }

  /** True until the connection has ended or close() was called. */
  get isOpen() {
    return this.#ended === null;
  }

  /** Requests sent whose replies have not arrived yet (timed-out ones included). */
  get pendingCount() {
    return this.#queue.length;
  }

  /**
   * Loads a plug-in module for this connection. Resolves with "Load module success". With
   * `isolated: true` the module runs in a host process of its own (programs that do not know the
   * member load it in their own process).
   */
  load(module, options = {}) {
    try {
      requireText(module, 'module');
      checkTimeout(options.timeoutMs, 'timeoutMs');
      if (options.isolated !== undefined && typeof options.isolated !== 'boolean') {
        throw new TypeError('isolated must be true or false');
      }
    } catch (error) {
      return Promise.reject(error);
    }
    const members = options.isolated ? { Module: module, Isolated: true } : { Module: module };
    return this.#request({ kind: 'load', module }, members, options.timeoutMs);
  }

  /** Calls the loaded module's method. Resolves with the reply's "Response" text. */
  invoke(method, param, options = {}) {
    try {
      requireText(method, 'method');
      if (param !== undefined && typeof param !== 'string') {
        throw new TypeError('param must be a string (use JSON.stringify for structured data)');
      }
      checkTimeout(options.timeoutMs, 'timeoutMs');
    } catch (error) {
      return Promise.reject(error);
    }
    const body = { Method: method };
    if (param !== undefined) body.Param = param;
    return this.#request({ kind: 'invoke', method }, body, options.timeoutMs);
  }

  /**
   * What this client talks to (see info()), asked on a connection of its own, so the module this
   * connection has loaded stays loaded.
   */
  info(options = {}) {
    return info({ ...this.#connectOptions, ...options });
  }

  /** Closes the connection; pending requests are rejected at once. Resolves once it has ended. */
  close() {
    if (this.#ended === null) {
      this.#fail(
        new RavelinkConnectionError('CLOSED', 'The connection to ravelink was closed by this page', {
          url: this.#url,
        }),
      );
    }
    return this.closed.then(() => undefined);
  }

  #request(entry, body, timeoutMs = this.#requestTimeoutMs) {
    if (this.#ended !== null) return Promise.reject(this.#ended);
    this.#sequence += 1;
    entry.msgId = this.#idPrefix + this.#sequence;
    const text = JSON.stringify({ MsgId: entry.msgId, ...body });
    const promise = new Promise((resolve, reject) => {
      entry.resolve = resolve;
      entry.reject = reject;
    });
    entry.settled = false;
    this.#queue.push(entry);
    if (timeoutMs !== undefined) {
      // The entry keeps its place in the queue: its late reply must still be consumed in order.
      entry.timer = setTimeout(() => this.#settle(entry, new RavelinkTimeoutError(entry, timeoutMs)), timeoutMs);
    }
    this.#trace('send', text);
    try {
      this.#ws.send(text);
    } catch (error) {
      this.#fail(
        new RavelinkConnectionError('CLOSED', `Could not send to ravelink: ${error.message}`, {
          url: this.#url,
          cause: error,
        }),
      );
    }
    return promise;
  }

  #settle(entry, error, value) {
    if (entry.settled) return;
    entry.settled = true;
    clearTimeout(entry.timer);
    if (error) entry.reject(error);
    else entry.resolve(value);
  }

  #trace(direction, text) {
    if (this.#onTrace) {
      try {
        this.#onTrace({ direction, text });
      } catch {
        // A faulty trace hook must not break reply matching.
      }
    }
  }

  #onMessage(data) {
    if (this.#ended !== null) return;
    const text = typeof data === 'string' ? data : new TextDecoder().decode(data);
    this.#trace('receive', text);
    let reply;
    try {
      reply = JSON.parse(text);
    } catch {
      reply = null;
    }
    if (
      reply === null ||
      typeof reply !== 'object' ||
      typeof reply.MsgId !== 'string' ||
      typeof reply.Result !== 'boolean' ||
      typeof reply.Response !== 'string'
    ) {
      this.#fail(new RavelinkProtocolError('ravelink sent a reply that is not a ravelink reply', text));
      return;
    }
    const entry = this.#queue.shift();
    if (entry === undefined) {
      this.#fail(new RavelinkProtocolError('ravelink sent a reply to no request', text));
      return;
    }
    if (reply.MsgId === SYNTAX_MSG_ID && !reply.Result) {
      this.#settle(entry, new RavelinkSyntaxError(reply, entry));
      return;
    }
    const expected = entry.kind === 'load' ? LOAD_MSG_ID : entry.msgId;
    if (reply.MsgId !== expected) {
      const error = new RavelinkProtocolError(
        `Reply out of order: expected MsgId "${expected}", got "${reply.MsgId}"`,
        text,
      );
      this.#settle(entry, error);
      this.#fail(error);
      return;
    }
    if (reply.Result) {
      this.#settle(entry, null, reply.Response);
    } else if (entry.kind === 'load') {
      this.#settle(entry, new RavelinkLoadError(reply, entry.module));
    } else {
      this.#settle(entry, new RavelinkInvokeError(reply, entry.method));
    }
  }

  #onClose(event) {
    this.#closedInfo = { code: event.code, reason: event.reason, wasClean: event.wasClean };
    if (this.#ended === null) {
      const reason = event.reason ? ` (${event.code} ${event.reason})` : ` (${event.code})`;
      this.#fail(
        new RavelinkConnectionError('CLOSED', `The connection to ravelink ended${reason}`, {
          url: this.#url,
          closeCode: event.code,
          closeReason: event.reason,
        }),
      );
    }
    this.#resolveClosed(this.#closedInfo);
  }

  // Ends the client: every pending request and every later one is rejected with `error`.
  #fail(error) {
    if (this.#ended !== null) return;
    this.#ended = error;
    const pending = this.#queue;
    this.#queue = [];
    for (const entry of pending) this.#settle(entry, error);
    try {
      this.#ws.close();
    } catch {
      // Already closing.
    }
  }
}

/**
 * Opens a connection to ravelink. Resolves with a client once the WebSocket is open. With minVersion,
 * first checks the program's version on a connection of its own (see requireVersion()).
 */
export async function connect(options = {}) {
  if ((await loopbackPermission()) === 'denied') {
    throw new RavelinkConnectionError(
      'DENIED',
      `The user has denied this page access to this machine (the browser's local network access ` +
        `permission), so it cannot reach ravelink at ${options.url ?? DEFAULT_URL}. It can be allowed ` +
        `again in the site settings.`,
      { url: options.url ?? DEFAULT_URL },
    );
  }
  if (options.minVersion !== undefined) {
    await requireVersion(options.minVersion, { ...options, minVersion: undefined });
  }
  return openConnection(options);
}

function openConnection(options) {
  const {
    url = DEFAULT_URL,
    timeoutMs = DEFAULT_CONNECT_TIMEOUT_MS,
    requestTimeoutMs,
    onTrace,
    WebSocket: WebSocketImpl = globalThis.WebSocket,
  } = options;
  const connectOptions = { url, timeoutMs, WebSocket: WebSocketImpl };
  return new Promise((resolve, reject) => {
    checkTimeout(timeoutMs, 'timeoutMs');
    checkTimeout(requestTimeoutMs, 'requestTimeoutMs');
    if (typeof WebSocketImpl !== 'function') {
      throw new RavelinkConnectionError(
        'UNSUPPORTED',
        'No WebSocket implementation available: pass one as the WebSocket option',
        { url },
      );
    }
    let ws;
    try {
      ws = new WebSocketImpl(url);
    } catch (error) {
      // Browsers throw here for URLs they refuse outright (bad scheme, blocked port, policy).
      throw new RavelinkConnectionError('BLOCKED', blockedMessage(url, error.message), {
        url,
        cause: error,
      });
    }
    let done = false;
    let errorGrace;
    let failure; // what the 'error' event said, if anything
    const finish = () => {
      done = true;
      clearTimeout(timer);
      clearTimeout(errorGrace);
      ws.removeEventListener('open', onOpen);
      ws.removeEventListener('close', onClose);
      ws.removeEventListener('error', onError);
      globalThis.document?.removeEventListener?.('securitypolicyviolation', onViolation);
    };
    // A content security policy without the address in connect-src stops the WebSocket with only an
    // 'error' event, no 'close'; the page learns why from the violation report, so settle on that
    // at once instead of waiting for the timeout.
    const onViolation = (event) => {
      if (done || !String(event.effectiveDirective ?? event.violatedDirective).startsWith('connect-src')) return;
      try {
        if (new URL(event.blockedURI).host !== new URL(url).host) return;
      } catch {
        return;
      }
      finish();
      try {
        ws.close();
      } catch {
        // Never opened.
      }
      reject(new RavelinkConnectionError('BLOCKED', blockedMessage(url, 'content security policy'), { url }));
    };
    globalThis.document?.addEventListener?.('securitypolicyviolation', onViolation);
    const onOpen = () => {
      if (done) return;
      finish();
      resolve(new RavelinkClient(ws, { url, requestTimeoutMs, onTrace, connectOptions }));
    };
    const onClose = (event) => {
      if (done) return;
      finish();
      reject(
        new RavelinkConnectionError('UNREACHABLE', unreachableMessage(url), {
          url,
          closeCode: event.code,
          closeReason: event.reason,
          cause: failure,
        }),
      );
    };
    // Browsers and the `ws` package follow a failed connection's 'error' with a 'close'; Node's own
    // WebSocket (Node 20 and 22) fires the 'error' alone. A 'close' or a content security policy's
    // violation report that comes next still decides; otherwise the error itself means unreachable.
    const onError = (event) => {
      if (done || errorGrace !== undefined) return;
      failure = event?.error instanceof Error ? event.error : undefined;
      errorGrace = setTimeout(() => onClose({ code: 1006, reason: '' }), ERROR_GRACE_MS);
    };
    const timer = setTimeout(() => {
      if (done) return;
      finish();
      try {
        ws.close();
      } catch {
        // Nothing to close.
      }
      reject(
        new RavelinkConnectionError(
          'TIMEOUT',
          `No WebSocket connection to ${url} within ${timeoutMs} ms: something there accepts connections ` +
            `but does not answer as ravelink would, or the browser is still waiting for the user to grant ` +
            `this page local network access`,
          { url },
        ),
      );
    }, timeoutMs);
    // Never removed: the `ws` package reports a close() before the handshake ended (the timeout
    // above) as an 'error' too, and one nobody listens to would end the process.
    ws.addEventListener('error', ignoreError);
    ws.addEventListener('open', onOpen);
    ws.addEventListener('close', onClose);
    ws.addEventListener('error', onError);
  });
}
