// Type declarations for the ravelink page client (ravelink.js).

/** The address every ravelink program listens on. */
export declare const DEFAULT_URL: 'ws://127.0.0.1:7321';
export declare const DEFAULT_CONNECT_TIMEOUT_MS: 5000;
/** Bare names of the information plug-in beside the program: Windows, then Linux. */
export declare const INFO_MODULES: readonly ['ravelink_info', 'libravelink_info.so'];

/**
 * The subset of the standard WebSocket interface the client needs. Browsers' WebSocket fits, and so
 * do Node's own and the `ws` package's: the client always listens to 'error', so `ws` never ends the
 * process with an unhandled one, and an 'error' without a following 'close' (Node's own) is settled
 * as UNREACHABLE as well.
 */
export interface WebSocketLike {
  readonly readyState: number;
  binaryType: string;
  send(data: string): void;
  close(code?: number, reason?: string): void;
  addEventListener(type: 'open' | 'message' | 'close' | 'error', listener: (event: any) => void): void;
  removeEventListener(type: 'open' | 'message' | 'close' | 'error', listener: (event: any) => void): void;
}

export type WebSocketConstructor = new (url: string) => WebSocketLike;

/** One message on the wire, as seen by an onTrace hook. */
export interface TraceEvent {
  direction: 'send' | 'receive';
  /** The JSON text exactly as sent or received. */
  text: string;
}

export interface ConnectOptions {
  /** Defaults to ws://127.0.0.1:7321. */
  url?: string;
  /** How long to wait for the WebSocket to open. Defaults to 5000 ms. */
  timeoutMs?: number;
  /** Default timeout of every load and invoke; none when absent (a plug-in call may take long). */
  requestTimeoutMs?: number;
  /** Called with every request sent and every reply received, for logging tools. */
  onTrace?: (event: TraceEvent) => void;
  /** The WebSocket class to use; defaults to globalThis.WebSocket (needed in Node 20 and older). */
  WebSocket?: WebSocketConstructor;
  /**
   * Require at least this ravelink version ("0.1.0"): connect() first asks the program on a
   * connection of its own and rejects with RavelinkVersionError when it is older or cannot tell.
   */
  minVersion?: string;
}

/** What runs on this machine, as the information plug-in reports it. */
export interface RavelinkInfo {
  product: 'ravelink';
  /** The program's version, "major.minor.patch". */
  version: string;
  /** "windows" or "linux". */
  platform: string;
  /** 32 or 64: the width of the program, and so of the plug-in modules it can load. */
  width: number;
}

export interface RequestOptions {
  /** Reject with RavelinkTimeoutError when no reply arrived within this many milliseconds. */
  timeoutMs?: number;
}

/** A reply document exactly as ravelink sends it. */
export interface RavelinkReply {
  MsgId: string;
  Result: boolean;
  Response: string;
}

export interface CloseInfo {
  code: number;
  reason: string;
  wasClean: boolean;
}

/** Opens a connection to ravelink and resolves once it is open. */
export declare function connect(options?: ConnectOptions): Promise<RavelinkClient>;

/**
 * Asks the program what it is, on a connection of its own (closed again). Rejects with
 * RavelinkConnectionError when it cannot be reached, RavelinkVersionError when it is too old to say.
 */
export declare function info(options?: ConnectOptions): Promise<RavelinkInfo>;

/** Resolves with info() when the program is at least `minimum`; RavelinkVersionError otherwise. */
export declare function requireVersion(minimum: string, options?: ConnectOptions): Promise<RavelinkInfo>;

/**
 * The browser's local network access permission for this page ('granted', 'prompt', 'denied'), or
 * undefined where the browser has none. connect() rejects with code 'DENIED' when it is 'denied'.
 */
export declare function loopbackPermission(): Promise<'granted' | 'prompt' | 'denied' | undefined>;

/** Compares dotted versions number by number: negative, 0 or positive. */
export declare function compareVersions(a: string, b: string): number;

export declare class RavelinkClient {
  private constructor();
  /** The URL this client is connected to. */
  readonly url: string;
  /** True until the connection has ended or close() was called. */
  readonly isOpen: boolean;
  /** Requests sent whose replies have not arrived yet (timed-out ones included). */
  readonly pendingCount: number;
  /** Resolves when the connection has ended, however it ended. Never rejects. */
  readonly closed: Promise<CloseInfo>;
  /**
   * Loads a plug-in module (a file name or path, as the program's platform loader takes it) for this
   * connection. Resolves with "Load module success"; rejects with RavelinkLoadError otherwise.
   */
  load(module: string, options?: RequestOptions): Promise<string>;
  /**
   * Calls `method` of the loaded module with `param` (absent or empty: the module receives "{}").
   * Resolves with the reply's Response text when the module returned 0; rejects with
   * RavelinkInvokeError carrying that text otherwise, or when no module is loaded.
   */
  invoke(method: string, param?: string, options?: RequestOptions): Promise<string>;
  /** What this client talks to, asked on a connection of its own (this one's module stays loaded). */
  info(options?: ConnectOptions): Promise<RavelinkInfo>;
  /** Closes the connection. Pending requests are rejected at once; resolves once it has ended. */
  close(): Promise<void>;
}

export declare class RavelinkError extends Error {}

export type ConnectionErrorCode = 'UNREACHABLE' | 'TIMEOUT' | 'BLOCKED' | 'DENIED' | 'UNSUPPORTED' | 'CLOSED';

/** The connection could not be opened, or it has ended (code 'CLOSED'). */
export declare class RavelinkConnectionError extends RavelinkError {
  readonly code: ConnectionErrorCode;
  readonly url?: string;
  /** The WebSocket close code, when the connection ended (1006: dropped without a closing handshake). */
  readonly closeCode?: number;
  readonly closeReason?: string;
}

/** ravelink answered with "Result": false. `message` and `response` are the reply's Response text. */
export declare class RavelinkReplyError extends RavelinkError {
  readonly kind: 'load' | 'invoke' | 'syntax';
  readonly response: string;
  readonly msgId: string;
  readonly reply: RavelinkReply;
  readonly module?: string;
  readonly method?: string;
}

export declare class RavelinkLoadError extends RavelinkReplyError {
  readonly kind: 'load';
  readonly module: string;
  /** The platform's error code of a failed load (2 for a missing file on Linux, 126 on Windows). */
  readonly systemCode?: number;
}

export declare class RavelinkInvokeError extends RavelinkReplyError {
  readonly kind: 'invoke';
  readonly method: string;
}

/** ravelink could not read the request ("Invalid syntax, reason: ..."). */
export declare class RavelinkSyntaxError extends RavelinkReplyError {
  readonly kind: 'syntax';
}

export declare class RavelinkTimeoutError extends RavelinkError {
  readonly timeoutMs: number;
  readonly module?: string;
  readonly method?: string;
}

/** The program is older than required, or too old to report its version (`found` null). */
export declare class RavelinkVersionError extends RavelinkError {
  readonly code: 'TOO_OLD';
  /** The version asked for; null when info() found no information plug-in. */
  readonly required: string | null;
  readonly found: string | null;
  readonly info: RavelinkInfo | null;
}

/** A reply that does not belong to the request it answers; the client closes the connection. */
export declare class RavelinkProtocolError extends RavelinkError {
  readonly text: string;
}
