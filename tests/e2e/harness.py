"""Starting, watching and stopping the real ravelink program, natively or under Wine, and talking to
it over its WebSocket with Debian's python3-websockets.

Every wait here is for a condition with a deadline; nothing relies on a fixed pause."""

import asyncio
import errno
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import websockets

HOST = "127.0.0.1"
PORT = 7321
URI = "ws://%s:%d/" % (HOST, PORT)


class Target:
    """What differs between the native Linux program and the Windows ones under Wine (the 32-bit
    program under Wine's 32-bit loader, the 64-bit one under wine64)."""

    def __init__(self, kind, program, plugin_dir, wine_run, sanitized=False):
        if kind not in ("linux", "windows", "windows64"):
            raise ValueError("unknown target kind %r" % kind)
        self.kind = kind
        self.windows = kind.startswith("windows")
        self.windows32 = kind == "windows"
        self.program = os.path.abspath(program)
        self.plugin_dir = os.path.abspath(plugin_dir)
        self.wine_run = wine_run
        # Built with AddressSanitizer: leaks are reported when the program exits, and freed memory
        # is held in quarantine, so the resident size says nothing about leaks.
        self.sanitized = sanitized
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

    def wine(self, *command):
        """`command` (a Windows program and its arguments) under this target's own loader: the
        64-bit target never touches Wine's 32-bit loader, which many hosts lack."""
        return [self.wine_run] + ([] if self.windows32 else ["--64"]) + list(command)

    def command(self):
        if self.windows:
            return self.wine(self.program)
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


class MachinePolicy:
    """The administrator's policy as the program under test reads it, without touching this
    machine's: on Linux /etc/ravelink/policy.json seen through an overlay of /etc in a private mount
    namespace (the program alone sees it; needs root, or an unprivileged user namespace); on Windows
    the values under HKLM\\Software\\Policies\\ravelink in the test's own Wine prefix."""

    KEY = "HKLM\\Software\\Policies\\ravelink"

    def __init__(self, target):
        self.target = target
        self.upper = None
        if not target.windows:
            self.top = tempfile.mkdtemp(prefix="ravelink-policy-")
            os.chmod(self.top, 0o755)
            self.upper = os.path.join(self.top, "upper")
            self.folder = os.path.join(self.upper, "ravelink")
            os.makedirs(self.folder)
            os.makedirs(os.path.join(self.top, "work"))
            for path in (self.upper, self.folder):
                os.chmod(path, 0o755)

    @staticmethod
    def available():
        """Why the Linux policy cannot be put in place here, or None."""
        try:
            probe = subprocess.run(MachinePolicy._unshare() + ["true"], capture_output=True,
                                   timeout=30)
        except (OSError, subprocess.TimeoutExpired) as error:
            return "unshare: %s" % error
        return None if probe.returncode == 0 else "unshare: %r" % probe.stderr

    @staticmethod
    def _unshare():
        return ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-r", "-m"]

    def write_json(self, text, mode=0o644):
        path = os.path.join(self.folder, "policy.json")
        with open(path, "w") as file:
            file.write(text)
        os.chmod(path, mode)

    def write(self, settings, mode=0o644):
        """`settings`: name -> list of texts or bool, as both platforms store them."""
        if not self.target.windows:
            self.write_json(json.dumps(settings, indent=2), mode)
            return
        self.remove()
        for name, value in settings.items():
            if isinstance(value, bool):
                self.reg_add(name, "REG_DWORD", "1" if value else "0")
            else:
                self.reg_add(name, "REG_MULTI_SZ", "\\0".join(value))

    def reg_add(self, name, kind, data):
        command = self.target.wine("reg", "add", self.KEY, "/v", name, "/t", kind, "/f")
        if data != "":
            command += ["/d", data]
        subprocess.run(command, check=True, capture_output=True, timeout=120)

    def remove(self):
        if self.target.windows:
            subprocess.run(self.target.wine("reg", "delete", self.KEY, "/f"),
                           capture_output=True, timeout=120)
        elif self.upper is not None:
            shutil.rmtree(self.top, ignore_errors=True)

    def wrap(self, command):
        if self.target.windows:
            return command
        script = ('mount -t overlay overlay -o "lowerdir=/etc,upperdir=$1,workdir=$2" /etc'
                  ' && shift 2 && exec "$@"')
        return (self._unshare() + ["sh", "-c", script, "sh", self.upper,
                                   os.path.join(self.top, "work")] + command)


class Journal:
    """Starts a program the way the Linux user unit does, its streams connected to the journal's
    stream socket (tests/e2e/journal_stub.py); what reaches the journal is the program's stdout."""

    available = staticmethod(MachinePolicy.available)

    def wrap(self, command):
        stub = os.path.join(os.path.dirname(os.path.abspath(__file__)), "journal_stub.py")
        return MachinePolicy._unshare() + [sys.executable, stub] + command


class Program:
    """One ravelink process with its stdout (access log) and stderr (error log) collected."""

    def __init__(self, target, record_file, limits=None, policy=None):
        """`limits`: {resource.RLIMIT_...: value} set as both soft and hard limit of the program
        (native only), so that raising the soft limit at start-up cannot undo them. `policy`: an
        administrator's policy the program is started under (or anything else that wraps its
        command, such as a Journal)."""
        self.target = target
        self.record_file = record_file
        self.limits = limits or {}
        self.policy = policy
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

        command = self.target.command()
        if self.policy is not None:
            command = self.policy.wrap(command)
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
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
        """The exit code, once the program has exited and all it wrote has been collected."""
        try:
            code = self.process.wait(timeout or self.target.start_timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("ravelink did not exit within %.0f s"
                                 % (timeout or self.target.start_timeout)) from None
        # What the program wrote before it exited may still sit in the pipes: let the readers
        # reach the end. Under Wine the wineserver may hold the pipes open, hence the bound.
        for collector in (self.stdout, self.stderr):
            collector.thread.join(5.0)
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

    def sockets(self):
        """How many sockets the native program has open."""
        count = 0
        for fd in os.listdir("/proc/%d/fd" % self.process.pid):
            try:
                count += os.readlink("/proc/%d/fd/%s" % (self.process.pid, fd)).startswith("socket:")
            except OSError:  # closed meanwhile
                pass
        return count

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

    def stop(self):
        """Asks the program to stop (SIGTERM) and returns its exit code. Linux only: the Windows
        program has no stop signal."""
        self.process.send_signal(signal.SIGTERM)
        return self.wait_exit()

    def resident_bytes(self):
        """The program's resident set size (Linux)."""
        return self.status_kib("VmRSS") * 1024

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

    def __init__(self, timeout, origin=None):
        """`origin`: the Origin header a browser page would send; None sends none."""
        self.timeout = timeout
        self.ws = _run(websockets.connect(
            URI, compression=None, max_size=None, ping_interval=None, open_timeout=timeout,
            close_timeout=timeout, origin=origin), timeout + 5)
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


_AS_USER_SCRIPT = r"""
import json, sys
import rawws
host, port, timeout, request = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
try:
    ws = rawws.RawWebSocket(host, port, timeout)
except AssertionError as refused:
    print(json.dumps([int(str(refused).split()[3]), None]))
    sys.exit(0)
ws.send_frame(rawws.OP_TEXT, request.encode())
opcode, payload = ws.read_frame()
ws.close()
print(json.dumps([101, payload.decode()]))
"""


def as_user(uid, request, timeout):
    """What a page run by another account gets (native only, needs root): a child process switches
    to `uid` before it connects, sends `request` if the handshake succeeds and returns (HTTP status,
    reply text or None)."""
    # The checkout may live where the other account cannot enter (a home folder is 0700), so the
    # client's one helper module goes to a folder of its own that every account can read.
    with tempfile.TemporaryDirectory(prefix="ravelink-as-user-") as folder:
        os.chmod(folder, 0o755)
        shutil.copy(os.path.join(os.path.dirname(os.path.abspath(__file__)), "rawws.py"), folder)
        os.chmod(os.path.join(folder, "rawws.py"), 0o644)
        done = subprocess.run(
            ["/usr/bin/python3", "-c", _AS_USER_SCRIPT, HOST, str(PORT), str(timeout), request],
            user=uid, group=uid, extra_groups=[], cwd=folder, env={"PYTHONPATH": folder},
            capture_output=True, timeout=timeout + 10)
    if done.returncode != 0:
        raise AssertionError("the client as uid %d failed: %r" % (uid, done.stderr[-2000:]))
    status, reply = json.loads(done.stdout)
    return status, None if reply is None else reply.encode()


def handshake_status(timeout, origin=None):
    """The HTTP status a handshake gets: 101 when it becomes a connection (closed again at once)."""
    try:
        client = Client(timeout, origin)
    except websockets.exceptions.InvalidStatusCode as refused:
        return refused.status_code
    client.close()
    return 101


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
