#!/usr/bin/python3
"""End-to-end tests of ravelink: the real program, started as a process (natively, or a Windows
build under Wine), driven over ws://127.0.0.1:7321 by python3-websockets and by a small
raw-socket client for frames a library will not send.

Usage: ravelink_e2e.py --kind linux|windows|windows64 --program PATH --plugins DIR [--wine-run SCRIPT]
"""

import argparse
import errno
import json
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import rawws  # noqa: E402
from harness import HOST, PORT, Client, Program, Recorder  # noqa: E402

TARGET = None
RECORDER = None
SHARED = None
WORK_DIR = None

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LIMIT = 32000000  # the largest message the program takes


def shared_program():
    """Most tests talk to one long-lived program: starting one under Wine costs seconds."""
    global SHARED
    if SHARED is None or not SHARED.alive():
        SHARED = Program(TARGET, RECORDER.path).start()
    return SHARED


def stop_shared_program():
    global SHARED
    if SHARED is not None:
        SHARED.kill()
        SHARED = None


def request(**members):
    """A request as a page writes it: compact JSON text, members in the given order."""
    return json.dumps(members, ensure_ascii=False, separators=(",", ":"))


def reply(msg_id, result, response):
    """Expected reply bytes, for texts that need no JSON escaping."""
    return ('{"MsgId":"%s","Result":%s,"Response":"%s"}'
            % (msg_id, "true" if result else "false", response)).encode("utf-8")


def syntax_error(reason):
    return reply("InvalidSyntax", False, "Invalid syntax, reason: " + reason)


LOAD_OK = reply("LoadModule", True, "Load module success")
BAD_FORMAT = reply("LoadModule", False, "Invalid plugin format")


def load_failed(code):
    return reply("LoadModule", False, "Load Module error, can't find module.Error code: %d" % code)


def not_loaded(msg_id):
    return reply(msg_id, False, "Module have not been loaded")


def host_pids(program):
    """The (Linux) ids of the host processes (ravelink-host) this program has started; under Wine,
    those of the test prefix."""
    prefix = os.environ.get("WINEPREFIX", "").encode()
    pids = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                text = stat.read()
            if TARGET.windows:
                with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                    command = cmdline.read()
                with open("/proc/%s/environ" % entry, "rb") as environ:
                    mine = b"WINEPREFIX=" + prefix + b"\0" in environ.read()
        except (OSError, ValueError):
            continue
        fields = text.rsplit(")", 1)[1].split()
        if fields[0] == "Z":
            continue
        if TARGET.windows:
            if mine and b"ravelink-host.exe" in command:
                pids.append(int(entry))
        elif text[text.find("(") + 1:text.rfind(")")] == "ravelink-host" and \
                int(fields[1]) == program.process.pid:
            pids.append(int(entry))
    return pids


def process_gone(pid):
    """No such process, or only its exit status left for collection."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except OSError:
        return True


class ProgramTestCase(unittest.TestCase):
    """Opens clients on the shared program and closes whatever a test leaves open, waiting until
    the program has handled each close so no test sees the previous one's connections.
    With ISOLATED, load() asks for the module in a host process of its own."""

    ISOLATED = False

    def setUp(self):
        self.program = shared_program()
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            if not client.closed:
                try:
                    self.close(client)
                except Exception:  # the test has failed already, or the program is gone
                    pass

    def client(self):
        client = Client(TARGET.reply_timeout)
        self.clients.append(client)
        return client

    def close(self, client):
        """Closes from the page's side and returns once the program has handled the close."""
        before = self.program.disconnects()
        client.close()
        self.program.wait_disconnects(before + 1)

    def load(self, client, name, isolated=None):
        members = {"MsgId": "load", "Module": TARGET.module(name)}
        if self.ISOLATED if isolated is None else isolated:
            members["Isolated"] = True
        self.assertEqual(client.request(request(**members)), LOAD_OK)

    def assertServing(self):
        """The program is still there and answers a new connection."""
        self.assertTrue(self.program.alive(), "ravelink has exited")
        client = self.client()
        self.assertEqual(client.request(request(MsgId="alive", Method="x")), not_loaded("alive"))
        self.close(client)


class SyntaxErrorTests(ProgramTestCase):
    def test_empty_message_is_a_bad_request(self):
        client = self.client()
        self.assertEqual(client.request(""), syntax_error("Bad request"))
        self.assertEqual(client.request(b""), syntax_error("Bad request"))

    def test_malformed_json_is_an_invalid_message_format(self):
        client = self.client()
        for text in ["   ", '{"MsgId":"1","Method":"x"', '{"MsgId":"1","Method":"x"} x',
                     '{/* c */"MsgId":"1","Method":"x"}', "{'MsgId':'1'}",
                     '{"MsgId":"1","Method":"x",}', "NaN", "not json",
                     # the parser stops at a NUL byte: what follows must still be looked at
                     '{"MsgId":"1","Method":"x"}\x00', '{"MsgId":"1","Method":"x"} \x00{',
                     '\x00{"MsgId":"1","Method":"x"}']:
            with self.subTest(text=text):
                self.assertEqual(client.request(text), syntax_error("Invalid message format"))

    def test_missing_or_unusable_msgid(self):
        client = self.client()
        for text in ["{}", '{"MsgId":"","Method":"x"}', '{"MsgId":7,"Method":"x"}',
                     '{"MsgId":true,"Method":"x"}', '{"MsgId":null,"Method":"x"}',
                     '{"MsgId":["a"],"Method":"x"}', '{"MsgId":{"a":"b"},"Method":"x"}',
                     '{"msgid":"1","Method":"x"}', '{"MSGID":"1","Module":"x"}']:
            with self.subTest(text=text):
                self.assertEqual(client.request(text), syntax_error("message not have MsgId"))

    def test_no_operation(self):
        client = self.client()
        for text in ['{"MsgId":"mine"}', '{"MsgId":"1","Module":"","Method":""}',
                     '{"MsgId":"1","Module":5,"Method":false}', '{"MsgId":"1","module":"x",'
                     '"method":"y"}', '{"MsgId":"1","Param":"p"}']:
            with self.subTest(text=text):
                self.assertEqual(client.request(text),
                                 syntax_error("not find operation(Module or Method)"))

    def test_a_root_that_is_not_an_object_is_an_invalid_message_format(self):
        client = self.client()
        for text in ["[]", '"MsgId"', "7", "true", "null", '[{"MsgId":"1","Method":"x"}]']:
            with self.subTest(text=text):
                self.assertEqual(client.request(text), syntax_error("Invalid message format"))

    def test_errors_leave_the_connection_usable(self):
        client = self.client()
        self.load(client, "echo_plugin")
        client.request("")
        client.request("{")
        client.request("{}")
        self.assertEqual(client.request(request(MsgId="after", Method="echo", Param="still")),
                         reply("after", True, "still"))


class LoadTests(ProgramTestCase):
    def test_load_success_carries_the_fixed_msgid(self):
        client = self.client()
        text = request(MsgId="page-id", Module=TARGET.module("echo_plugin"))
        self.assertEqual(client.request(text), LOAD_OK)

    def test_load_of_a_missing_file_reports_the_platform_code(self):
        client = self.client()
        missing = TARGET.path(os.path.join(TARGET.plugin_dir, "no_such_module" + TARGET.extension))
        self.assertEqual(client.request(request(MsgId="x", Module=missing)),
                         load_failed(TARGET.missing_code))

    def test_load_of_a_missing_bare_name(self):
        client = self.client()
        self.assertEqual(client.request(request(MsgId="x", Module="ravelink_no_such_module")),
                         load_failed(TARGET.missing_code))

    def test_module_wins_over_method(self):
        client = self.client()
        text = request(MsgId="both", Module=TARGET.module("echo_plugin"), Method="echo", Param="p")
        self.assertEqual(client.request(text), LOAD_OK)

    def test_unusable_module_with_a_method_is_an_invoke(self):
        client = self.client()
        self.assertEqual(client.request('{"MsgId":"i1","Module":"","Method":"echo"}'),
                         not_loaded("i1"))
        self.assertEqual(client.request('{"MsgId":"i2","Module":3,"Method":"echo"}'),
                         not_loaded("i2"))

    def test_module_without_invoke_export(self):
        for name in ["noinvoke_plugin", "lowercase_plugin"]:
            with self.subTest(module=name):
                client = self.client()
                self.assertEqual(client.request(request(MsgId="l", Module=TARGET.module(name))),
                                 BAD_FORMAT)
                self.assertEqual(client.request(request(MsgId="after", Method="echo")),
                                 not_loaded("after"))
                self.close(client)

    def test_a_stdcall_invoke_is_not_found(self):
        if not TARGET.windows32:
            self.skipTest("__stdcall name decoration (Invoke@12) exists in 32-bit Windows code only")
        client = self.client()
        self.assertEqual(client.request(request(MsgId="l", Module=TARGET.module("stdcall_plugin"))),
                         BAD_FORMAT)

    def test_a_module_finds_the_libraries_beside_it(self):
        # By absolute path, as pages name vendor plug-ins; its library is in no folder the
        # standard search looks in.
        client = self.client()
        module = TARGET.module(os.path.join("deps", "dep_plugin"))
        self.assertEqual(client.request(request(MsgId="l", Module=module)), LOAD_OK)
        self.assertEqual(client.request(request(MsgId="g", Method="greet")),
                         reply("g", True, "hello from the library beside the plug-in"))

    def test_a_module_of_the_other_width_runs_in_a_host_of_its_width(self):
        if not TARGET.windows:
            self.skipTest("only the Windows builds have a plug-in of the other width")
        if TARGET.kind == "windows64":
            probe = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "probe-win32.sh")],
                                   stdout=subprocess.PIPE, text=True).stdout.strip()
            if probe != "yes":
                self.skipTest("the 32-bit host cannot run here: " + probe[len("no: "):])
        # whatever the request says: the loader of this program would refuse it (193)
        for isolated in (False, True):
            with self.subTest(isolated=isolated):
                client = self.client()
                text = request(MsgId="l", Module=TARGET.module("other_width_plugin"),
                               Isolated=isolated)
                self.assertEqual(client.request(text), LOAD_OK)
                self.assertEqual(client.request(request(MsgId="e", Method="echo", Param="w")),
                                 reply("e", True, "w"))
                self.close(client)

    def test_module_without_invoke_after_a_good_one_disables_invokes(self):
        client = self.client()
        self.load(client, "echo_plugin")
        text = request(MsgId="l", Module=TARGET.module("noinvoke_plugin"))
        self.assertEqual(client.request(text), BAD_FORMAT)
        self.assertEqual(client.request(request(MsgId="n", Method="echo", Param="p")),
                         not_loaded("n"))

    def test_failed_load_leaves_the_earlier_module_callable(self):
        client = self.client()
        self.load(client, "echo_plugin")
        self.assertEqual(client.request(request(MsgId="x", Module="ravelink_no_such_module")),
                         load_failed(TARGET.missing_code))
        self.assertEqual(client.request(request(MsgId="e", Method="echo", Param="kept")),
                         reply("e", True, "kept"))

    def test_second_load_replaces_the_module_for_invokes(self):
        client = self.client()
        self.load(client, "recorder_a")
        self.assertEqual(client.request(request(MsgId="1", Method="who")),
                         reply("1", True, "recorder_a"))
        self.load(client, "recorder_b")
        self.assertEqual(client.request(request(MsgId="2", Method="who")),
                         reply("2", True, "recorder_b"))
        self.close(client)

    def test_network_paths_are_refused_with_access_denied(self):
        if not TARGET.windows:
            self.skipTest("network paths are a Windows matter")
        client = self.client()
        for name in ["\\\\server\\share\\x.dll", "//server/x.dll", "\\/server/share/x.dll",
                     "/\\server\\share\\x.dll", "\\\\?\\UNC\\server\\share\\x.dll",
                     "\\\\.\\pipe\\x.dll"]:
            with self.subTest(name=name):
                self.assertEqual(client.request(request(MsgId="n", Module=name)), load_failed(5))
        self.assertEqual(client.request(request(MsgId="i", Method="echo")), not_loaded("i"))

    def test_paths_that_are_not_regular_files_are_refused_with_access_denied(self):
        if TARGET.windows:
            self.skipTest("device and network paths on Windows are covered above")
        fifo = os.path.join(WORK_DIR, "module.fifo")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        client = self.client()
        self.load(client, "echo_plugin")
        # a FIFO nobody writes to, or a terminal, would hold the loader for good
        for name in [TARGET.plugin_dir, "/dev/null", "/dev/stdin", "/dev/tty", fifo]:
            with self.subTest(name=name):
                self.assertEqual(client.request(request(MsgId="n", Module=name)),
                                 load_failed(13))
        self.assertEqual(client.request(request(MsgId="e", Method="echo", Param="kept")),
                         reply("e", True, "kept"))
        self.assertServing()

    def test_local_long_form_path_is_allowed(self):
        if not TARGET.windows:
            self.skipTest("the \\\\?\\ form is a Windows matter")
        client = self.client()
        name = "\\\\?\\" + TARGET.module("echo_plugin")
        self.assertEqual(client.request(request(MsgId="l", Module=name)), LOAD_OK)
        self.assertEqual(client.request(request(MsgId="e", Method="echo", Param="long")),
                         reply("e", True, "long"))


class InvokeTests(ProgramTestCase):
    def setUp(self):
        super().setUp()
        self.page = self.client()
        self.load(self.page, "echo_plugin")

    def call(self, msg_id, method, param=None):
        members = {"MsgId": msg_id, "Method": method}
        if param is not None:
            members["Param"] = param
        return self.page.request(request(**members))

    def test_invoke_before_load(self):
        other = self.client()
        self.assertEqual(other.request(request(MsgId="early", Method="echo", Param="p")),
                         not_loaded("early"))

    def test_success_with_answer(self):
        self.assertEqual(self.call("7", "echo", "hello"), reply("7", True, "hello"))

    def test_success_without_answer(self):
        self.assertEqual(self.call("7", "Add"), reply("7", True, "[ Add ] function success."))

    def test_failure_with_answer(self):
        self.assertEqual(self.call("f", "fail"), reply("f", False, "failed on purpose"))

    def test_failure_without_answer(self):
        self.assertEqual(self.call("q", "failQuiet"),
                         reply("q", False, "[ failQuiet ] function faild."))

    def test_empty_answer(self):
        self.assertEqual(self.call("e", "empty"), reply("e", True, ""))

    def test_escapes_in_a_module_answer(self):
        expected = (b'{"MsgId":"esc","Result":true,"Response":"q\\" b\\\\ n\\n t\\t r\\r c\\u0001'
                    b' u\\u001F d\x7f s/ \xc3\xa9\xe2\x82\xac"}')
        self.assertEqual(self.call("esc", "escapes"), expected)

    def test_escapes_of_an_echoed_parameter(self):
        expected = b'{"MsgId":"p","Result":true,"Response":"a\\bb\\fc\\u001Ad\\u0002e\\"f\\\\g/h"}'
        self.assertEqual(self.call("p", "echo", 'a\bb\fc\x1ad\x02e"f\\g/h'), expected)

    def test_non_ascii_travels_unescaped(self):
        text = "h\u00e9llo \u20ac \u4e2d \U0001d11e"
        self.assertEqual(self.call("n\u00e9", "echo", text),
                         ('{"MsgId":"n\u00e9","Result":true,"Response":"%s"}' % text).encode())
        # \u escapes in the request arrive as UTF-8 and go back unescaped
        text = '{"MsgId":"u","Method":"echo","Param":"\\u00e9\\ud834\\udd1e"}'
        self.assertEqual(self.page.request(text),
                         '{"MsgId":"u","Result":true,"Response":"\u00e9\U0001d11e"}'.encode())

    def test_method_text_in_the_fallback_reply(self):
        self.assertEqual(self.call("m", 'do "it"\\now'),
                         b'{"MsgId":"m","Result":true,'
                         b'"Response":"[ do \\"it\\"\\\\now ] function success."}')

    def test_param_defaults(self):
        self.assertEqual(self.call("a", "echo"), reply("a", True, "{}"))
        self.assertEqual(self.call("b", "echo", ""), reply("b", True, "{}"))
        for raw in ["5", "true", "null", '{"x":1}', '["y"]']:
            with self.subTest(param=raw):
                text = '{"MsgId":"c","Method":"echo","Param":%s}' % raw
                self.assertEqual(self.page.request(text), reply("c", True, "{}"))
        self.assertEqual(self.call("d", "echo", "given"), reply("d", True, "given"))

    def test_values_end_at_their_first_nul(self):
        # a value that starts with a NUL is as good as empty
        for text, expected in [
                ('{"MsgId":"z\\u0000tail","Method":"echo","Param":"ab\\u0000cd"}',
                 reply("z", True, "ab")),
                ('{"MsgId":"\\u0000","Method":"echo"}', syntax_error("message not have MsgId")),
                ('{"MsgId":"1","Method":"\\u0000"}',
                 syntax_error("not find operation(Module or Method)")),
                ('{"MsgId":"2","Module":"\\u0000","Method":"echo","Param":"p"}',
                 reply("2", True, "p")),
                ('{"MsgId":"3","Method":"echo","Param":"\\u0000p"}', reply("3", True, "{}"))]:
            with self.subTest(text=text):
                self.assertEqual(self.page.request(text), expected)

    def test_first_of_two_msgids_counts(self):
        text = '{"MsgId":"first","MsgId":"second","Method":"echo","Param":"p"}'
        self.assertEqual(self.page.request(text),
                         reply("first", True, "p"))

    def test_binary_requests_are_answered_like_text(self):
        other = self.client()
        text = request(MsgId="b", Module=TARGET.module("echo_plugin"))
        self.assertEqual(other.request(text.encode()), LOAD_OK)
        for text in [request(MsgId="b1", Method="echo", Param="bin \u00e9"),
                     request(MsgId="b2", Method="fail"), request(MsgId="b3", Method="Sub"),
                     "{}", ""]:
            with self.subTest(text=text):
                self.assertEqual(other.request(text.encode()), other.request(text))

    def test_large_answers_go_back_to_the_plugin_heap(self):
        # 100 answers of 2 MB: each block is freed once its reply is out, so the program's size
        # stays flat; keeping them would add 200 MB. (Under the sanitizer, its leak check at exit
        # stands in for the measure.)
        expected = reply("big", True, "x" * 2000000)
        self.assertEqual(self.call("big", "big", "2000000"), expected)
        measure = not TARGET.windows and not TARGET.sanitized
        before = self.program.resident_bytes() if measure else 0
        for _ in range(100):
            self.assertEqual(self.call("big", "big", "2000000"), expected)
        if measure:
            grown = self.program.resident_bytes() - before
            self.assertLess(grown, 50000000, "resident size grew by %d bytes" % grown)

    def test_invalid_utf8_answer_arrives_with_replacement_characters(self):
        self.assertEqual(self.call("u", "invalidUtf8"),
                         reply("u", True, "bad \ufffd and \ufffd end"))
        self.assertEqual(self.call("after", "echo", "fine"), reply("after", True, "fine"))

    def test_invalid_utf8_in_echoed_msgid_and_method(self):
        answer = self.page.request(b'{"MsgId":"id\xff","Method":"m\x80"}')
        self.assertEqual(answer, reply("id\ufffd", True, "[ m\ufffd ] function success."))
        answer = self.page.request(b'{"MsgId":"p\xc0","Method":"echo","Param":"v\xfe"}')
        self.assertEqual(answer, reply("p\ufffd", True, "v\ufffd"))

    def test_module_name_that_is_not_utf8(self):
        name = b"bad\xffname" + TARGET.extension.encode()
        answer = self.page.request(b'{"MsgId":"m","Module":"' + name + b'"}')
        self.assertEqual(answer, load_failed(TARGET.bad_name_code))
        # the earlier module is still the connection's, and the program goes on serving
        self.assertEqual(self.call("e", "echo", "on"), reply("e", True, "on"))
        self.assertServing()

    def test_replies_come_in_request_order(self):
        expected = []
        for index in range(60):
            msg_id = "o%d" % index
            if index % 10 == 3:
                self.page.send(request(MsgId=msg_id, Method="sleep", Param="30"))
                expected.append(reply(msg_id, True, "[ sleep ] function success."))
            elif index % 10 == 7:
                self.page.send(request(MsgId=msg_id, Method="failQuiet"))
                expected.append(reply(msg_id, False, "[ failQuiet ] function faild."))
            elif index == 25:
                self.page.send("{")
                expected.append(syntax_error("Invalid message format"))
            elif index == 45:
                self.page.send(request(MsgId=msg_id, Module=TARGET.module("echo_plugin")).encode())
                expected.append(LOAD_OK)
            else:
                self.page.send(request(MsgId=msg_id, Method="echo", Param=str(index)))
                expected.append(reply(msg_id, True, str(index)))
        received = [self.page.receive() for _ in expected]
        self.assertEqual(received, expected)
        # exactly one reply each: the next reply belongs to the next request
        self.assertEqual(self.call("last", "echo", "end"), reply("last", True, "end"))

    def test_module_state_is_shared_by_connections_that_load_it(self):
        # one image per process: the calls counter counts both pages' calls
        other = self.client()
        self.load(other, "echo_plugin")
        first = int(json.loads(self.call("c", "calls"))["Response"])
        second = int(json.loads(other.request(request(MsgId="c", Method="calls")))["Response"])
        self.assertEqual(second, first + 1)


class IsolatedInvokeTests(InvokeTests):
    """The calls above with the module in a host process of its own: the same replies, byte for
    byte."""

    ISOLATED = True

    def test_module_state_is_shared_by_connections_that_load_it(self):
        # an isolated module shares nothing: each page's host counts only that page's calls
        other = self.client()
        self.load(other, "echo_plugin")
        self.call("c", "calls")
        second = int(json.loads(other.request(request(MsgId="c", Method="calls")))["Response"])
        self.assertEqual(second, 1)


class IsolationTests(ProgramTestCase):
    """Modules in host processes of their own: what a failing or slow host does to its page and to
    the others."""


    def test_loads_answer_as_in_process(self):
        for name, expected in [("echo_plugin", LOAD_OK), ("noinvoke_plugin", BAD_FORMAT),
                               ("no_such_plugin", load_failed(TARGET.missing_code))]:
            for isolated in (False, True):
                with self.subTest(module=name, isolated=isolated):
                    page = self.client()
                    members = {"MsgId": "l", "Module": TARGET.module(name), "Isolated": isolated}
                    self.assertEqual(page.request(request(**members)), expected)
                    self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="x")),
                                     reply("e", True, "x") if expected == LOAD_OK
                                     else not_loaded("e"))
                    self.close(page)

    def test_a_crash_ends_only_its_call(self):
        page, other = self.client(), self.client()
        self.load(page, "echo_plugin", isolated=True)
        self.load(other, "echo_plugin", isolated=True)
        self.assertEqual(page.request(request(MsgId="c1", Method="crash")),
                         reply("c1", False, "[ crash ] function faild."))
        self.assertEqual(other.request(request(MsgId="o", Method="echo", Param="on")),
                         reply("o", True, "on"))
        self.assertEqual(page.request(request(MsgId="c2", Method="echo")), not_loaded("c2"))
        self.load(page, "echo_plugin", isolated=True)
        self.assertEqual(page.request(request(MsgId="a", Method="echo", Param="again")),
                         reply("a", True, "again"))
        how = r"ended during a call \((signal 11|exit code 0xC0000005)"
        harness.wait_until(lambda: re.search(how, self.program.stderr.text().decode()),
                           TARGET.reply_timeout, "the error log line about the crashed host")
        line = [text for text in self.program.stderr.text().decode().splitlines()
                if re.search(how, text)][-1]
        self.assertIn(TARGET.module("echo_plugin"), line)

    def test_a_30_mib_answer_comes_back_whole(self):
        page = self.client()
        self.load(page, "echo_plugin", isolated=True)
        size = 30 * 1024 * 1024
        self.assertEqual(page.request(request(MsgId="b", Method="big", Param=str(size))),
                         reply("b", True, "x" * size))

    def test_a_host_that_ends_during_its_load(self):
        page = self.client()
        self.load(page, "echo_plugin", isolated=True)
        text = request(MsgId="l", Module=TARGET.module("crashload_plugin"), Isolated=True)
        self.assertEqual(page.request(text), load_failed(109 if TARGET.windows else errno.EPIPE))
        # a failed load keeps the earlier module
        self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="kept")),
                         reply("e", True, "kept"))

    def test_a_slow_call_holds_only_its_own_page(self):
        slow, other = self.client(), self.client()
        self.load(slow, "echo_plugin", isolated=True)
        self.load(other, "echo_plugin", isolated=True)
        slow.send(request(MsgId="s", Method="sleep", Param="2000"))
        slow.send(request(MsgId="after", Method="echo", Param="held"))
        time.sleep(0.2)
        started = time.monotonic()
        self.assertEqual(other.request(request(MsgId="o", Method="echo", Param="quick")),
                         reply("o", True, "quick"))
        self.assertLess(time.monotonic() - started, 0.2)
        self.assertEqual(slow.receive(), reply("s", True, "[ sleep ] function success."))
        self.assertEqual(slow.receive(), reply("after", True, "held"))

    def test_closing_a_page_ends_its_hung_host(self):
        page = self.client()
        self.load(page, "echo_plugin", isolated=True)
        # the hosts of the test before may take a moment to exit (under the sanitizers)
        harness.wait_until(lambda: len(host_pids(self.program)) == 1, TARGET.reply_timeout,
                           "this page's host to be the only one")
        hosts = host_pids(self.program)
        page.send(request(MsgId="h", Method="sleep", Param="60000"))
        time.sleep(0.2)
        self.close(page)
        harness.wait_until(lambda: process_gone(hosts[0]), 2.0 + TARGET.reply_timeout,
                           "the hung host %d to end" % hosts[0])
        self.assertServing()


class ConnectionTests(ProgramTestCase):
    def test_connections_are_isolated(self):
        loaded = self.client()
        bare = self.client()
        self.load(loaded, "echo_plugin")
        self.assertEqual(bare.request(request(MsgId="b", Method="echo", Param="p")),
                         not_loaded("b"))
        other = self.client()
        self.load(other, "recorder_a")
        self.assertEqual(loaded.request(request(MsgId="l", Method="echo", Param="mine")),
                         reply("l", True, "mine"))
        self.assertEqual(other.request(request(MsgId="o", Method="echo")),
                         reply("o", True, "recorder_a"))
        self.close(other)

    def test_unload_on_close(self):
        mark = RECORDER.mark()
        client = self.client()
        self.load(client, "recorder_a")
        self.assertEqual(RECORDER.wait_since(mark, 1, TARGET.reply_timeout), ["load recorder_a"])
        self.assertEqual(client.request(request(MsgId="r", Method="x")),
                         reply("r", True, "recorder_a"))
        self.close(client)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])

    def test_unload_on_close_without_a_closing_handshake(self):
        mark = RECORDER.mark()
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        text = request(MsgId="l", Module=TARGET.module("recorder_a"))
        raw.send_frame(rawws.OP_TEXT, text.encode())
        self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
        before = self.program.disconnects()
        raw.close()
        self.program.wait_disconnects(before + 1)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])

    def test_two_connections_loading_one_module(self):
        mark = RECORDER.mark()
        first = self.client()
        second = self.client()
        self.load(first, "recorder_a")
        self.load(second, "recorder_a")
        self.close(first)
        # the close has been handled: the module is still loaded for the other page
        self.assertEqual(RECORDER.since(mark), ["load recorder_a"])
        self.assertEqual(second.request(request(MsgId="s", Method="x")),
                         reply("s", True, "recorder_a"))
        self.close(second)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])

    def test_every_loaded_module_is_released_newest_first(self):
        for first, second in [("recorder_a", "recorder_b"), ("recorder_b", "recorder_a")]:
            with self.subTest(first=first):
                mark = RECORDER.mark()
                client = self.client()
                self.load(client, first)
                self.load(client, second)
                self.close(client)
                self.assertEqual(RECORDER.since(mark), ["load " + first, "load " + second,
                                                        "unload " + second, "unload " + first])

    def test_same_module_loaded_twice_is_released(self):
        mark = RECORDER.mark()
        client = self.client()
        self.load(client, "recorder_a")
        self.load(client, "recorder_a")
        self.close(client)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])

    def test_failed_load_after_a_good_one_then_close(self):
        mark = RECORDER.mark()
        client = self.client()
        self.load(client, "recorder_b")
        self.assertEqual(client.request(request(MsgId="x", Module="ravelink_no_such_module")),
                         load_failed(TARGET.missing_code))
        self.assertEqual(client.request(request(MsgId="c", Method="x")),
                         reply("c", True, "recorder_b"))
        self.close(client)
        self.assertEqual(RECORDER.since(mark), ["load recorder_b", "unload recorder_b"])

    def test_close_without_a_module_releases_nothing(self):
        mark = RECORDER.mark()
        holder = self.client()
        self.load(holder, "recorder_a")
        client = self.client()
        self.assertEqual(client.request(request(MsgId="i", Method="x")), not_loaded("i"))
        self.close(client)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a"])
        self.close(holder)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])


class TransportTests(ProgramTestCase):
    def handshake_head(self, text):
        raw = rawws.RawSocket(HOST, PORT, TARGET.reply_timeout)
        try:
            raw.send(text)
            return raw.read_until(b"\r\n\r\n", time.monotonic() + TARGET.reply_timeout)
        finally:
            raw.close()

    def test_protocol_versions_7_and_8_are_served(self):
        for version in (7, 8):
            with self.subTest(version=version):
                raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout, version=version)
                try:
                    text = request(MsgId="l", Module=TARGET.module("echo_plugin"))
                    raw.send_frame(rawws.OP_TEXT, text.encode())
                    self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
                    text = request(MsgId="v", Method="echo", Param="version %d" % version)
                    raw.send_frame(rawws.OP_BINARY, text.encode())
                    self.assertEqual(raw.read_frame(),
                                     (rawws.OP_TEXT, reply("v", True, "version %d" % version)))
                    raw.send_frame(rawws.OP_CLOSE, (1000).to_bytes(2, "big"))
                    self.assertEqual(raw.read_frame(), (rawws.OP_CLOSE, (1000).to_bytes(2, "big")))
                finally:
                    raw.close()

    def test_only_versions_13_8_and_7_upgrade_the_rest_get_426(self):
        upgrade = ("GET / HTTP/1.1\r\nHost: 127.0.0.1:7321\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n")
        refused = {
            "plain HTTP": b"GET / HTTP/1.1\r\nHost: 127.0.0.1:7321\r\n\r\n",
            # the pre-RFC draft: no version header, two number keys and eight bytes after the head
            "draft": (b"GET / HTTP/1.1\r\nHost: 127.0.0.1:7321\r\nUpgrade: WebSocket\r\n"
                      b"Connection: Upgrade\r\nOrigin: http://127.0.0.1\r\n"
                      b"Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
                      b"Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n\r\n^n:ds[4U"),
        }
        for version in ["0", "6", "9", "12", "14", "13x", "abc"]:
            refused["version " + version] = (
                upgrade + "Sec-WebSocket-Version: %s\r\n\r\n" % version).encode()
        for name, text in refused.items():
            with self.subTest(handshake=name):
                head = self.handshake_head(text)
                self.assertTrue(head.startswith(b"HTTP/1.1 426 "), head)
                self.assertIn(b"\r\nSec-WebSocket-Version: 13\r\n", head)
        # every version that upgrades closes a text message that is not UTF-8 with 1007
        for version in ["13", "8", "7"]:
            with self.subTest(version=version):
                raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout, version=version)
                try:
                    raw.send_frame(rawws.OP_TEXT,
                                   b'{"MsgId":"1","Method":"echo","Param":"\xff\xfe"}')
                    opcode, payload = raw.read_frame()  # no reply comes before the close
                finally:
                    raw.close()
                self.assertEqual(opcode, rawws.OP_CLOSE)
                self.assertEqual(payload[:2], (1007).to_bytes(2, "big"))
        self.assertServing()

    def test_same_bytes_in_a_binary_message_are_read(self):
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        try:
            raw.send_frame(rawws.OP_BINARY, b'{"MsgId":"\xff\xfe","Method":"echo"}')
            answer = raw.read_frame()
        finally:
            raw.close()
        self.assertEqual(answer, (rawws.OP_TEXT, not_loaded("\ufffd\ufffd")))

    def test_message_over_the_limit_is_closed_with_1009(self):
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        payload = b"{" + b" " * LIMIT
        self.assertEqual(len(payload), 32000001)

        def send_all():
            try:
                raw.send_frame(rawws.OP_TEXT, payload)
            except OSError:
                pass  # the program may close while the rest is on its way

        sender = threading.Thread(target=send_all, daemon=True)
        sender.start()
        try:
            opcode, answer = raw.read_frame()  # no reply comes before the close
        finally:
            sender.join(TARGET.reply_timeout)
            raw.close()
        self.assertEqual(opcode, rawws.OP_CLOSE, answer[:200])
        self.assertEqual(answer[:2], (1009).to_bytes(2, "big"))
        self.assertEqual(answer[2:], b"A message was too large")
        self.assertServing()

    def test_message_at_the_limit_is_answered(self):
        client = self.client()
        self.load(client, "echo_plugin")
        head = request(MsgId="limit", Method="length", Param="abc")
        text = head + " " * (LIMIT - len(head))
        self.assertEqual(len(text.encode()), LIMIT)
        self.assertEqual(client.request(text, timeout=TARGET.reply_timeout * 4),
                         reply("limit", True, "3"))
        self.assertEqual(client.request(request(MsgId="n", Method="echo", Param="next")),
                         reply("n", True, "next"))

    def test_a_million_brackets_are_answered(self):
        client = self.client()
        self.assertEqual(client.request("[" * 1000000, timeout=TARGET.reply_timeout * 2),
                         syntax_error("Invalid message format"))
        self.assertEqual(client.request(b"{" * 1000000, timeout=TARGET.reply_timeout * 2),
                         syntax_error("Invalid message format"))
        self.assertEqual(client.request(request(MsgId="after", Method="x")), not_loaded("after"))
        self.assertServing()

    def test_access_log_holds_no_payloads(self):
        marker = "e2e-private-%d" % os.getpid()
        client = self.client()
        self.load(client, "echo_plugin")
        self.assertEqual(client.request(request(MsgId="m", Method="echo", Param=marker)),
                         reply("m", True, marker))
        client.request(request(MsgId=marker + "-id", Method=marker + "-method"))
        client.request("{" + marker)
        self.close(client)
        log = self.program.stdout.text()
        # the access log is there and logs frames, only not their contents
        self.assertIn(b"[connect]", log)
        self.assertIn(b"[frame_header]", log)
        self.assertNotIn(marker.encode(), log)
        self.assertNotIn(marker.encode(), self.program.stderr.text())

    def test_second_copy_exits_with_1(self):
        before = self.client()
        self.load(before, "echo_plugin")
        second = Program(TARGET, RECORDER.path).start(wait_listening=False, check_port=False)
        try:
            code = second.wait_exit()
        finally:
            second.kill()
        errors = second.stderr.text().decode("utf-8", "replace")
        self.assertEqual(code, 1, "second copy's stderr: %r" % errors)
        # one line saying why, with its time like every log line
        self.assertRegex(errors, r"\A\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ravelink: not started: another "
                                 r"copy already runs in this session[^\n]*\n\Z")
        self.assertEqual(before.request(request(MsgId="b", Method="echo", Param="first")),
                         reply("b", True, "first"))
        self.assertServing()


class StopTests(ProgramTestCase):
    def test_stop_signal_closes_pages_releases_modules_and_exits_cleanly(self):
        # This ends the shared program that all the tests before it used: under the sanitizer, any
        # leak or memory error of the whole run is reported at this exit.
        if TARGET.windows:
            self.skipTest("the Windows program has no stop signal")
        mark = RECORDER.mark()
        page = self.client()
        self.load(page, "recorder_b")
        self.load(page, "recorder_a")
        idle = self.client()
        hung = self.client()
        self.load(hung, "echo_plugin", isolated=True)
        hung.send(request(MsgId="h", Method="sleep", Param="60000"))
        hosts = host_pids(self.program)
        self.assertEqual(len(hosts), 1)
        code = self.program.stop()
        self.assertTrue(all(process_gone(pid) for pid in hosts), "a host outlived the program")
        page.wait_closed()
        idle.wait_closed()
        stop_shared_program()
        errors = self.program.stderr.text().decode("utf-8", "replace")
        # where a sanitizer's report begins, and its summary line
        report = re.search(r"^.*(Sanitizer|runtime error).*$", errors, re.MULTILINE)
        summary = re.findall(r"^SUMMARY: .*$", errors, re.MULTILINE)
        if report:
            self.fail("exit code %d, and a sanitizer reported:\n%s\n...\n%s"
                      % (code, errors[report.start():][:3000], "\n".join(summary)))
        self.assertEqual(code, 0, "stderr ends: %r" % errors[-2000:])
        self.assertEqual((page.close_code(), idle.close_code()), (1001, 1001))
        self.assertEqual(RECORDER.since(mark), ["load recorder_b", "load recorder_a",
                                                "unload recorder_a", "unload recorder_b"])


class OwnProgramTestCase(unittest.TestCase):
    """Tests that need programs of their own; the shared one is stopped first."""

    def setUp(self):
        stop_shared_program()
        self.programs = []
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            try:
                client.close()
            except Exception:
                pass
        for program in self.programs:
            program.kill()

    def start(self, limits=None, policy=None):
        # a program killed by the test before may hold the port a moment longer (under Wine)
        harness.wait_until(lambda: not harness.port_accepts(), TARGET.start_timeout,
                           "the previous program to leave %s:%d" % (HOST, PORT))
        program = Program(TARGET, RECORDER.path, limits, policy)
        self.programs.append(program)
        return program.start()


class LifecycleTests(OwnProgramTestCase):

    def test_no_host_beside_the_program_fails_isolated_loads_only(self):
        folder = tempfile.mkdtemp(dir=WORK_DIR)
        alone = os.path.join(folder, os.path.basename(TARGET.program))
        shutil.copy2(TARGET.program, alone)
        target = harness.Target(TARGET.kind, alone, TARGET.plugin_dir, TARGET.wine_run)
        harness.wait_until(lambda: not harness.port_accepts(), TARGET.start_timeout,
                           "the previous program to leave %s:%d" % (HOST, PORT))
        program = Program(target, RECORDER.path)
        self.programs.append(program)
        program.start()
        page = Client(TARGET.reply_timeout)
        self.clients.append(page)
        module = TARGET.module("echo_plugin")
        self.assertEqual(page.request(request(MsgId="l", Module=module, Isolated=True)),
                         load_failed(2))  # ENOENT, ERROR_FILE_NOT_FOUND
        self.assertEqual(page.request(request(MsgId="l", Module=module)), LOAD_OK)

    def test_killing_the_program_ends_every_host(self):
        program = self.start()
        pages = []
        for method in ["echo", "sleep"]:
            page = Client(TARGET.reply_timeout)
            self.clients.append(page)
            text = request(MsgId="l", Module=TARGET.module("echo_plugin"), Isolated=True)
            self.assertEqual(page.request(text), LOAD_OK)
            page.send(request(MsgId="m", Method=method, Param="60000"))
            pages.append(page)
        self.assertEqual(pages[0].receive(), reply("m", True, "60000"))
        hosts = host_pids(program)
        self.assertEqual(len(hosts), 2)
        program.kill()
        harness.wait_until(lambda: all(process_gone(pid) for pid in hosts), 1.0,
                           "the hosts %s to end with the program" % hosts)

    def test_restart_right_after_kill_9_with_open_connections(self):
        first = self.start()
        for index in range(3):
            client = Client(TARGET.reply_timeout)
            self.clients.append(client)
            text = request(MsgId="l", Module=TARGET.module("echo_plugin"))
            self.assertEqual(client.request(text), LOAD_OK)
            self.assertEqual(client.request(request(MsgId="e", Method="echo", Param=str(index))),
                             reply("e", True, str(index)))
        first.kill()
        for client in self.clients:
            client.wait_closed()
        # the old process's side of those connections lingers on the port (FIN_WAIT/TIME_WAIT)
        lingering = [state for state in harness.tcp_states_on_port() if state in ("04", "05", "06")]
        self.assertTrue(lingering, "no connection lingered on the port; the restart proves nothing")
        second = self.start()
        client = Client(TARGET.reply_timeout)
        self.clients.append(client)
        text = request(MsgId="l", Module=TARGET.module("echo_plugin"))
        self.assertEqual(client.request(text), LOAD_OK)
        self.assertEqual(client.request(request(MsgId="e", Method="echo", Param="again")),
                         reply("e", True, "again"))
        self.assertTrue(second.alive())

    def require_stop_signal(self):
        if TARGET.windows:
            self.skipTest("the Windows program has no stop signal")

    def test_a_page_opening_during_a_stop_is_closed_and_a_second_signal_ends_at_once(self):
        self.require_stop_signal()
        program = self.start()

        def stop_midway():
            # the program has taken this connection (its handshake is under way) before the stop
            harness.wait_until(lambda: program.sockets() > baseline, TARGET.reply_timeout,
                               "the program to accept the connection")
            program.process.send_signal(signal.SIGTERM)
            harness.wait_until(lambda: not harness.port_accepts(), TARGET.reply_timeout,
                               "the program to stop listening")

        program.wait_idle()  # the connections of the start-up check are gone
        baseline = program.sockets()
        late = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout, midway=stop_midway)
        self.addCleanup(late.close)
        opcode, payload = late.read_frame()
        self.assertEqual((opcode, payload[:2]), (rawws.OP_CLOSE, b"\x03\xe9"))  # 1001
        # the page never answers the close; a second signal does not wait for it
        program.process.send_signal(signal.SIGTERM)
        self.assertEqual(program.wait_exit(), -signal.SIGTERM)

    def test_a_stop_drops_the_requests_held_for_a_page_that_reads_late(self):
        self.require_stop_signal()
        program = self.start()
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        self.addCleanup(raw.close)
        raw.send_frame(rawws.OP_TEXT, request(MsgId="l", Module=TARGET.module("echo_plugin")).encode())
        self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
        mark = RECORDER.mark()
        # in one read: more answers than the connection's bound holds, so the last requests are
        # held, a load among them
        raw.send(b"".join(rawws.frame(rawws.OP_TEXT, request(
            MsgId=str(index), Method="big", Param=str(MIB)).encode()) for index in range(100)) +
            rawws.frame(rawws.OP_TEXT, request(MsgId="l", Module=TARGET.module("recorder_a")).encode()))
        program.wait_idle()
        program.process.send_signal(signal.SIGTERM)
        # reading now drains the replies sent before the stop, and then comes the close
        replies = 0
        while True:
            opcode, payload = raw.read_frame()
            if opcode != rawws.OP_TEXT:
                break
            self.assertEqual(payload, reply(str(replies), True, "x" * MIB), "reply %d" % replies)
            replies += 1
        self.assertEqual((opcode, payload[:2]), (rawws.OP_CLOSE, b"\x03\xe9"))
        self.assertLess(replies, 100, "no request was held; the test proves nothing")
        raw.send_frame(rawws.OP_CLOSE, payload[:2])
        self.assertEqual(program.wait_exit(), 0)
        self.assertEqual(RECORDER.since(mark), [], "a held request ran after the stop")

    def test_a_stop_ends_serving_while_pages_arrive_and_while_out_of_descriptors(self):
        self.require_stop_signal()
        if TARGET.sanitized:
            self.skipTest("the sanitizers need descriptors of their own")
        for exhausted in (False, True):
            with self.subTest(exhausted=exhausted):
                program = self.start(limits={resource.RLIMIT_NOFILE: 64})
                arriving = threading.Event()
                arriving.set()

                def arrive():
                    while arriving.is_set():
                        try:
                            socket.create_connection((HOST, PORT), timeout=1).close()
                        except OSError:
                            pass

                idle = []
                if exhausted:
                    idle = [socket.create_connection((HOST, PORT)) for _ in range(100)]
                    harness.wait_until(lambda: b"accept" in program.stderr.text(),
                                       TARGET.reply_timeout, "the program to run out of descriptors")
                pages = threading.Thread(target=arrive, daemon=True)
                pages.start()
                try:
                    program.process.send_signal(signal.SIGTERM)
                    harness.wait_until(lambda: not harness.port_accepts(), TARGET.reply_timeout,
                                       "the program to stop listening")
                finally:
                    arriving.clear()
                    pages.join()
                    for sock in idle:
                        sock.close()
                try:
                    self.assertEqual(program.wait_exit(), 0, program.stderr.text()[-2000:])
                finally:
                    program.kill()

    def test_the_journal_gets_connection_lines_and_errors_not_a_line_per_frame(self):
        if TARGET.windows:
            self.skipTest("the journal is Linux's; the Windows log file has its own test")
        why = harness.Journal.available()
        if why:
            self.skipTest("no private mount namespace for the journal's socket here: %s" % why)
        program = self.start(policy=harness.Journal())
        client = Client(TARGET.reply_timeout)
        self.assertEqual(client.request(request(MsgId="l", Module=TARGET.module("echo_plugin"))), LOAD_OK)
        client.request(request(MsgId="e", Method="echo", Param="x"))
        client.close()
        harness.wait_until(lambda: program.stdout.count(b"[disconnect]") == 1, TARGET.reply_timeout,
                           "the disconnect in the journal")
        lines = program.stdout.text().decode("utf-8", "replace").splitlines()
        stamped = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \[(\w+)\] "
        channels = [re.match(stamped, line).group(1) if re.match(stamped, line) else line
                    for line in lines]
        # (the harness's port probe before the handshake may have left an error and a fail line)
        self.assertIn("connect", channels)
        self.assertLessEqual(set(channels), {"connect", "disconnect", "fail", "error"}, lines)

    def test_listen_failure_exits_with_2(self):
        holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        # earlier tests may have left connections in TIME_WAIT on the port; a listener still blocks
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            try:
                holder.bind((HOST, PORT))
            except OSError as error:
                self.fail("cannot hold %s:%d for the test: %s" % (HOST, PORT, error))
            holder.listen(1)
            program = Program(TARGET, RECORDER.path)
            self.programs.append(program)
            program.start(wait_listening=False, check_port=False)
            code = program.wait_exit()
        finally:
            holder.close()
        errors = program.stderr.text().decode("utf-8", "replace")
        self.assertEqual(code, 2, "stderr: %r" % errors)
        naming = [line for line in errors.splitlines() if "127.0.0.1:7321" in line]
        self.assertEqual(len(naming), 1, "stderr: %r" % errors)
        self.assertRegex(naming[0], r"127\.0\.0\.1:7321\W+\w", "the line names no cause")


MIB = 1024 * 1024
# What all pages together may make the program hold, in MiB, as docs/protocol.md states it.
TOTAL_BOUND_MIB = 320


class AbuseTests(OwnProgramTestCase):
    """One hostile page must not hurt the others: memory, descriptors, exceptions. Each test runs
    a program of its own, so its peak memory is the test's alone."""

    def require_native(self, why):
        if TARGET.windows:
            self.skipTest(why)
        if TARGET.sanitized:
            self.skipTest("the sanitizers need address space and descriptors of their own, which "
                          "the limits this case sets do not leave them")

    @staticmethod
    def measures_memory():
        """Memory figures mean something for the plain native program only: Wine's are its own,
        and the sanitizers hold freed memory back on purpose."""
        return not TARGET.windows and not TARGET.sanitized

    def flood(self, raw, frames):
        """Sends on a thread: the program may stop reading, and then the send blocks, for longer
        than one read's timeout when the program is slow (under the sanitizers, on a busy
        machine); so a send that times out is tried again, up to a generous deadline."""
        def send():
            data = memoryview(frames)
            deadline = time.monotonic() + TARGET.reply_timeout * 20
            while data:
                try:
                    data = data[raw.sock.send(data[:65536]):]
                except socket.timeout:
                    if time.monotonic() > deadline:
                        raise
        sender = threading.Thread(target=send, daemon=True)
        sender.start()
        return sender

    def test_a_reader_that_never_reads_costs_at_most_the_bound(self):
        program = self.start()
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        self.addCleanup(raw.close)
        raw.send_frame(rawws.OP_TEXT, request(MsgId="l", Module=TARGET.module("echo_plugin")).encode())
        self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
        count = 300  # answers of 1 MiB: 300 MiB if nothing held the program back
        frames = b"".join(rawws.frame(rawws.OP_TEXT, request(
            MsgId=str(index), Method="big", Param=str(MIB)).encode()) for index in range(count))
        sender = self.flood(raw, frames)
        if self.measures_memory():
            program.wait_idle()
            peak = program.status_kib("VmHWM") // 1024
            # 64 MiB of unsent replies, the one that crossed the bound, the program itself: about
            # 70 MiB however many answers wait (135 MiB while the write in progress went uncounted)
            self.assertLess(peak, 100, "peak resident memory %d MiB" % peak)
        # reading late loses nothing: every answer arrives, in order
        for index in range(count):
            opcode, payload = raw.read_frame()
            self.assertEqual(opcode, rawws.OP_TEXT)
            self.assertEqual(payload, reply(str(index), True, "x" * MIB), "reply %d" % index)
        sender.join(TARGET.reply_timeout)

    def test_many_readers_that_never_read_cost_at_most_the_total(self):
        if not self.measures_memory():
            self.skipTest("memory figures are the native program's alone")
        program = self.start()
        senders = []
        for page in range(16):  # 16 pages of 100 to 150 answers of 1 MiB: 2 GiB unbounded
            raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
            self.addCleanup(raw.close)
            raw.send_frame(rawws.OP_TEXT,
                           request(MsgId="l", Module=TARGET.module("echo_plugin")).encode())
            self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
            senders.append(self.flood(raw, b"".join(rawws.frame(rawws.OP_TEXT, request(
                MsgId=str(index), Method="big", Param=str(MIB)).encode())
                for index in range(100 + page * 50 // 15))))
        program.wait_idle()
        peak = program.status_kib("VmHWM") // 1024
        # the documented total: 256 MiB of unsent replies and one more reply per page, the
        # program and the requests it has read
        self.assertLess(peak, TOTAL_BOUND_MIB, "peak resident memory %d MiB" % peak)

    def test_a_flood_of_empty_messages_is_bounded_and_its_memory_given_back(self):
        program = self.start()
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        count = 1000000
        sender = self.flood(raw, rawws.frame(rawws.OP_TEXT, b"") * count)
        if self.measures_memory():
            program.wait_idle()
            peak = program.status_kib("VmHWM") // 1024
            self.assertLess(peak, 160, "peak resident memory %d MiB" % peak)
        # every empty message gets its reply
        # a million requests: the sanitizers' Debug build handles them several times slower
        self.read_bad_requests(raw, count, TARGET.reply_timeout * (16 if TARGET.sanitized else 4))
        sender.join(TARGET.reply_timeout)
        before = program.disconnects()
        raw.close()
        program.wait_disconnects(before + 1)
        if self.measures_memory():
            resident = program.status_kib("VmRSS") // 1024
            self.assertLess(resident, 48, "resident memory after the flood %d MiB" % resident)

    def read_bad_requests(self, raw, count, seconds):
        """Reads `count` replies to empty messages, each the fixed syntax-error reply, in order."""
        expected = syntax_error("Bad request")
        expected_frame = bytes([0x81, len(expected)]) + expected
        deadline = time.monotonic() + seconds
        received = 0
        while received < count:
            chunk = raw.read_exact(min(count - received, 10000) * len(expected_frame), deadline)
            self.assertEqual(chunk, expected_frame * (len(chunk) // len(expected_frame)))
            received += len(chunk) // len(expected_frame)

    def hang_isolated_call(self, program):
        """A raw page whose isolated call hangs: its later requests are held until the answer is
        in. Returns the page and its host's process id."""
        raw = rawws.RawWebSocket(HOST, PORT, TARGET.reply_timeout)
        self.addCleanup(raw.close)
        raw.send_frame(rawws.OP_TEXT, request(
            MsgId="l", Module=TARGET.module("echo_plugin"), Isolated=True).encode())
        self.assertEqual(raw.read_frame(), (rawws.OP_TEXT, LOAD_OK))
        hosts = host_pids(program)
        self.assertEqual(len(hosts), 1)
        raw.send_frame(rawws.OP_TEXT, request(MsgId="h", Method="sleep", Param="600000").encode())
        return raw, hosts[0]

    def test_empty_messages_held_during_a_hung_call_stop_its_reading(self):
        if not self.measures_memory():
            self.skipTest("memory figures are the native program's alone")
        program = self.start()
        raw, host = self.hang_isolated_call(program)
        count = 500000  # held by their bytes alone, they took 111 MiB and all were read
        sender = self.flood(raw, rawws.frame(rawws.OP_TEXT, b"") * count)
        program.wait_idle()
        peak = program.status_kib("VmHWM") // 1024
        # 64 MiB of held requests as weighed (about 30 MiB as taken), the program, one read
        self.assertLess(peak, 64, "peak resident memory %d MiB" % peak)
        # the host ends: the call fails, and then every held request is answered, in order
        os.kill(host, signal.SIGKILL)
        self.assertEqual(raw.read_frame(), (rawws.OP_TEXT,
                                            reply("h", False, "[ sleep ] function faild.")))
        self.read_bad_requests(raw, count, TARGET.reply_timeout * 4)
        sender.join(TARGET.reply_timeout)

    def test_a_page_closing_while_its_reading_is_stopped_is_seen_and_its_hung_host_ends(self):
        if TARGET.windows:
            self.skipTest("Winsock shows no close behind data not yet read")
        program = self.start()
        raw, host = self.hang_isolated_call(program)
        # 64 requests of 1 MiB held cross the page's bound: reading stops. The small ones after
        # them stay unread in the program's socket, with the page's close behind them. They are
        # kept small: a close behind more than the program's receive buffer takes never arrives
        # while reading is stopped (TCP holds it back at the page's end).
        frames = b"".join(rawws.frame(rawws.OP_TEXT, request(
            MsgId=str(index), Method="echo", Param="x" * MIB).encode()) for index in range(64))
        frames += b"".join(rawws.frame(rawws.OP_TEXT, request(
            MsgId="s%d" % index, Method="echo", Param="y" * 64).encode()) for index in range(8))
        sender = self.flood(raw, frames)
        sender.join(TARGET.reply_timeout)
        self.assertFalse(sender.is_alive(), "the program read too little of the page's requests")
        program.wait_idle()
        self.assertFalse(process_gone(host))
        before = program.disconnects()
        raw.close()
        closed = time.monotonic()
        # the close is seen within a few looks, though nothing more is read
        harness.wait_until(lambda: program.disconnects() > before, 1.0,
                           "the page's close to be handled")
        # its module is released and the hung host killed after the release grace (1 s): gone
        # within 2 s of the close (the sanitized build gets one more second to start and end)
        limit = 3.0 if TARGET.sanitized else 2.0
        harness.wait_until(lambda: process_gone(host), limit - (time.monotonic() - closed),
                           "the hung host %d to end" % host)

    def test_out_of_descriptors_it_neither_spins_nor_floods_the_log(self):
        self.require_native("descriptor limits are a POSIX matter")
        program = self.start(limits={resource.RLIMIT_NOFILE: 64})
        page = Client(TARGET.reply_timeout)
        self.clients.append(page)
        self.assertEqual(page.request(request(MsgId="l", Module=TARGET.module("echo_plugin"))),
                         LOAD_OK)
        idle = [socket.create_connection((HOST, PORT)) for _ in range(100)]
        try:
            harness.wait_until(lambda: b"accept" in program.stderr.text(),
                               TARGET.reply_timeout, "the program to run out of descriptors")
            before = program.cpu_ticks()
            time.sleep(1.0)
            ticks = program.cpu_ticks() - before
            self.assertLess(ticks, os.sysconf("SC_CLK_TCK") // 10,
                            "%d ticks of CPU in 1 s while out of descriptors" % ticks)
            episodes = [line for line in program.stderr.text().splitlines() if b"accept" in line]
            self.assertEqual(len(episodes), 1, program.stderr.text()[:2000])
            # the open connection is served meanwhile
            self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="on")),
                             reply("e", True, "on"))
        finally:
            for sock in idle:
                sock.close()
        # once descriptors are free, new connections are accepted again
        late = Client(TARGET.reply_timeout)
        self.clients.append(late)
        self.assertEqual(late.request(request(MsgId="n", Method="x")), not_loaded("n"))
        self.assertIn(b"accepting connections again", program.stdout.text())

    def test_an_allocation_failure_closes_only_its_connection(self):
        self.require_native("the address space is limited with setrlimit")
        # 512 MiB of address space: the module's 200 MiB answer fits, the host's copies do not
        program = self.start(limits={resource.RLIMIT_AS: 512 * MIB})
        mark = RECORDER.mark()
        other = Client(TARGET.reply_timeout)
        victim = Client(TARGET.reply_timeout)
        self.clients += [other, victim]
        for client, module in [(other, "echo_plugin"), (victim, "recorder_a")]:
            self.assertEqual(client.request(request(MsgId="l", Module=TARGET.module(module))),
                             LOAD_OK)
        self.assertEqual(victim.request(request(MsgId="l", Module=TARGET.module("echo_plugin"))),
                         LOAD_OK)
        victim.send(request(MsgId="huge", Method="big", Param=str(200 * MIB)))
        victim.wait_closed()
        self.assertEqual(victim.close_code(), 1011)
        program.wait_disconnects(1)
        # its modules are released, the other page and new ones are served
        self.assertEqual(RECORDER.since(mark), ["load recorder_a", "unload recorder_a"])
        self.assertEqual(other.request(request(MsgId="o", Method="echo", Param="still")),
                         reply("o", True, "still"))
        fresh = Client(TARGET.reply_timeout)
        self.clients.append(fresh)
        self.assertEqual(fresh.request(request(MsgId="f", Method="x")), not_loaded("f"))
        errors = [line for line in program.stderr.text().splitlines() if b"1011" in line]
        self.assertEqual(len(errors), 1, program.stderr.text())
        self.assertIn(b"bad_alloc", errors[0])


class HostFaultTests(OwnProgramTestCase):
    """The host under faults: killed while the program writes to it, loaded again and again, sent
    a large call its page does not wait for, slow to exit. Each row runs a program of its own, so
    the hosts and log lines it counts are its own."""

    def page(self):
        page = Client(TARGET.reply_timeout)
        self.clients.append(page)
        return page

    def load_isolated(self, page, name="echo_plugin", expected=LOAD_OK):
        text = request(MsgId="LoadModule", Module=TARGET.module(name), Isolated=True)
        self.assertEqual(page.request(text), expected)

    def test_killed_during_a_write(self):
        if TARGET.windows:
            self.skipTest("stopping a host while it is written to needs POSIX signals")
        program = self.start()
        page, other = self.page(), self.page()
        self.load_isolated(page)
        host = int(json.loads(page.request(request(MsgId="p", Method="pid")))["Response"])
        os.kill(host, signal.SIGSTOP)
        page.send(request(MsgId="e", Method="echo", Param="e" * (8 * 1024 * 1024)))
        time.sleep(0.3)  # the write fills the pipe and waits
        os.kill(host, signal.SIGKILL)
        self.assertEqual(page.receive(), reply("e", False, "[ echo ] function faild."))
        self.load_isolated(other)
        self.assertEqual(other.request(request(MsgId="o", Method="echo", Param="on")),
                         reply("o", True, "on"))
        self.assertTrue(program.alive(), "ravelink has exited")

    def test_repeated_isolated_loads(self):
        program = self.start()
        page = self.page()
        for _ in range(20 if TARGET.windows else 200):  # a host start under Wine is slow
            self.load_isolated(page)
        # each load replaced the host before it
        harness.wait_until(lambda: len(host_pids(program)) == 1, 5.0,
                           "one host (have %d)" % len(host_pids(program)))
        if not TARGET.windows:
            # the host has its standard streams and its pipe, none of the program's sockets
            fds = sorted(int(fd) for fd in os.listdir("/proc/%d/fd" % host_pids(program)[0]))
            self.assertEqual(fds, [0, 1, 2, 3])
        # a module without Invoke replaces it too: invokes answer as in-process
        self.load_isolated(page, "noinvoke_plugin", BAD_FORMAT)
        self.assertEqual(page.request(request(MsgId="n", Method="echo")), not_loaded("n"))
        harness.wait_until(lambda: not host_pids(program), 5.0, "no host left")
        if TARGET.windows or TARGET.sanitized:
            return  # 256 processes of Wine, or of the sanitizers, are more than this machine has
        pages = [self.page() for _ in range(256)]
        for each in pages:
            self.load_isolated(each)
        self.load_isolated(page, expected=load_failed(errno.EAGAIN))
        self.assertEqual(len(host_pids(program)), 256)
        self.assertEqual(program.stderr.text().decode().count("host processes already run"), 1)
        # a host that goes makes room again
        pages[0].close()
        harness.wait_until(lambda: len(host_pids(program)) == 255, 5.0, "a host to end")
        self.load_isolated(page)

    def test_a_cut_frame(self):
        program = self.start()
        page = self.page()
        self.load_isolated(page, "recorder_a")
        mark = RECORDER.mark()
        size = 30 * 1024 * 1024
        page.send(request(MsgId="r", Method="record", Param="r" * size))
        page.close()  # at once: the call is still being written to the host
        harness.wait_until(lambda: not host_pids(program), TARGET.reply_timeout * 4,
                           "the released host to end")
        records = [line for line in RECORDER.since(mark) if line.startswith("record")]
        whole = ["record recorder_a %d" % size]
        if TARGET.windows or TARGET.sanitized:
            # the whole parameter, or none: under Wine or the sanitizers carrying 30 MiB may take
            # longer than the release's grace, and a host ended before the call was in never runs
            # it, which is as good
            self.assertIn(records, ([], whole))
        else:
            self.assertEqual(records, whole)

    def test_a_slow_exit(self):
        program = self.start()
        page = self.page()
        self.load_isolated(page)
        hosts = host_pids(program)
        page.send(request(MsgId="h", Method="sleep", Param="60000"))
        time.sleep(0.2)
        before = program.disconnects()
        page.close()
        program.wait_disconnects(before + 1)
        harness.wait_until(lambda: process_gone(hosts[0]), 2.0, "the hung host to be ended")
        harness.wait_until(lambda: "after its release; ending it" in program.stderr.text().decode(),
                           TARGET.reply_timeout, "the log line about the ended host")
        self.assertEqual(program.stderr.text().decode().count("after its release; ending it"), 1)


class PolicyTests(OwnProgramTestCase):
    """Programs of their own, each started under an administrator's policy."""

    ALLOWED = "https://app.example.com"

    def setUp(self):
        super().setUp()
        if not TARGET.windows:
            why = harness.MachinePolicy.available()
            if why:
                self.skipTest("no private mount namespace for /etc here: %s" % why)
        self.policy = harness.MachinePolicy(TARGET)

    def tearDown(self):
        super().tearDown()
        self.policy.remove()

    def start(self):
        return super().start(policy=self.policy)

    def client(self, origin):
        client = Client(TARGET.reply_timeout, origin)
        self.clients.append(client)
        return client

    def error_lines(self, program, text, count=1):
        """The error log's lines holding `text`, once there are `count` of them (the log is read
        on a thread of its own, so a line may arrive after the reply that followed it)."""
        def lines():
            log = program.stderr.text().decode("utf-8", "replace")
            return [line for line in log.splitlines() if text in line]
        harness.wait_until(lambda: len(lines()) >= count, TARGET.reply_timeout,
                           "%d error log lines with %r" % (count, text))
        return lines()

    def module_folders(self):
        """An allowed folder holding a good module and a link to one outside it; returns the three
        names as the program sees them: inside, outside, the link."""
        source = os.path.join(TARGET.plugin_dir, "echo_plugin" + TARGET.extension)
        allowed = tempfile.mkdtemp(dir=WORK_DIR)
        outside = tempfile.mkdtemp(dir=WORK_DIR)
        names = []
        for path in [os.path.join(allowed, "echo" + TARGET.extension),
                     os.path.join(outside, "echo" + TARGET.extension)]:
            shutil.copyfile(source, path)
            names.append(TARGET.path(path))
        link = os.path.join(allowed, "link" + TARGET.extension)
        os.symlink(os.path.join(outside, "echo" + TARGET.extension), link)
        names.append(TARGET.path(link))
        return TARGET.path(allowed), names

    def test_listed_origins_and_folders_only(self):
        folder, (inside, outside, link_out) = self.module_folders()
        self.policy.write({"AllowedOrigins": [self.ALLOWED, "https://*.example.org"],
                           "AllowConnectionsWithoutOrigin": False,
                           "AllowedModuleFolders": [folder]})
        program = self.start()
        self.assertEqual(len(self.error_lines(program, "is in force")), 1,
                         program.stderr.text())
        for origin in ["https://evil.example.net", "https://app.example.com.evil.net",
                       "http://app.example.com", "https://example.org", "null", None]:
            with self.subTest(origin=origin):
                self.assertEqual(harness.handshake_status(TARGET.reply_timeout, origin), 403)
        self.assertEqual(len(self.error_lines(program, "refused a connection", 6)), 6)
        self.assertEqual(program.stdout.count(b"[connect]"), 0, "a refused handshake connected")

        page = self.client("https://APP.example.com")
        self.assertEqual(page.request(request(MsgId="l", Module=inside)), LOAD_OK)
        self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="served")),
                         reply("e", True, "served"))
        denied = 5 if TARGET.windows else 13
        for name in [outside, link_out, TARGET.module("echo_plugin")]:
            with self.subTest(module=name):
                self.assertEqual(page.request(request(MsgId="o", Module=name)),
                                 load_failed(denied))
        # the refused loads change nothing: the allowed module still answers
        self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="still")),
                         reply("e", True, "still"))
        self.assertEqual(len(self.error_lines(program, "refused to load module", 3)), 3)
        # the program's own information plug-in loads by its bare name whatever folders are listed
        info = "ravelink_info" if TARGET.windows else "libravelink_info.so"
        self.assertEqual(page.request(request(MsgId="l", Module=info)), LOAD_OK)
        sub = self.client("https://a.b.example.org")
        self.assertEqual(sub.request(request(MsgId="i", Method="echo")), not_loaded("i"))

    def test_policy_that_cannot_be_used_refuses_everything(self):
        if TARGET.windows:
            self.policy.write({"AllowedOrigins": [self.ALLOWED]})
            self.policy.reg_add("AllowedOrigin", "REG_SZ", self.ALLOWED)  # misspelt
        else:
            self.policy.write_json('{"AllowedOrigins": ["%s"],}' % self.ALLOWED)
        program = self.start()
        for origin in [self.ALLOWED, None]:
            with self.subTest(origin=origin):
                self.assertEqual(harness.handshake_status(TARGET.reply_timeout, origin), 403)
        self.assertEqual(len(self.error_lines(program, "refused a connection", 2)), 2)
        lines = self.error_lines(program, "ravelink: the policy")
        self.assertEqual(len(lines), 1, program.stderr.text())
        self.assertIn("cannot be used", lines[0])
        self.assertIn("refusing every connection and every module load", lines[0])

    def test_isolate_modules_isolates_loads_that_did_not_ask(self):
        folder, (inside, outside, link_out) = self.module_folders()
        self.policy.write({"IsolateModules": True, "AllowedModuleFolders": [folder]})
        program = self.start()
        page = self.client(None)
        self.assertEqual(page.request(request(MsgId="l", Module=inside)), LOAD_OK)
        hosts = host_pids(program)
        self.assertEqual(len(hosts), 1)
        # the folders are checked by the program before any host starts
        for name in [outside, link_out]:
            with self.subTest(module=name):
                self.assertEqual(page.request(request(MsgId="o", Module=name)),
                                 load_failed(5 if TARGET.windows else 13))
        self.assertEqual(page.request(request(MsgId="e", Method="echo", Param="in a host")),
                         reply("e", True, "in a host"))
        self.assertEqual(host_pids(program), hosts)

    def test_policy_others_could_have_written_refuses_everything(self):
        if TARGET.windows:
            self.skipTest("file ownership is a Linux matter; HKLM is writable by administrators only")
        # what makes the file unusable, and how the log line says so
        cases = [("mode", 0o664, "writable by its group (mode 0664)"),
                 ("mode", 0o666, "writable by every user (mode 0666)"),
                 ("owner", 1000, "is owned by user id 1000, not root"),
                 ("folder", None, "is not a regular file")]
        for kind, value, reason in cases:
            with self.subTest(kind=kind, value=value):
                self.policy.write({"AllowedOrigins": [self.ALLOWED],
                                   "AllowedModuleFolders": [TARGET.plugin_dir]})
                path = os.path.join(self.policy.folder, "policy.json")
                if kind == "mode":
                    os.chmod(path, value)
                elif kind == "owner":
                    if os.geteuid() != 0:
                        self.skipTest("giving a file away needs root")
                    os.chown(path, value, value)
                else:  # a policy that cannot be read at all is no less meant than a broken one
                    os.remove(path)
                    os.mkdir(path)
                program = self.start()
                try:
                    for origin in [self.ALLOWED, None]:
                        self.assertEqual(harness.handshake_status(TARGET.reply_timeout, origin),
                                         403)
                    lines = self.error_lines(program, "ravelink: the policy")
                    self.assertEqual(len(lines), 1, program.stderr.text())
                    self.assertIn(reason, lines[0])
                    self.assertIn("refusing every connection and every module load", lines[0])
                finally:
                    program.kill()
                    if kind == "folder":
                        os.rmdir(path)

    # Processes of other accounts. The program runs as root here, so the other account is nobody
    # (uid 65534); a child switches to it before connecting.
    OTHER_UID = 65534

    def require_other_user(self):
        if TARGET.windows:
            self.skipTest("Wine records no socket owners; see the owner-0 case")
        if os.geteuid() != 0:
            self.skipTest("needs root to connect as another user")

    def test_another_users_process_is_refused_by_default(self):
        self.require_other_user()
        program = self.start()
        mark = RECORDER.mark()
        load = request(MsgId="l", Module=TARGET.module("recorder_a"))
        for _ in range(3):
            self.assertEqual(harness.as_user(self.OTHER_UID, load, TARGET.reply_timeout),
                             (403, None))
        self.assertEqual(program.stdout.count(b"[connect]"), 0, "a refused handshake connected")
        # the same user is served, and the three refusals wrote one line
        page = self.client(None)
        self.assertEqual(page.request(load), LOAD_OK)
        self.assertEqual(RECORDER.since(mark), ["load recorder_a"])
        lines = self.error_lines(program, "refused a connection")
        self.assertEqual(len(lines), 1, program.stderr.text())
        # named by number at once: a name lookup may block, so it is made off the event loop
        self.assertIn("another user (uid %d" % self.OTHER_UID, lines[0])
        self.assertIn("AllowOtherUsers", lines[0])

    def test_allow_other_users_serves_them(self):
        self.require_other_user()
        self.policy.write({"AllowOtherUsers": True})
        program = self.start()
        mark = RECORDER.mark()
        load = request(MsgId="l", Module=TARGET.module("recorder_a"))
        self.assertEqual(harness.as_user(self.OTHER_UID, load, TARGET.reply_timeout),
                         (101, LOAD_OK))
        self.assertEqual(RECORDER.wait_since(mark, 2, TARGET.reply_timeout),
                         ["load recorder_a", "unload recorder_a"])
        self.assertEqual(len(self.error_lines(program, "AllowOtherUsers\" is true")), 1)
        self.assertNotIn(b"refused", program.stderr.text())

    def test_where_the_system_records_no_owners_all_are_served_with_one_line(self):
        if not TARGET.windows:
            self.skipTest("Linux always reports a socket's owner")
        program = self.start()
        pages = [self.client(None) for _ in range(2)]
        for page in pages:
            self.assertEqual(page.request(request(MsgId="n", Method="x")), not_loaded("n"))
        lines = self.error_lines(program, "owner check cannot be made")
        self.assertEqual(len(lines), 1, program.stderr.text())


def main():
    global TARGET, RECORDER, WORK_DIR
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kind", required=True, choices=["linux", "windows", "windows64"])
    parser.add_argument("--program", required=True)
    parser.add_argument("--plugins", required=True)
    parser.add_argument("--wine-run")
    parser.add_argument("--sanitized", action="store_true",
                        help="the program is built with AddressSanitizer")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("tests", nargs="*", help="test names (Class or Class.test) to run")
    options = parser.parse_args()
    if options.kind != "linux" and not options.wine_run:
        parser.error("--wine-run is needed for the Windows targets")
    if harness.port_accepts():
        print("%s:%d is already taken by another program; stop it before running these tests"
              % (HOST, PORT), file=sys.stderr)
        return 1
    TARGET = harness.Target(options.kind, options.program, options.plugins, options.wine_run,
                            options.sanitized)
    WORK_DIR = tempfile.mkdtemp(prefix="ravelink-e2e-")
    RECORDER = Recorder(os.path.join(WORK_DIR, "record.txt"))
    if TARGET.windows:
        # a policy left in the test prefix by an interrupted run would change every test
        harness.MachinePolicy(TARGET).remove()

    loader = unittest.defaultTestLoader
    module = sys.modules[__name__]
    if options.tests:
        suite = loader.loadTestsFromNames(options.tests, module)
    else:
        # the tests of the shared program first, then those that start programs of their own
        suite = unittest.TestSuite()
        for case in [SyntaxErrorTests, LoadTests, InvokeTests, IsolatedInvokeTests, IsolationTests,
                     ConnectionTests, TransportTests,
                     StopTests, LifecycleTests, AbuseTests, HostFaultTests, PolicyTests]:
            suite.addTests(loader.loadTestsFromTestCase(case))
    started = time.monotonic()
    try:
        result = unittest.TextTestRunner(verbosity=2 if options.verbose else 1).run(suite)
    finally:
        stop_shared_program()
        shutil.rmtree(WORK_DIR, ignore_errors=True)
    print("%s target: %d test cases run, %d skipped, in %.1f s"
          % (options.kind, result.testsRun, len(result.skipped), time.monotonic() - started))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
