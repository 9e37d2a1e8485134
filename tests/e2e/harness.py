"""Starting, watching and stopping the real ravelink program, natively or under Wine, and talking to
it over its WebSocket with Debian's python3-websockets.

Every wait here is for a condition with a deadline; nothing relies on a fixed pause."""

import asyncio
import errno
import os
import resource
import socket
import subprocess
import threading
import time

import websockets

HOST = "127.0.0.1"
PORT = 7321
URI = "ws://%s:%d/" % (HOST, PORT)


class Target:
    """What differs between the native Linux program and the 32-bit Windows one under Wine."""

    def __init__(self, kind, program, plugin_dir, wine_run):
        if kind not in ("linux", "windows"):
            raise ValueError("unknown target kind %r" % kind)
        self.kind = kind
        self.windows = kind == "windows"
        self.program = os.path.abspath(program)
        self.plugin_dir = os.path.abspath(plugin_dir)
        self.wine_run = wine_run
        # Wine needs seconds to start a process, more on a busy machine.
        self.start_timeout = 90.0 if self.windows else 20.0
        self.reply_timeout = 30.0 if self.windows else 15.0
        self.extension = ".dll" if self.windows else ".so"
        # The loader's code for a file that is not there, and the code for a name that is no UTF-8.
        self.missing_code = 126 if self.windows else errno.ENOENT
        self.bad_name_code = 1113 if self.windows else errno.EILSEQ

    def path(self, host_path):
        """A host path as the program sees it: Wine maps the host's root to drive Z:."""
        if self.windows:
            return "Z:" + host_path.replace("/", "\\")
        return host_path

    def module(self, name):
        return self.path(os.path.join(self.plugin_dir, name + self.extension))

    def command(self):
        if self.windows:
            return [self.wine_run, self.program]
        return [self.program]


def port_accepts():
    try:
        with socket.create_connection((HOST, PORT), timeout=2):
            return True
    except OSError:
        return False


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(0.02)


class OutputCollector:
    """Reads one of the program's standard streams on a thread, so a full pipe never blocks it."""

    def __init__(self, stream):
        self.data = b""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self.lock:
                self.data += chunk

    def text(self):
        with self.lock:
            return self.data

    def count(self, needle):
        return self.text().count(needle)


class Program:
    """One ravelink process with its stdout (access log) and stderr (error log) collected."""

    def __init__(self, target, record_file, limits=None):
        """`limits`: {resource.RLIMIT_...: value} set as both soft and hard limit of the program
        (native only), so that raising the soft limit at start-up cannot undo them."""
        self.target = target
        self.record_file = record_file
        self.limits = limits or {}
        self.process = None

    def start(self, wait_listening=True, check_port=True):
        if check_port and port_accepts():
            raise AssertionError(
                "%s:%d is already taken by another program; stop it before running these tests"
                % (HOST, PORT))
        env = dict(os.environ)
        env["RAVELINK_TEST_RECORD"] = self.target.path(self.record_file)
        limits = self.limits

        def set_limits():
            for which, value in limits.items():
                resource.setrlimit(which, (value, value))

        self.process = subprocess.Popen(
            self.target.command(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, env=env, preexec_fn=set_limits if limits else None)
        self.stdout = OutputCollector(self.process.stdout)
        self.stderr = OutputCollector(self.process.stderr)
        if wait_listening:
            self.wait_listening()
        return self

    def alive(self):
        return self.process is not None and self.process.poll() is None

    def wait_listening(self):
        deadline = time.monotonic() + self.target.start_timeout
        while True:
            code = self.process.poll()
            if code is not None:
                raise AssertionError(
                    "ravelink exited with code %d before it listened on %s:%d; stderr: %r"
                    % (code, HOST, PORT, self.stderr.text()))
            if port_accepts():
                return
            if time.monotonic() > deadline:
                raise AssertionError("ravelink did not listen on %s:%d within %.0f s"
                                     % (HOST, PORT, self.target.start_timeout))
            time.sleep(0.05)

    def wait_exit(self, timeout=None):
        """The exit code, once the program has exited and all its output has been collected."""
        try:
            code = self.process.wait(timeout or self.target.start_timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("ravelink did not exit within %.0f s"
                                 % (timeout or self.target.start_timeout)) from None
        for collector in (self.stdout, self.stderr):
            collector.thread.join(self.target.reply_timeout)
        return code

    def kill(self):
        """SIGKILL, like a crash. Under Wine this is the Windows process itself; the wineserver is
        left to the test run's clean-up."""
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
        if self.process is not None:
            self.process.wait(30)

    def status_kib(self, field):
        """A memory figure of the native program from /proc/PID/status (VmHWM, VmRSS), in KiB."""
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise AssertionError("no %s in /proc/%d/status" % (field, self.process.pid))

    def cpu_ticks(self):
        """User plus system time of the native program so far, in clock ticks."""
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    def wait_idle(self, timeout=60.0):
        """Returns once the program has used (almost) no CPU time for half a second: it has done
        all the work it is going to do for now."""
        deadline = time.monotonic() + timeout
        before = self.cpu_ticks()
        while True:
            time.sleep(0.5)
            now = self.cpu_ticks()
            if now - before <= 2:
                return
            if time.monotonic() > deadline:
                raise AssertionError("ravelink kept busy for %.0f s" % timeout)
            before = now

    def disconnects(self):
        # The library writes this line after the close handler has returned, so once it is there,
        # every release that the close causes has happened.
        return self.stdout.count(b"[disconnect]")

    def wait_disconnects(self, count):
        wait_until(lambda: self.disconnects() >= count, self.target.reply_timeout,
                   "%d closed connections in the access log" % count)


class Recorder:
    """The file that the recorder plug-ins append their "load NAME" / "unload NAME" lines to."""

    def __init__(self, path):
        self.path = path
        open(path, "w").close()

    def lines(self):
        with open(self.path) as file:
            return file.read().splitlines()

    def mark(self):
        return len(self.lines())

    def since(self, mark):
        return self.lines()[mark:]

    def wait_since(self, mark, count, timeout):
        wait_until(lambda: len(self.since(mark)) >= count, timeout,
                   "%d new lines in the recorder file (have %r)" % (count, self.since(mark)))
        return self.since(mark)


_loop = asyncio.new_event_loop()
asyncio.set_event_loop(_loop)  # websockets looks the loop up itself


def _run(coroutine, timeout):
    return _loop.run_until_complete(asyncio.wait_for(coroutine, timeout))


class Client:
    """A page: one WebSocket connection made with python3-websockets."""

    def __init__(self, timeout):
        self.timeout = timeout
        self.ws = _run(websockets.connect(
            URI, compression=None, max_size=None, ping_interval=None, open_timeout=timeout,
            close_timeout=timeout), timeout + 5)
        self.closed = False

    def send(self, message, timeout=None):
        """A str goes as a text message, bytes as a binary one."""
        _run(self.ws.send(message), timeout or self.timeout)

    def receive(self, timeout=None):
        """The next reply's exact bytes; replies are always text messages."""
        try:
            reply = _run(self.ws.recv(), timeout or self.timeout)
        except asyncio.TimeoutError:
            raise AssertionError("no reply within %.0f s" % (timeout or self.timeout)) from None
        if not isinstance(reply, str):
            raise AssertionError("reply came as a binary message: %r" % reply[:200])
        return reply.encode("utf-8")

    def request(self, message, timeout=None):
        self.send(message, timeout)
        return self.receive(timeout)

    def close(self):
        if not self.closed:
            self.closed = True
            _run(self.ws.close(), self.timeout + 5)

    def wait_closed(self):
        _run(self.ws.wait_closed(), self.timeout)
        self.closed = True

    def close_code(self):
        return self.ws.close_code


def tcp_states_on_port():
    """States of the local TCP sockets on the program's port (from /proc/net/tcp, hex codes)."""
    states = []
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == PORT:
                states.append(fields[3])
    return states
