// A minimal RFC 6455 client with the browser's WebSocket interface, over node's net module, so the
// page client can be tested in Node versions without a global WebSocket and without npm packages.
// Test-only: ws:// URLs, text and binary messages, fragmentation, ping, and the closing handshake.
import { createHash, randomBytes } from 'node:crypto';
import net from 'node:net';

const GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';

function event(type, fields = {}) {
  const e = new Event(type);
  for (const [key, value] of Object.entries(fields)) {
    Object.defineProperty(e, key, { value, enumerable: true });
  }
  return e;
}

export class NodeWebSocket extends EventTarget {
  static CONNECTING = 0;
  static OPEN = 1;
  static CLOSING = 2;
  static CLOSED = 3;

  constructor(url) {
    super();
    const parsed = new URL(url);
    if (parsed.protocol !== 'ws:') throw new SyntaxError(`unsupported URL ${url}`);
    this.url = url;
    this.readyState = NodeWebSocket.CONNECTING;
    this.binaryType = 'blob';
    this._buffer = Buffer.alloc(0);
    this._fragments = null;
    this._closeSent = false;
    this._closeCode = 1006;
    this._closeReason = '';
    this._key = randomBytes(16).toString('base64');
    this._socket = net.connect({ host: parsed.hostname, port: Number(parsed.port || 80) });
    this._socket.on('connect', () => {
      this._socket.write(
        `GET ${parsed.pathname}${parsed.search} HTTP/1.1\r\n` +
          `Host: ${parsed.host}\r\n` +
          'Upgrade: websocket\r\nConnection: Upgrade\r\n' +
          `Sec-WebSocket-Key: ${this._key}\r\nSec-WebSocket-Version: 13\r\n` +
          'Origin: http://localhost\r\n\r\n',
      );
    });
    this._socket.on('data', (chunk) => this._onData(chunk));
    this._socket.on('error', () => {
      if (this.readyState === NodeWebSocket.CONNECTING) this.dispatchEvent(event('error'));
    });
    this._socket.on('close', () => this._finish());
  }

  /** Drops the TCP connection without a closing handshake, as a crash or a lost network would. */
  terminate() {
    this._socket.destroy();
  }

  send(data) {
    if (this.readyState === NodeWebSocket.CONNECTING) {
      throw new DOMException('Still in CONNECTING state.', 'InvalidStateError');
    }
    if (this.readyState !== NodeWebSocket.OPEN) return;
    const payload = typeof data === 'string' ? Buffer.from(data, 'utf8') : Buffer.from(data);
    this._writeFrame(typeof data === 'string' ? 0x1 : 0x2, payload);
  }

  close(code, reason = '') {
    if (this.readyState === NodeWebSocket.CLOSED || this.readyState === NodeWebSocket.CLOSING) return;
    if (this.readyState === NodeWebSocket.CONNECTING) {
      this.readyState = NodeWebSocket.CLOSING;
      this._socket.destroy();
      return;
    }
    this.readyState = NodeWebSocket.CLOSING;
    let payload = Buffer.alloc(0);
    if (code !== undefined) {
      payload = Buffer.concat([Buffer.from([code >> 8, code & 0xff]), Buffer.from(reason, 'utf8')]);
    }
    this._sendClose(payload);
    // A peer that never answers the closing handshake is dropped, as browsers do.
    setTimeout(() => this._socket.destroy(), 3000).unref();
  }

  _sendClose(payload) {
    if (this._closeSent) return;
    this._closeSent = true;
    this._writeFrame(0x8, payload);
  }

  _writeFrame(opcode, payload) {
    const length = payload.length;
    let header;
    if (length < 126) {
      header = Buffer.from([0x80 | opcode, 0x80 | length]);
    } else if (length < 65536) {
      header = Buffer.from([0x80 | opcode, 0x80 | 126, length >> 8, length & 0xff]);
    } else {
      header = Buffer.alloc(10);
      header[0] = 0x80 | opcode;
      header[1] = 0x80 | 127;
      header.writeBigUInt64BE(BigInt(length), 2);
    }
    const mask = randomBytes(4);
    const masked = Buffer.allocUnsafe(length);
    for (let i = 0; i < length; i++) masked[i] = payload[i] ^ mask[i & 3];
    this._socket.write(Buffer.concat([header, mask, masked]));
  }

  _onData(chunk) {
    this._buffer = this._buffer.length ? Buffer.concat([this._buffer, chunk]) : chunk;
    if (this.readyState === NodeWebSocket.CONNECTING) {
      const end = this._buffer.indexOf('\r\n\r\n');
      if (end < 0) return;
      const head = this._buffer.subarray(0, end).toString('latin1');
      this._buffer = this._buffer.subarray(end + 4);
      const expected = createHash('sha1').update(this._key + GUID).digest('base64');
      const accept = /^sec-websocket-accept:\s*(\S+)/im.exec(head);
      if (!/^HTTP\/1\.1 101 /.test(head) || !accept || accept[1] !== expected) {
        this.dispatchEvent(event('error'));
        this._socket.destroy();
        return;
      }
      this.readyState = NodeWebSocket.OPEN;
      this.dispatchEvent(event('open'));
    }
    this._readFrames();
  }

  _readFrames() {
    for (;;) {
      const buf = this._buffer;
      if (buf.length < 2) return;
      const fin = (buf[0] & 0x80) !== 0;
      const opcode = buf[0] & 0x0f;
      let length = buf[1] & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (buf.length < 4) return;
        length = buf.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        if (buf.length < 10) return;
        length = Number(buf.readBigUInt64BE(2));
        offset = 10;
      }
      if (buf[1] & 0x80) offset += 4; // servers do not mask; tolerated but not unmasked here
      if (buf.length < offset + length) return;
      const payload = buf.subarray(offset, offset + length);
      this._buffer = buf.subarray(offset + length);
      this._onFrame(fin, opcode, payload);
    }
  }

  _onFrame(fin, opcode, payload) {
    if (opcode === 0x8) {
      if (payload.length >= 2) {
        this._closeCode = payload.readUInt16BE(0);
        this._closeReason = payload.subarray(2).toString('utf8');
      } else {
        this._closeCode = 1005;
      }
      this._wasClean = true;
      this.readyState = NodeWebSocket.CLOSING;
      this._sendClose(payload.subarray(0, 2));
      this._socket.end();
      return;
    }
    if (opcode === 0x9) {
      if (this.readyState === NodeWebSocket.OPEN) this._writeFrame(0xa, payload);
      return;
    }
    if (opcode === 0xa) return;
    if (opcode === 0x1 || opcode === 0x2) {
      this._fragments = { opcode, parts: [Buffer.from(payload)] };
    } else if (opcode === 0x0 && this._fragments) {
      this._fragments.parts.push(Buffer.from(payload));
    }
    if (!fin || !this._fragments) return;
    const whole = Buffer.concat(this._fragments.parts);
    const kind = this._fragments.opcode;
    this._fragments = null;
    if (this.readyState !== NodeWebSocket.OPEN) return;
    let data;
    if (kind === 0x1) {
      data = whole.toString('utf8');
    } else if (this.binaryType === 'arraybuffer') {
      data = whole.buffer.slice(whole.byteOffset, whole.byteOffset + whole.length);
    } else {
      data = new Blob([whole]);
    }
    this.dispatchEvent(event('message', { data }));
  }

  _finish() {
    if (this.readyState === NodeWebSocket.CLOSED) return;
    const wasOpen = this.readyState !== NodeWebSocket.CONNECTING || this._wasClean;
    if (!this._wasClean && wasOpen) this.dispatchEvent(event('error'));
    this.readyState = NodeWebSocket.CLOSED;
    this.dispatchEvent(
      event('close', {
        code: this._wasClean ? this._closeCode : 1006,
        reason: this._wasClean ? this._closeReason : '',
        wasClean: Boolean(this._wasClean),
      }),
    );
  }
}
