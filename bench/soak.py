#!/usr/bin/python3
"""Soak: minutes of mixed traffic against the real Linux program, then a check that it is still
alive, that every request on a healthy connection got its exact reply, and that its resident memory
came back within a bound. Run by `make soak` inside a private network namespace (its own loopback
and port 7321); writes its figures to a Markdown report.

Traffic, all at once and each stream bounded in time and count:
- callers: three connections load the echo plug-in and call it (echo, length, fail, unknown
  methods), reconnecting every few hundred requests;
- large answers: one connection asks for answers of 64 KiB to 16 MiB;
- churn: connections that load, call once and close, every third one dropped abruptly with a 1 MiB
  answer still on its way;
- flood: one connection sends rounds of 50,000 empty messages while reading the replies;
- slow reader: one connection asks for many 1 MiB answers at once and reads them at about 1 MB/s;
- descriptor squeeze: now and then hundreds of connections at once, more than the program may
  hold open (it runs with a descriptor limit of 512), while the callers go on being served.

The memory bound: at the end, with every connection closed, resident memory must fall to at most
the baseline (measured after the first load and call) plus 32 MiB within 20 s. A leak of a few
hundred bytes per request, or unsent replies kept or not given back after the slow reader (about
100 MiB per round), ends far above that."""

import argparse
import asyncio
import json
import os
import random
import resource
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import websockets  # noqa: E402

from harness import HOST, PORT, URI, port_accepts  # noqa: E402
from rawws import OP_TEXT, frame_header  # noqa: E402

MiB = 1 << 20
REPLY_TIMEOUT = 30.0  # the machine is shared: generous, but a stuck program still fails
SERVER_FD_LIMIT = 512
MEMORY_SLACK = 32 * MiB
LOAD_OK = {"MsgId": "LoadModule", "Result": True, "Response": "Load module success"}
BAD_REQUEST = b'{"MsgId":"InvalidSyntax","Result":false,"Response":"Invalid syntax, reason: Bad request"}'
BAD_REQUEST_FRAME = bytes([0x81, len(BAD_REQUEST)]) + BAD_REQUEST
EMPTY_FRAME = frame_header(OP_TEXT, 0)  # masked with a zero key: valid, and no bytes to mask


def request(**members):
    return json.dumps(members, ensure_ascii=False, separators=(",", ":"))


def decode_reply(text):
    """The reply as a dict, after checking its members and their order."""
    reply = json.loads(text)
    if list(reply) != ["MsgId", "Result", "Response"]:
        raise AssertionError("reply members %r" % list(reply))
    return reply


class RawConnection:
    """A WebSocket connection on asyncio streams, for what the library client would smooth over:
    sending without reading, reading slowly, dropping the socket."""

    @classmethod
    async def open(cls):
        self = cls()
        self.reader, self.writer = await asyncio.wait_for(
            asyncio.open_connection(HOST, PORT, limit=4 * MiB), REPLY_TIMEOUT)
        self.writer.write(("GET / HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: c29ha2luZy1zb2FraW5nIQ==\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (HOST, PORT)).encode())
        head = await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), REPLY_TIMEOUT)
        if b" 101 " not in head.split(b"\r\n", 1)[0] + b" ":
            raise AssertionError("handshake refused: %r" % head[:100])
        return self

    def send(self, text):
        payload = text.encode()
        self.writer.write(frame_header(OP_TEXT, len(payload)) + payload)

    async def read_exact(self, count, pace):
        if pace is None:
            return await asyncio.wait_for(self.reader.readexactly(count), REPLY_TIMEOUT)
        parts = []  # about `pace` bytes per second, in 64 KiB steps
        while count > 0:
            step = min(count, 64 * 1024)
            parts.append(await asyncio.wait_for(self.reader.readexactly(step), REPLY_TIMEOUT))
            count -= step
            await asyncio.sleep(step / pace)
        return b"".join(parts)

    async def receive(self, pace=None):
        first, second = await self.read_exact(2, None)
        if first != 0x81 or second & 0x80:
            raise AssertionError("expected an unmasked final text frame, got %02x %02x"
                                 % (first, second))
        length = second & 0x7F
        if length >= 126:
            extended = await self.read_exact(2 if length == 126 else 8, None)
            length = int.from_bytes(extended, "big")
        return await self.read_exact(length, pace)

    def drop(self):
        self.writer.transport.abort()


class Soak:
    def __init__(self, args):
        self.args = args
        self.deadline = None
        self.counts = {}
        self.figures = {}
        self.errors = []
        self.squeezing = asyncio.Event()
        self.rss_peak = 0
        self.process = None

    def count(self, name, amount=1):
        self.counts[name] = self.counts.get(name, 0) + amount

    def running(self, reserve=0.0):
        return time.monotonic() + reserve < self.deadline and self.process.poll() is None

    def rss(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        raise AssertionError("no VmRSS for the program")

    async def guarded(self, name, body):
        """Runs one stream until the deadline; a failure is recorded and the stream starts over
        (at most a bounded number of times)."""
        for _ in range(20):
            if not self.running():
                return
            try:
                await body()
            except Exception as error:  # noqa: BLE001 - every failure is a finding
                self.errors.append("%s: %s: %s" % (name, type(error).__name__, error))
                await asyncio.sleep(1)

    async def library_client(self):
        client = await websockets.connect(URI, compression=None, max_size=None,
                                          ping_interval=None, open_timeout=REPLY_TIMEOUT,
                                          close_timeout=REPLY_TIMEOUT)
        await self.call(client, request(MsgId="load", Module=self.echo), LOAD_OK)
        self.count("loads")
        return client

    async def call(self, client, text, expected):
        await client.send(text)
        reply = decode_reply(await asyncio.wait_for(client.recv(), REPLY_TIMEOUT))
        if reply != expected:
            raise AssertionError("for %.100s: got %.200r" % (text, reply))

    async def caller(self, index):
        rng = random.Random(index)
        alphabet = "abc \"\\/\n\t\u00e9\u20ac\U0001F600\u0001{}[]"
        for _ in range(100000):
            if not self.running():
                return
            await self.squeeze_over()
            client = await self.library_client()
            try:
                # About 300 calls per connection, more while a squeeze lasts: the connection stays
                # and goes on being served while new ones cannot be accepted.
                for n in range(1000000):
                    if not self.running() or (n >= 300 and not self.squeezing.is_set()):
                        break
                    param = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 200)))
                    msg_id = "c%d-%d" % (index, n)
                    method, result, response = rng.choice([
                        ("echo", True, param),
                        ("length", True, str(len(param.encode()))),
                        ("fail", False, "failed on purpose"),
                        ("failQuiet", False, "[ failQuiet ] function faild."),
                        ("nothing", True, "[ nothing ] function success."),
                    ])
                    await self.call(client, request(MsgId=msg_id, Method=method, Param=param),
                                    {"MsgId": msg_id, "Result": result, "Response": response})
                    self.count("calls")
                    if self.squeezing.is_set():
                        self.count("calls during squeezes")
            finally:
                await client.close()

    async def large_answers(self):
        client = await self.library_client()
        try:
            sizes = [64 * 1024, MiB, 4 * MiB, 16 * MiB]
            for n in range(1000000):
                if not self.running():
                    return
                size = sizes[n % len(sizes)]
                await self.call(client, request(MsgId="b%d" % n, Method="big", Param=str(size)),
                                {"MsgId": "b%d" % n, "Result": True, "Response": "x" * size})
                self.count("large answers")
                self.count("large answer bytes", size)
                await asyncio.sleep(0.2)
        finally:
            await client.close()

    async def churn(self):
        for n in range(1, 1000000):
            if not self.running():
                return
            await self.squeeze_over()
            if n % 3 == 0:
                # Dropped with a load done and a 1 MiB answer on its way.
                raw = await RawConnection.open()
                raw.send(request(MsgId="load", Module=self.echo))
                if decode_reply(await raw.receive()) != LOAD_OK:
                    raise AssertionError("churn load failed")
                raw.send(request(MsgId="gone", Method="big", Param=str(MiB)))
                await raw.writer.drain()
                raw.drop()
                self.count("abrupt disconnects")
            else:
                client = await self.library_client()
                await self.call(client, request(MsgId="once", Method="echo", Param="once"),
                                {"MsgId": "once", "Result": True, "Response": "once"})
                self.count("calls")
                await client.close()
            self.count("connections opened and closed")
            await asyncio.sleep(0.05)

    async def flood(self):
        raw = await RawConnection.open()
        try:
            batch = 50000
            for _ in range(100000):
                if not self.running(reserve=30):
                    return
                began = time.monotonic()

                async def send_all():
                    for _ in range(batch // 1000):
                        raw.writer.write(EMPTY_FRAME * 1000)
                        await raw.writer.drain()

                sender = asyncio.ensure_future(send_all())
                try:
                    # Every reply is the same short unmasked text frame, so the whole round's
                    # replies are known bytes.
                    replies = await raw.read_exact(batch * len(BAD_REQUEST_FRAME), None)
                    await sender
                finally:
                    sender.cancel()
                if replies != BAD_REQUEST_FRAME * batch:
                    raise AssertionError("flood replies differ from %d x %r"
                                         % (batch, BAD_REQUEST_FRAME))
                self.count("empty messages", batch)
                self.figures["flood round (50,000 messages), last"] = "%.2f s" % (
                    time.monotonic() - began)
                await asyncio.sleep(2)
        finally:
            raw.drop()

    async def slow_reader(self):
        answers, pace = self.args.slow_answers, self.args.slow_pace
        expected_duration = answers * MiB / pace
        for _ in range(1000):
            if not self.running(reserve=expected_duration * 1.5 + 10):
                return
            await self.squeeze_over()
            raw = await RawConnection.open()
            try:
                raw.send(request(MsgId="load", Module=self.echo))
                if decode_reply(await raw.receive()) != LOAD_OK:
                    raise AssertionError("slow reader load failed")
                began = time.monotonic()
                for n in range(answers):
                    raw.send(request(MsgId="s%d" % n, Method="big", Param=str(MiB)))
                await raw.writer.drain()
                expected = ('"Result":true,"Response":"%s"}' % ("x" * MiB)).encode()
                for n in range(answers):
                    reply = await raw.receive(pace)
                    if reply != ('{"MsgId":"s%d",' % n).encode() + expected:
                        raise AssertionError("slow reader reply %d: %.100r" % (n, reply))
                    self.count("slow reader answers")
                self.count("slow reader rounds")
                self.figures["slow reader round (%d x 1 MiB), last" % answers] = "%.1f s" % (
                    time.monotonic() - began)
            finally:
                raw.drop()
            await self.pause(10)

    async def pause(self, seconds):
        """Sleeps, but not past the deadline."""
        await asyncio.sleep(max(0.0, min(seconds, self.deadline - time.monotonic())))

    async def squeeze_over(self):
        for _ in range(600):  # a squeeze lasts seconds
            if not self.squeezing.is_set():
                return
            await asyncio.sleep(0.1)

    async def squeezes(self):
        await self.pause(20)
        for _ in range(20):
            if not self.running(reserve=15):
                return
            self.squeezing.set()
            held = []
            try:
                for _ in range(self.args.squeeze):
                    _, writer = await asyncio.wait_for(asyncio.open_connection(HOST, PORT),
                                                       REPLY_TIMEOUT)
                    held.append(writer)
                # The callers keep calling on their open connections meanwhile.
                during = self.counts.get("calls during squeezes", 0)
                await asyncio.sleep(3)
                if self.counts.get("calls during squeezes", 0) == during:
                    raise AssertionError("no call answered during a squeeze of %d connections"
                                         % len(held))
            finally:
                for writer in held:
                    writer.transport.abort()
                self.squeezing.clear()
            self.count("squeezes")
            self.count("squeeze connections", len(held))
            began = time.monotonic()
            client = await self.library_client()
            await client.close()
            self.figures["new connection served after a squeeze, slowest"] = "%.2f s" % max(
                time.monotonic() - began,
                float(self.figures.get("new connection served after a squeeze, slowest",
                                       "0 s").split()[0]))
            await self.pause(60)

    async def sample_memory(self):
        for _ in range(int(self.args.seconds * 4) + 2000):
            if not self.running():
                return
            try:
                self.rss_peak = max(self.rss_peak, self.rss())
            except OSError:  # the program just ended: found by the final check
                return
            await asyncio.sleep(0.25)

    async def run(self):
        client = await self.library_client()
        await self.call(client, request(MsgId="0", Method="echo", Param="warm"),
                        {"MsgId": "0", "Result": True, "Response": "warm"})
        await client.close()
        await asyncio.sleep(1)
        self.baseline = self.rss()
        began = time.monotonic()
        self.deadline = began + self.args.seconds
        streams = [self.guarded("caller %d" % i, lambda i=i: self.caller(i)) for i in range(3)]
        streams += [self.guarded(name, body) for name, body in [
            ("large answers", self.large_answers), ("churn", self.churn), ("flood", self.flood),
            ("slow reader", self.slow_reader), ("squeeze", self.squeezes)]]
        await asyncio.gather(self.sample_memory(), *streams)
        self.figures["traffic"] = "%.0f s" % (time.monotonic() - began)

        # Everything is closed: memory has to come back.
        bound = self.baseline + MEMORY_SLACK
        settle = time.monotonic()
        while self.process.poll() is None and self.rss() > bound and time.monotonic() - settle < 20:
            await asyncio.sleep(0.25)
        self.final = self.rss() if self.process.poll() is None else None
        self.figures["settling after the traffic"] = "%.1f s" % (time.monotonic() - settle)
        if self.process.poll() is not None:
            self.errors.append("the program exited with code %d" % self.process.returncode)
        elif self.final > bound:
            self.errors.append("resident memory %.1f MiB at the end, above the bound %.1f MiB"
                               % (self.final / MiB, bound / MiB))

    def start(self):
        if port_accepts():
            raise SystemExit("%s:%d is taken: run this in a private network namespace"
                             % (HOST, PORT))
        os.makedirs(self.args.logs, exist_ok=True)
        self.stdout_path = os.path.join(self.args.logs, "access.log")
        self.stderr_path = os.path.join(self.args.logs, "error.log")

        def limit_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (SERVER_FD_LIMIT, SERVER_FD_LIMIT))

        self.process = subprocess.Popen(
            [self.args.program], stdin=subprocess.DEVNULL, stdout=open(self.stdout_path, "wb"),
            stderr=open(self.stderr_path, "wb"), preexec_fn=limit_descriptors)
        deadline = time.monotonic() + 20
        while not port_accepts():
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("ravelink did not start listening; see %s" % self.stderr_path)
            time.sleep(0.05)

    def report(self, started_at, wall):
        with open(self.stderr_path, "rb") as log:
            error_log = log.read()
        commit = subprocess.run(["git", "describe", "--always", "--dirty"], capture_output=True,
                                text=True).stdout.strip()
        verdict = "passed" if not self.errors else "FAILED (%d errors)" % len(self.errors)
        lines = [
            "# ravelink soak",
            "",
            "Measured %s by `make soak` (bench/soak.py), %.0f s of traffic asked for, %.0f s in all, "
            "ravelink at %s. Result: **%s**." % (started_at, self.args.seconds, wall, commit,
                                                  verdict),
            "",
            "The program ran natively (build/linux/ravelink, the linux preset) in a private network "
            "namespace with a descriptor limit of %d; the machine has %d cores shared with other "
            "work (load average at the start: %s)." % (
                SERVER_FD_LIMIT, os.cpu_count(), self.load_at_start),
            "",
            "All at once, each stream bounded in time and count: three callers on the echo plug-in "
            "(reconnecting every 300 calls), answers of 64 KiB to 16 MiB on one connection, "
            "connections that load, call once and close (every third dropped abruptly with a 1 MiB "
            "answer on its way), rounds of 50,000 empty messages, a slow reader that asks for %d "
            "answers of 1 MiB at once and reads them at %.1f MiB/s, and every minute a squeeze of "
            "%d connections at once, more than the program's descriptors. Every reply on a healthy "
            "connection is checked in full. The memory bound: once every connection is closed, "
            "resident memory must fall to the baseline plus 32 MiB within 20 s; a leak of a few "
            "hundred bytes per request, or the slow reader's unsent answers kept or not given back, "
            "ends far above it." % (self.args.slow_answers, self.args.slow_pace / MiB,
                                    self.args.squeeze),
            "",
            "| Figure | Value |",
            "|---|---|",
        ]
        for name in ["calls", "calls during squeezes", "loads", "large answers", "large answer bytes", "empty messages",
                     "slow reader rounds", "slow reader answers", "connections opened and closed",
                     "abrupt disconnects", "squeezes", "squeeze connections"]:
            lines.append("| %s | %d |" % (name, self.counts.get(name, 0)))
        lines.append("| requests answered in all | %d |" % (
            sum(self.counts.get(name, 0) for name in ["calls", "loads", "large answers",
                                                      "empty messages", "slow reader answers"])))
        for name, value in self.figures.items():
            lines.append("| %s | %s |" % (name, value))
        lines += [
            "| resident memory, baseline | %.1f MiB |" % (self.baseline / MiB),
            "| resident memory, peak (sampled every 0.25 s) | %.1f MiB |" % (self.rss_peak / MiB),
            "| resident memory, final | %s |" % (
                "%.1f MiB" % (self.final / MiB) if self.final is not None else "(exited)"),
            "| bound for the final figure (baseline + 32 MiB) | %.1f MiB |"
            % ((self.baseline + MEMORY_SLACK) / MiB),
            "| error log | %d lines, %d bytes |" % (error_log.count(b"\n"), len(error_log)),
            "",
        ]
        if self.errors:
            lines += ["Errors:", ""] + ["- %s" % error for error in self.errors[:30]] + [""]
        with open(self.args.report, "w") as out:
            out.write("\n".join(lines))
        print("\n".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--program", required=True)
    parser.add_argument("--plugins", required=True)
    parser.add_argument("--report", required=True)
    parser.add_argument("--logs", default="build/soak")
    parser.add_argument("--slow-answers", type=int, default=100)
    parser.add_argument("--slow-pace", type=float, default=1.0 * MiB, help="bytes per second")
    parser.add_argument("--squeeze", type=int, default=640)
    args = parser.parse_args()

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))  # the squeeze needs ours
    started_at = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    wall = time.monotonic()
    soak = Soak(args)
    soak.echo = os.path.abspath(os.path.join(args.plugins, "echo_plugin.so"))
    soak.load_at_start = " ".join(open("/proc/loadavg").read().split()[:3])
    soak.start()
    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(soak.run())
    finally:
        if soak.process.poll() is None:
            soak.process.kill()
        soak.process.wait(10)
        loop.close()
    soak.report(started_at, time.monotonic() - wall)
    return 1 if soak.errors else 0


if __name__ == "__main__":
    sys.exit(main())
