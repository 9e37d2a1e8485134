#!/usr/bin/python3
"""End-to-end tests of ravelink-broker on Linux: the broker, copies of ravelink of several accounts
(uids switched), and their pages, in a private network and mount namespace with a tmpfs over /run,
so that neither this machine's port 7321 nor its /run/ravelink is touched.

Usage: broker_e2e.py --program PATH --broker PATH --plugins DIR [tests...]
Needs root (to switch uids and make the namespace); skips with exit code 77 otherwise."""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import HOST, PORT, OutputCollector, wait_until  # noqa: E402

SKIP = 77
INSIDE = "RAVELINK_BROKER_E2E_INSIDE"
SOCKET_PATH = "/run/ravelink/broker.sock"
ALICE, BOB, CAROL, DAVE, MALLORY = 60001, 60002, 60003, 60004, 60005
LISTENS = "no broker came back within 3000 ms: listening on 127.0.0.1:7321 itself"
TIMEOUT = 10.0
WORK = None  # a 0755 folder with the programs, the plug-in and the page script
PROGRAM = BROKER = PLUGIN = None

# A page as an account sees it, run as that account: commands on stdin, one JSON answer per line.
#   ["http"]            the raw answer to a WebSocket handshake, up to the server's close
#   ["open"]            opens a WebSocket (the answer: the status)
#   ["request", text]   sends a text message, answers the reply
_PAGE = r"""
import json, socket, sys, time
import rawws
host, port, timeout = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
ws = None
for line in sys.stdin:
    command = json.loads(line)
    try:
        if command[0] == "http":
            raw = rawws.RawSocket(host, port, timeout)
            raw.send(b"GET / HTTP/1.1\r\nHost: 127.0.0.1:7321\r\nUpgrade: websocket\r\n"
                     b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     b"Sec-WebSocket-Version: 13\r\n\r\n")
            answer = raw.read_to_end(time.monotonic() + timeout).decode("latin-1")
            raw.close()
        elif command[0] == "open":
            ws = rawws.RawWebSocket(host, port, timeout)
            answer = 101
        else:
            ws.send_frame(rawws.OP_TEXT, command[1].encode())
            opcode, payload = ws.read_frame()
            answer = payload.decode()
    except (AssertionError, OSError, rawws.ConnectionEnded, TimeoutError) as error:
        answer = "error: %s" % error
    print(json.dumps(answer), flush=True)
"""

# A raw client of the broker channel, as an account: sends the messages given (text; [text, n] for
# a text with n descriptors attached; null for "close now"), then reports every message received (and whether it carried descriptors) until the
# broker closes the channel or `listen` seconds pass.
_CHANNEL = r"""
import array, json, os, socket, sys
messages, listen = json.loads(sys.argv[1]), float(sys.argv[2])
channel = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
channel.connect(sys.argv[3])
for message in messages:
    if message is None:
        channel.close()
        print(json.dumps({"received": [], "closed": False}))
        sys.exit(0)
    if isinstance(message, list):
        fds = array.array("i", [os.open("/dev/null", os.O_RDONLY) for _ in range(message[1])])
        channel.sendmsg([message[0].encode()], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, fds)])
    else:
        channel.send(message.encode())
received, closed = [], False
channel.settimeout(listen)
try:
    while True:
        data, ancillary, flags, _ = channel.recvmsg(2048, socket.CMSG_SPACE(16))
        if not data:
            closed = True
            break
        fds = array.array("i")
        for level, kind, payload in ancillary:
            fds.frombytes(payload[: len(payload) - len(payload) % fds.itemsize])
        received.append([data.decode(), len(fds)])
except socket.timeout:
    pass
except OSError:
    closed = True
print(json.dumps({"received": received, "closed": closed}))
"""

# A stand-in broker, as an account: listens at the broker's socket; on the first channel it reads
# the hello and sends the messages given (nothing, to stay silent); on later ones it welcomes.
_FAKE_BROKER = r"""
import json, os, socket, sys
messages, path = json.loads(sys.argv[1]), sys.argv[2]
listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
listener.bind(path)
os.chmod(path, 0o666)
listener.listen(8)
print("listening", flush=True)
kept, first = [], True
while True:
    channel, _ = listener.accept()
    kept.append(channel)
    print("hello: %s" % channel.recv(2048).decode(), flush=True)
    for message in (messages if first else ["welcome"]):
        channel.send(message.encode())
    first = False
"""


def as_account(uid):
    return dict(user=uid, group=uid, extra_groups=[], cwd=WORK,
                env={"PYTHONPATH": WORK, "PATH": "/usr/bin:/bin"})


class Process:
    """A broker or a copy, with its standard streams collected."""

    def __init__(self, command, uid=0):
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            **(as_account(uid) if uid else dict(cwd=WORK)))
        self.stdout = OutputCollector(self.process.stdout)
        self.stderr = OutputCollector(self.process.stderr)

    def log(self):
        return (self.stdout.text() + self.stderr.text()).decode("utf-8", "replace")

    def wait_log(self, text, count=1, timeout=TIMEOUT):
        try:
            wait_until(lambda: self.log().count(text) >= count or self.process.poll() is not None,
                       timeout, "%r in the log of %r" % (text, self.process.args))
        except AssertionError as timedOut:
            raise AssertionError("%s; the log: %s" % (timedOut, self.log())) from None
        if self.log().count(text) < count:
            raise AssertionError("%r exited with %r before it wrote %r; its log: %s"
                                 % (self.process.args, self.process.poll(), text, self.log()))

    def wait_exit(self):
        code = self.process.wait(TIMEOUT)
        for collector in (self.stdout, self.stderr):
            collector.thread.join(5.0)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(30)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)


class Page:
    """A page of one account: a process of that uid that talks to 127.0.0.1:7321."""

    def __init__(self, uid):
        self.process = subprocess.Popen(
            ["/usr/bin/python3", "-c", _PAGE, HOST, str(PORT), str(TIMEOUT)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            **as_account(uid))

    def ask(self, *command):
        self.process.stdin.write(json.dumps(command) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise AssertionError("the page process failed: %s" % self.process.stderr.read())
        return json.loads(line)

    def served_by(self):
        """The uid of the copy that serves a new connection of this page, or what went wrong."""
        opened = self.ask("open")
        if opened != 101:
            return opened
        loaded = self.ask("request", json.dumps({"MsgId": "l", "Module": PLUGIN}))
        if '"Result":true' not in loaded:
            return loaded
        return int(json.loads(self.ask("request", json.dumps({"MsgId": "u", "Method": "uid"})))
                   ["Response"])

    def close(self):
        self.process.stdin.close()
        self.process.wait(30)


def served_by(uid):
    page = Page(uid)
    try:
        return page.served_by()
    finally:
        page.close()


def http_answer(uid):
    page = Page(uid)
    try:
        return page.ask("http")
    finally:
        page.close()


def channel_client(uid, messages, listen=1.0):
    done = subprocess.run(["/usr/bin/python3", "-c", _CHANNEL, json.dumps(messages), str(listen),
                           SOCKET_PATH], capture_output=True, text=True, timeout=listen + 20,
                          **as_account(uid))
    if done.returncode != 0:
        raise AssertionError("the channel client failed: %s" % done.stderr)
    return json.loads(done.stdout)


def remove_broker_folder():
    if os.path.islink("/run/ravelink"):
        os.unlink("/run/ravelink")
    elif os.path.exists("/run/ravelink"):
        shutil.rmtree("/run/ravelink")


class BrokerTests(unittest.TestCase):
    def setUp(self):
        self.processes = []
        remove_broker_folder()  # each test starts where no broker has run yet

    def tearDown(self):
        # Whatever still runs is stopped as a service manager would: it must end cleanly (exit 0;
        # in the sanitized build, also with no leak or error report).
        unclean = []
        for process in self.processes:
            if process.process.poll() is None:
                try:
                    code = process.stop()
                except subprocess.TimeoutExpired:
                    code = "no exit within 30 s"
                if code != 0:
                    unclean.append("%r: %r; its log: %s" % (process.process.args, code,
                                                             process.log()[-3000:]))
            process.kill()
        wait_until(lambda: not harness.port_accepts(), TIMEOUT, "the port to be free")
        self.assertEqual(unclean, [])

    def broker(self, wait=True):
        broker = Process([BROKER])
        self.processes.append(broker)
        if wait:
            broker.wait_log("ravelink-broker: listening on 127.0.0.1:7321")
        return broker

    def copy(self, uid, expect="registered with the machine's broker"):
        copy = Process([PROGRAM], uid)
        self.processes.append(copy)
        if expect:
            copy.wait_log(expect)
        return copy

    def assert_served(self, uids, timeout=TIMEOUT):
        """Each account's page reaches its own account's copy (within `timeout`: copies may be
        registering again)."""
        for uid in uids:
            wait_until(lambda: served_by(uid) == uid, timeout, "uid %d's page served by its copy"
                       % uid)

    def test_each_account_reaches_its_own_copy_and_one_without_a_copy_gets_503(self):
        broker = self.broker()
        for uid in (ALICE, BOB, CAROL):
            self.copy(uid)
        broker.wait_log("copies registered: 3")
        for uid in (ALICE, BOB, CAROL, BOB, ALICE):
            self.assertEqual(served_by(uid), uid)
        answer = http_answer(DAVE)
        self.assertTrue(answer.startswith("HTTP/1.1 503 Service Unavailable\r\n"), answer)
        self.assertIn("Connection: close\r\n", answer)
        self.assertTrue(answer.endswith("\r\n\r\nravelink is not running for this account: start "
                                        "ravelink (or sign out and sign in again), then reload "
                                        "this page.\n"), answer)
        broker.wait_log("a page of uid %d in logon session 0" % DAVE)

    def test_a_process_that_claims_another_account_is_refused_and_gets_nothing(self):
        broker = self.broker()
        self.copy(ALICE)
        # Before and after Alice's pages: the impostor is refused by what the kernel reports.
        seen = channel_client(MALLORY, ["hello\t1\tuid %d\t0" % ALICE], listen=2.0)
        self.assertEqual(len(seen["received"]), 1, seen)
        text, descriptors = seen["received"][0]
        self.assertTrue(text.startswith("refused\tdenied\tit says it runs as uid %d" % ALICE), text)
        self.assertIn("the system reports uid %d" % MALLORY, text)
        self.assertEqual(descriptors, 0)
        self.assertTrue(seen["closed"], seen)
        self.assertEqual(served_by(ALICE), ALICE)
        broker.wait_log("refused a copy (uid %d" % MALLORY)
        self.assertIn("copies registered: 1", broker.log())

    def test_a_second_copy_of_an_account_exits_with_1(self):
        self.broker()
        self.copy(ALICE)
        # In a network namespace of its own, the second copy's single-instance claim (an abstract
        # socket) does not see the first: the broker's refusal is what stops it.
        second = Process(["unshare", "-n", "setpriv", "--reuid", str(ALICE), "--regid", str(ALICE),
                          "--clear-groups", PROGRAM])
        self.processes.append(second)
        self.assertEqual(second.wait_exit(), 1, second.log())
        self.assertIn("ravelink: not started: another copy of this account already runs in this "
                      "session and is registered with the machine's broker (a copy of uid %d in "
                      "logon session 0 is registered already" % ALICE, second.log())
        self.assertEqual(served_by(ALICE), ALICE)

    def test_copies_register_again_when_the_broker_is_killed_and_started_again(self):
        broker = self.broker()
        copies = [self.copy(uid) for uid in (ALICE, BOB, CAROL)]
        self.assert_served([ALICE, BOB, CAROL])
        broker.kill()
        for copy in copies:
            copy.wait_log("lost the machine's broker")
        broker = self.broker()
        broker.wait_log("copies registered: 3")
        self.assert_served([ALICE, BOB, CAROL])
        for copy in copies:
            self.assertNotIn(LISTENS, copy.log())

    def test_with_the_broker_gone_longer_than_the_grace_one_copy_listens(self):
        broker = self.broker()
        copies = [self.copy(uid) for uid in (ALICE, BOB)]
        broker.kill()
        wait_until(lambda: sum(LISTENS in copy.log() for copy in copies) >= 1, TIMEOUT,
                   "a copy listening itself")
        time.sleep(1.5)  # the other copy keeps trying; it must not have taken the port as well
        listening = [copy for copy in copies if LISTENS in copy.log()]
        self.assertEqual(len(listening), 1, [copy.log() for copy in copies])
        owner = ALICE if listening[0] is copies[0] else BOB
        other = BOB if owner == ALICE else ALICE
        self.assertEqual(served_by(owner), owner)
        # The other account's page meets the listening copy's owner check, as without a broker.
        self.assertEqual(http_answer(other).split("\r\n", 1)[0], "HTTP/1.1 403 Forbidden")

    def test_a_broker_started_while_a_copy_listens_takes_the_port_and_keeps_its_open_page(self):
        copy = self.copy(ALICE, expect=None)
        wait_until(harness.port_accepts, TIMEOUT, "the copy listening without a broker")
        page = Page(ALICE)
        try:
            self.assertEqual(page.served_by(), ALICE)
            broker = self.broker(wait=False)
            broker.wait_log("cannot listen on 127.0.0.1:7321 yet")
            copy.wait_log("no longer listening on 127.0.0.1:7321 itself")
            broker.wait_log("ravelink-broker: listening on 127.0.0.1:7321")
            # The page opened before is still served by the copy, over its own connection.
            reply = page.ask("request", json.dumps({"MsgId": "again", "Method": "uid"}))
            self.assertEqual(json.loads(reply)["Response"], str(ALICE))
        finally:
            page.close()
        self.assertEqual(served_by(ALICE), ALICE)
        self.assertTrue(http_answer(BOB).startswith("HTTP/1.1 503 "))

    def test_without_a_broker_a_copy_listens_as_before(self):
        copy = self.copy(ALICE, expect=None)
        wait_until(harness.port_accepts, TIMEOUT, "the copy listening without a broker")
        self.assertEqual(served_by(ALICE), ALICE)
        self.assertEqual(http_answer(BOB).split("\r\n", 1)[0], "HTTP/1.1 403 Forbidden")
        self.assertNotIn("broker", copy.log())
        self.assertEqual(copy.stop(), 0)

    def test_a_copy_trusts_only_a_broker_of_root_and_drops_one_that_sends_garbage(self):
        cases = [
            # (the stand-in's uid, what it sends after the hello, what the copy writes)
            (MALLORY, ["welcome"], "served by uid %d" % MALLORY),
            (0, [], "the broker did not answer within 2000 ms"),
            (0, ["welcome", "garbage"], "lost the machine's broker (it sent a message"),
            (0, ["welcome", "socket\t1"], "lost the machine's broker (it sent a message"),
            (0, ["welcome", "welcome"], "lost the machine's broker (it sent a message"),
        ]
        for uid, messages, logged in cases:
            with self.subTest(messages=messages, uid=uid):
                os.makedirs("/run/ravelink", exist_ok=True)
                os.chmod("/run/ravelink", 0o777 if uid else 0o755)  # lets the impostor in
                fake = subprocess.Popen(["/usr/bin/python3", "-c", _FAKE_BROKER,
                                         json.dumps(messages), SOCKET_PATH],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, **(as_account(uid) if uid else dict(cwd=WORK)))
                copy = None
                try:
                    self.assertEqual(fake.stdout.readline(), "listening\n")
                    copy = self.copy(ALICE, expect=None)
                    copy.wait_log(logged)
                    if "lost" in logged:
                        copy.wait_log("registered with the machine's broker (process id %d) again"
                                      % fake.pid)
                        self.assertFalse(harness.port_accepts())
                    else:
                        self.assertNotIn("registered with", copy.log())
                        wait_until(harness.port_accepts, TIMEOUT, "the copy listening itself")
                        self.assertEqual(served_by(ALICE), ALICE)
                    self.assertEqual(copy.stop(), 0)
                finally:
                    if copy is not None:
                        copy.kill()
                    fake.kill()
                    fake.wait()
                    remove_broker_folder()

    def test_the_broker_refuses_a_folder_others_could_write_and_a_second_broker(self):
        def writable(path):
            os.makedirs(path)
            os.chmod(path, 0o775)

        def link(path):
            os.symlink(WORK, path)

        def running(path):
            self.broker()

        cases = [
            (writable, "can be written by others than root (mode 0775)"),
            (link, "is not a folder (a symbolic link or a file)"),
            (running, "another ravelink-broker already listens at %s" % SOCKET_PATH),
        ]
        for prepare_folder, logged in cases:
            with self.subTest(logged):
                prepare_folder("/run/ravelink")
                try:
                    broker = Process([BROKER])
                    self.processes.append(broker)
                    self.assertEqual(broker.wait_exit(), 2, broker.log())
                    self.assertIn("ravelink-broker: not started: ", broker.log())
                    self.assertIn(logged, broker.log())
                finally:
                    for process in self.processes:
                        process.kill()
                    remove_broker_folder()

    def test_faults_on_the_channel_leave_the_other_copies_served(self):
        broker = self.broker()
        self.copy(ALICE)
        self.copy(BOB)
        def hello(uid, version=1):
            return "hello\t%d\tuid %d\t0" % (version, uid)

        # Each case's client runs as an account of its own: the broker's lines about refused
        # channels are written once a minute per account.
        cases = [
            # (what the raw client sends, how long it listens, its uid, the broker's line)
            ("garbage", ["GET / HTTP/1.1"], 2.0, 60010, "not the broker's protocol"),
            ("no hello", [], 3.0, 60011, "no hello within 2000 ms"),
            ("dies mid-registration", [hello(60012), None], 0.0, 60012, "copy of uid 60012"),
            ("a second hello", [hello(60013), hello(60013)], 2.0, 60013, "out of turn"),
            ("a version it does not speak", [hello(60014, 9)], 2.0, 60014, "version 9"),
            ("a descriptor from a copy", [[hello(60015), 1]], 2.0, 60015, "it sent a socket"),
            ("two descriptors", [hello(60016), ["took\t1", 2]], 2.0, 60016, "(Bad message)"),
            ("too long", [hello(60017), "took\t" + "1" * 2000], 2.0, 60017, "Message too long"),
        ]
        for name, messages, listen, uid, logged in cases:
            with self.subTest(name):
                seen = channel_client(uid, messages, listen)
                if listen:
                    self.assertTrue(seen["closed"], seen)
                broker.wait_log(logged)
                self.assertEqual(served_by(ALICE), ALICE)
                self.assertEqual(served_by(BOB), BOB)
                time.sleep(0.1)
        # A copy that registers and never takes the sockets it is handed: its pages go nowhere
        # (their handles are closed after a while), the others are served meanwhile.
        holder = subprocess.Popen(
            ["/usr/bin/python3", "-c", _CHANNEL, json.dumps([hello(DAVE)]), "8", SOCKET_PATH],
            stdout=subprocess.PIPE, text=True, **as_account(DAVE))
        try:
            broker.wait_log("registered the copy of uid %d" % DAVE)
            page = Page(DAVE)
            try:
                self.assertTrue(str(page.ask("open")).startswith("error"))
            finally:
                page.close()
            self.assertEqual(served_by(ALICE), ALICE)
        finally:
            seen = json.loads(holder.communicate(timeout=30)[0])
        self.assertEqual([text for text, fds in seen["received"]][0], "welcome", broker.log())
        self.assertEqual(len(seen["received"]), 2, (seen, broker.log()))
        self.assertEqual(seen["received"][1][1], 1, seen)
        self.assertTrue(seen["received"][1][0].startswith("socket\t"), seen)
        broker.wait_log("copy of uid %d in logon session 0" % DAVE, count=2)
        self.assertEqual(served_by(BOB), BOB)


def prepare(options):
    """Copies the programs and the plug-in where every account can read them: the checkout may
    sit in a folder only its owner can enter."""
    global WORK, PROGRAM, BROKER, PLUGIN
    WORK = tempfile.mkdtemp(prefix="ravelink-broker-e2e-")
    os.chmod(WORK, 0o755)
    PROGRAM = os.path.join(WORK, "ravelink")
    BROKER = os.path.join(WORK, "ravelink-broker")
    PLUGIN = os.path.join(WORK, "uid_plugin.so")
    for source, target in ((options.program, PROGRAM), (options.broker, BROKER),
                           (os.path.join(options.plugins, "uid_plugin.so"), PLUGIN),
                           (os.path.join(os.path.dirname(os.path.abspath(__file__)), "rawws.py"),
                            os.path.join(WORK, "rawws.py"))):
        shutil.copy(source, target)
        os.chmod(target, 0o755)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--broker", required=True)
    parser.add_argument("--plugins", required=True)
    parser.add_argument("tests", nargs="*", help="test names (BrokerTests.test_...) to run")
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("skipped: the broker's tests switch uids and make a private namespace: run as root")
        return SKIP
    if os.environ.get(INSIDE) != "1":
        try:
            probe = subprocess.run(["unshare", "-n", "-m", "true"], capture_output=True, text=True,
                                   timeout=30)
        except (OSError, subprocess.TimeoutExpired) as error:
            probe = subprocess.CompletedProcess([], 1, "", str(error))
        if probe.returncode != 0:
            print("skipped: no private network and mount namespace here: %s" % probe.stderr.strip())
            return SKIP
        script = ("mount --make-rprivate / && mount -t tmpfs tmpfs /run && ip link set lo up && "
                  'exec "$@"')
        return subprocess.run(["unshare", "-n", "-m", "sh", "-c", script, "sh", sys.executable]
                              + sys.argv, env=dict(os.environ, **{INSIDE: "1"})).returncode
    prepare(options)
    loader = unittest.defaultTestLoader
    module = sys.modules[__name__]
    suite = (loader.loadTestsFromNames(options.tests, module) if options.tests
             else loader.loadTestsFromTestCase(BrokerTests))
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
