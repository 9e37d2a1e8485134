#!/usr/bin/python3
"""The plug-in SDK as an author meets it.

Installs the current build into a prefix under the build tree, then, for Linux and for 32-bit
Windows, configures and builds the example plug-ins as separate projects that find the installed
package, checks that each module exports exactly "Invoke", checks that a plug-in with a wrong
"Invoke" fails to build, and loads and calls the examples through a small driver that does what
the host does (the Windows one under Wine, in a prefix of this test's own).
"""

import argparse
import json
import os
import platform
import pwd
import re
import shutil
import socket
import subprocess
import sys

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message)
    return condition


def run(command, expect_ok=True, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if expect_ok and result.returncode != 0:
        sys.stdout.write(result.stdout.decode("utf-8", "replace"))
        raise SystemExit("command failed (%d): %s" % (result.returncode, " ".join(command)))
    return result


class Target:
    def __init__(self, name, args, module_suffix):
        self.name = name
        self.args = args
        self.module_suffix = module_suffix


def build(source, build_dir, target, expect_ok=True):
    shutil.rmtree(build_dir, ignore_errors=True)
    run(["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
         "-DCMAKE_C_FLAGS=-Werror", "-DCMAKE_CXX_FLAGS=-Werror"] + target.args)
    return run(["cmake", "--build", build_dir, "--parallel", "2"], expect_ok=expect_ok)


def elf_exports(module):
    out = run(["nm", "-D", "--defined-only", module]).stdout.decode()
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def pe_info(module):
    out = run(["i686-w64-mingw32-objdump", "-p", module]).stdout.decode()
    exports, in_table = [], False
    for line in out.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            match = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", line)
            if not match:
                in_table = False
                continue
            exports.append(match.group(1))
    imports = re.findall(r"DLL Name: (\S+)", out)
    return exports, imports, out


def invoke(command, requests, env=None):
    """Runs the driver with (method, param-bytes) requests; returns [(result, answer|None, heap)]."""
    stdin = b"".join(method.encode() + b"\t" + param + b"\n" for method, param in requests)
    proc = subprocess.run(command, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=180)
    if not check(proc.returncode == 0, "driver %s exited with %d: %s" % (
            command[-1], proc.returncode, proc.stderr.decode("utf-8", "replace"))):
        return []
    out, answers = proc.stdout, []
    while out:
        header, out = out.split(b"\n", 1)
        result, length, heap = header.decode().split()
        length = int(length)
        answer = None if length < 0 else out[:length]
        out = out[max(length, 0) + 1:]
        answers.append((int(result), answer, heap))
    check(len(answers) == len(requests),
          "driver answered %d of %d requests" % (len(answers), len(requests)))
    return answers


def check_hello(answers, where):
    expected = [
        (0, "hello, world"),
        (0, "hello, stranger"),
        (0, "hello, w\u00f6rld"),
        (2, "name too long: 65 bytes, at most 64"),
        (1, 'unknown method; this plug-in knows "hello"'),
    ]
    for index, ((result, answer, _), (want_result, want_text)) in enumerate(zip(answers, expected)):
        text = answer.decode("utf-8") if answer is not None else None
        check((result, text) == (want_result, want_text),
              "%s hello request %d: got %r, want %r" % (where, index, (result, text),
                                                       (want_result, want_text)))


HELLO_REQUESTS = [
    ("hello", b"world"),
    ("hello", b"{}"),
    ("hello", "w\u00f6rld".encode()),
    ("hello", b"x" * 65),
    ("bye", b"world"),
]

SYSINFO_REQUESTS = [
    ("info", b"{}"),
    ("info", b'{"fields":["user","os","user"]}'),
    ("info", b"nope"),
    ("info", b"[1]"),
    ("info", b'{"fields":"host"}'),
    ("info", b'{"fields":["cpu"]}'),
    ("info", b'{"fields":["\xff"]}'),
    ("info", b"[" * 1000000),
    ("uptime", b"{}"),
    ("info", b'{"fields":["host"],"other":1}'),
]


def check_sysinfo(answers, where, os_prefix, user_matches):
    parsed = []
    for index, (result, answer, _) in enumerate(answers):
        if not check(answer is not None, "%s sysinfo request %d gave no answer" % (where, index)):
            parsed.append((result, None))
            continue
        try:
            parsed.append((result, json.loads(answer.decode("utf-8"))))
        except ValueError as error:
            check(False, "%s sysinfo request %d: answer %r is not UTF-8 JSON (%s)" %
                  (where, index, answer, error))
            parsed.append((result, None))
    if len(parsed) != len(SYSINFO_REQUESTS):
        return

    result, info = parsed[0]
    check(result == 0 and isinstance(info, dict) and list(info) == ["host", "os", "user"],
          "%s info {}: got %r %r" % (where, result, info))
    if isinstance(info, dict) and list(info) == ["host", "os", "user"]:
        check(info["host"] == socket.gethostname(),
              "%s host %r, machine says %r" % (where, info["host"], socket.gethostname()))
        check(info["os"].startswith(os_prefix), "%s os %r does not start with %r" %
              (where, info["os"], os_prefix))
        check(user_matches(info["user"]), "%s user %r is not this user" % (where, info["user"]))

    everything = parsed[0][1] if isinstance(parsed[0][1], dict) else {}
    result, info = parsed[1]
    check(result == 0 and isinstance(info, dict) and list(info) == ["user", "os"]
          and info == {"user": everything.get("user"), "os": everything.get("os")},
          "%s fields user,os,user: got %r %r" % (where, result, info))

    bad = {2: "param is not valid JSON", 3: "must be a JSON object", 4: '"fields" must be',
           5: '"fields" may name only', 6: "param is not valid JSON", 7: "param is not valid JSON"}
    for index, fragment in bad.items():
        result, info = parsed[index]
        check(result == 2 and isinstance(info, dict) and fragment in info.get("error", ""),
              "%s bad param %d: got %r %r, want 2 and an error with %r" %
              (where, index, result, info, fragment))

    result, info = parsed[8]
    check(result == 1 and isinstance(info, dict) and "unknown method" in info.get("error", ""),
          "%s unknown method: got %r %r" % (where, result, info))
    result, info = parsed[9]
    check(result == 0 and isinstance(info, dict) and list(info) == ["host"],
          "%s other members ignored: got %r %r" % (where, result, info))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args()
    source, work = args.source_dir, args.work_dir

    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = os.path.join(work, "prefix")
    run(["cmake", "--install", args.build_dir, "--prefix", prefix])
    for path in ["bin/ravelink", "include/ravelink/ravelink_plugin.h",
                 "lib/cmake/ravelink/ravelinkConfig.cmake",
                 "lib/cmake/ravelink/ravelinkConfigVersion.cmake"]:
        check(os.path.isfile(os.path.join(prefix, path)), "not installed: " + path)

    package_dir = os.path.join(prefix, "lib", "cmake", "ravelink")
    targets = [
        Target("linux", ["-DCMAKE_PREFIX_PATH=" + prefix], ".so"),
        # The cross toolchain searches packages under its sysroot only; an author points at the
        # installed package directly.
        Target("windows", ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake",
                                                                      "mingw-i686.cmake"),
                           "-Dravelink_DIR=" + package_dir], ".dll"),
    ]

    modules = {}
    for target in targets:
        for name, project in [("hello", "examples/hello"), ("sysinfo", "examples/sysinfo"),
                              ("driver", "tests/sdk/driver")]:
            build_dir = os.path.join(work, target.name, name)
            build(os.path.join(source, project), build_dir, target)
            modules[(target.name, name)] = build_dir

        bad = build(os.path.join(source, "tests/sdk/bad_export"),
                    os.path.join(work, target.name, "bad_export"), target, expect_ok=False)
        output = " ".join(bad.stdout.decode("utf-8", "replace").split())  # CMake wraps lines
        wrong = "Invoke@12" if target.name == "windows" else "nothing"
        check(bad.returncode != 0 and 'must export exactly "Invoke" but exports:' in output
              and wrong in output,
              "%s: a plug-in exporting %s built without the export check failing" %
              (target.name, wrong))

        for name in ["hello", "sysinfo"]:
            module = os.path.join(modules[(target.name, name)], name + target.module_suffix)
            if not check(os.path.isfile(module), "%s: %s not built" % (target.name, module)):
                continue
            if target.name == "linux":
                exports = elf_exports(module)
                check(exports == ["Invoke"], "%s exports %r" % (module, exports))
            else:
                exports, imports, dump = pe_info(module)
                check(exports == ["Invoke"], "%s exports %r" % (module, exports))
                check("file format pei-i386" in dump, "%s is not a 32-bit x86 DLL" % module)
                mingw = [dll for dll in imports if dll.lower().startswith("lib")]
                check(not mingw, "%s needs MinGW DLLs beside it: %r" % (module, mingw))

    this_user = pwd.getpwuid(os.geteuid()).pw_name

    linux_driver = os.path.join(modules[("linux", "driver")], "invoke_driver")
    answers = invoke([linux_driver, os.path.join(modules[("linux", "hello")], "hello.so")],
                     HELLO_REQUESTS)
    check_hello(answers, "linux")
    answers = invoke([linux_driver, os.path.join(modules[("linux", "sysinfo")], "sysinfo.so")],
                     SYSINFO_REQUESTS)
    check_sysinfo(answers, "linux", "%s %s" % (platform.system(), platform.release()),
                  lambda user: user == this_user)

    # Wine: a prefix of this test's own, kept between runs (making one takes a while) and its
    # wineserver stopped at the end whatever happens.
    env = dict(os.environ, WINEPREFIX=os.path.join(os.path.dirname(work), "wineprefix"),
               WINEDEBUG="-all")
    wine = os.path.join(source, "cmake", "wine-run.sh")

    def windows_path(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    try:
        if not os.path.isfile(os.path.join(env["WINEPREFIX"], "system.reg")):
            run([wine, "wineboot", "--init"], env=env, timeout=240)
        windows_driver = os.path.join(modules[("windows", "driver")], "invoke_driver.exe")
        for name, requests in [("hello", HELLO_REQUESTS), ("sysinfo", SYSINFO_REQUESTS)]:
            module = os.path.join(modules[("windows", name)], name + ".dll")
            answers = invoke([wine, windows_driver, windows_path(module)], requests, env=env)
            for index, (_, answer, heap) in enumerate(answers):
                check(answer is None or heap == "process",
                      "windows %s request %d: answer block not from the process heap (%s)" %
                      (name, index, heap))
            if name == "hello":
                check_hello(answers, "windows")
            else:
                # Wine reports the Unix user; Windows compares user names without letter case.
                check_sysinfo(answers, "windows", "Windows ",
                              lambda user: user.lower() == this_user.lower())
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("sdk: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
