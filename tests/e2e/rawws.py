"""A deliberately small WebSocket client on a plain socket, for what a well-behaved library refuses
to send: text frames that are not UTF-8, messages over the server's size limit, plain HTTP.

Every frame it sends is masked (the server would close the connection for an unmasked one), and it
reads the server's frames back one at a time so a test can look at close codes and reasons."""

import base64
import hashlib
import os
import socket
import struct
import time

OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA


class ConnectionEnded(Exception):
    """The server closed the TCP connection before the expected bytes arrived."""


def mask(payload, key):
    # XOR over the whole payload at once through big integers: fast enough for tens of megabytes.
    if not payload:
        return b""
    repeated = (key * (len(payload) // 4 + 1))[: len(payload)]
    masked = int.from_bytes(payload, "big") ^ int.from_bytes(repeated, "big")
    return masked.to_bytes(len(payload), "big")


def frame_header(opcode, length, fin=True, key=b"\0\0\0\0"):
    first = (0x80 if fin else 0) | opcode
    if length < 126:
        header = struct.pack("!BB", first, 0x80 | length)
    elif length < 1 << 16:
        header = struct.pack("!BBH", first, 0x80 | 126, length)
    else:
        header = struct.pack("!BBQ", first, 0x80 | 127, length)
    return header + key


def frame(opcode, payload, fin=True):
    key = os.urandom(4)
    return frame_header(opcode, len(payload), fin, key) + mask(payload, key)


class RawSocket:
    """A TCP connection to the server with a deadline on every read."""

    def __init__(self, host, port, timeout):
        self.timeout = timeout
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buffer = b""

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("no data from the server within %.0f s" % self.timeout)
        self.sock.settimeout(remaining)
        try:
            chunk = self.sock.recv(65536)
        except socket.timeout:
            raise TimeoutError("no data from the server within %.0f s" % self.timeout) from None
        if not chunk:
            raise ConnectionEnded("the server closed the connection")
        self.buffer += chunk

    def read_exact(self, count, deadline):
        while len(self.buffer) < count:
            self._fill(deadline)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def read_until(self, marker, deadline):
        while marker not in self.buffer:
            self._fill(deadline)
        index = self.buffer.index(marker) + len(marker)
        data, self.buffer = self.buffer[:index], self.buffer[index:]
        return data

    def read_to_end(self, deadline):
        """Everything until the server closes the connection."""
        try:
            while True:
                self._fill(deadline)
        except ConnectionEnded:
            pass
        data, self.buffer = self.buffer, b""
        return data

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class RawWebSocket(RawSocket):
    def __init__(self, host, port, timeout, path="/", version="13", midway=None):
        """`midway`: called after all of the handshake request but its last line has been sent."""
        super().__init__(host, port, timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        request = (
            "GET %s HTTP/1.1\r\n"
            "Host: %s:%d\r\n"
            "Upgrade: websocket\r\n"
            "Connection: Upgrade\r\n"
            "Sec-WebSocket-Key: %s\r\n"
            "Sec-WebSocket-Version: %s\r\n"
            "\r\n" % (path, host, port, key, version)
        )
        if midway is not None:
            self.send(request[:-2].encode())
            midway()
            request = request[-2:]
        self.send(request.encode())
        head = self.read_until(b"\r\n\r\n", time.monotonic() + timeout)
        status = head.split(b"\r\n", 1)[0]
        if b" 101 " not in status + b" ":
            raise AssertionError("handshake refused: %r" % status)
        headers = {}
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            headers[name.strip().lower()] = value.strip()
        accept = base64.b64encode(
            hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest())
        if headers.get(b"sec-websocket-accept") != accept:
            raise AssertionError("handshake without the right Sec-WebSocket-Accept: %r" % head)

    def send_frame(self, opcode, payload, fin=True):
        self.send(frame(opcode, payload, fin))

    def read_frame(self):
        """(opcode, payload) of the next frame from the server."""
        deadline = time.monotonic() + self.timeout
        first, second = self.read_exact(2, deadline)
        if second & 0x80:
            raise AssertionError("the server sent a masked frame")
        length = second & 0x7F
        if length == 126:
            (length,) = struct.unpack("!H", self.read_exact(2, deadline))
        elif length == 127:
            (length,) = struct.unpack("!Q", self.read_exact(8, deadline))
        return first & 0x0F, self.read_exact(length, deadline)
