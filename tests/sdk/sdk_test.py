#!/usr/bin/python3
"""The plug-in SDK as an author meets it.

Installs one build tree (Linux, 32-bit or 64-bit Windows) into a prefix under it, then configures
and builds the example plug-ins as separate projects that find the installed package, checks that
each module exports exactly "Invoke", that a plug-in with a wrong "Invoke" fails to build, and that
a plug-in for another program is refused at configure time, and loads and calls the examples through
a small driver that does what the host does (the Windows ones under Wine, in a prefix of this test's
own). Where the host cannot run the target's programs, everything but the loading is done and the
test reports itself skipped.
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
SKIPPED = 77  # the exit code ctest is told means "skipped"


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
    """The program a build tree makes, and how an author builds plug-ins for it."""

    def __init__(self, name, source):
        self.name = name
        self.windows = name != "linux"
        self.bits = 32 if name == "windows" else 64
        self.module_suffix = ".dll" if self.windows else ".so"
        self.program = "bin/ravelink.exe" if self.windows else "bin/ravelink"
        toolchains = {32: "mingw-i686.cmake", 64: "mingw-x86_64.cmake"}
        self.toolchain = os.path.join(source, "cmake", toolchains[self.bits])
        # A toolchain this package must refuse plug-ins from: the other Windows width, or Windows
        # for the Linux package.
        self.wrong_toolchain = os.path.join(source, "cmake", toolchains[96 - self.bits])
        self.objdump = "%s-w64-mingw32-objdump" % ("i686" if self.bits == 32 else "x86_64")
        self.pe_format = "pei-i386" if self.bits == 32 else "pei-x86-64"
        # What a mistaken Invoke exports: the __stdcall decoration exists in 32-bit code only.
        self.bad_export = "Invoke@12" if self.bits == 32 and self.windows else "nothing"

    def args(self, prefix):
        if not self.windows:
            return ["-DCMAKE_PREFIX_PATH=" + prefix]
        # The cross toolchain searches packages under its sysroot only; an author points at the
        # installed package directly.
        return ["-DCMAKE_TOOLCHAIN_FILE=" + self.toolchain,
                "-Dravelink_DIR=" + os.path.join(prefix, "lib", "cmake", "ravelink")]


def build(source, build_dir, target_args, expect_ok=True):
    shutil.rmtree(build_dir, ignore_errors=True)
    run(["cmake", "-S", source, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
         "-DCMAKE_C_FLAGS=-Werror", "-DCMAKE_CXX_FLAGS=-Werror"] + target_args)
    return run(["cmake", "--build", build_dir, "--parallel", "2"], expect_ok=expect_ok)


def elf_exports(module):
    out = run(["nm", "-D", "--defined-only", module]).stdout.decode()
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def pe_info(module, objdump):
    out = run([objdump, "-p", module]).stdout.decode()
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


def invoke(command, requests, env=None, cwd=None):
    """Runs the driver with (method, param-bytes) requests; returns [(result, answer|None, heap)]."""
    stdin = b"".join(method.encode() + b"\t" + param + b"\n" for method, param in requests)
    proc = subprocess.run(command, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, cwd=cwd, timeout=180)
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


def check_wrong_width_refused(source, work, target, prefix):
    """A plug-in the installed program could not load is refused when its build is configured."""
    build_dir = os.path.join(work, "wrong-width")
    shutil.rmtree(build_dir, ignore_errors=True)
    result = run(["cmake", "-S", os.path.join(source, "examples/hello"), "-B", build_dir,
                  "-DCMAKE_TOOLCHAIN_FILE=" + target.wrong_toolchain,
                  "-Dravelink_DIR=" + os.path.join(prefix, "lib", "cmake", "ravelink")],
                 expect_ok=False)
    output = " ".join(result.stdout.decode("utf-8", "replace").split())
    if target.windows:
        wanted = "A %d-bit plug-in needs the %d-bit program" % (96 - target.bits, 96 - target.bits)
    else:
        wanted = "A Windows plug-in needs the Windows program"
    check(result.returncode != 0 and wanted in output,
          "%s: a plug-in for the wrong program was configured without the clear refusal: %s"
          % (target.name, output[-600:]))


def check_dependencies_beside_the_plugin(source, work, target, prefix, driver):
    """A plug-in built with ravelink_add_plugin finds a library it ships in its own folder."""
    build_dir = os.path.join(work, "deps")
    build(os.path.join(source, "tests/sdk/deps"), build_dir, target.args(prefix))
    module = os.path.join(build_dir, "dep_plugin.so")
    answers = invoke([driver, module], [("greet", b"{}")], cwd="/")
    check([(result, answer) for result, answer, _ in answers] ==
          [(0, b"hello from the library beside the plug-in")],
          "linux: a plug-in's own library was not found beside it: %r" % answers)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", required=True, choices=["linux", "windows", "windows64"])
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--cannot-run", default="",
                        help="why this host cannot run the target's programs (build checks only)")
    args = parser.parse_args()
    source, work = args.source_dir, args.work_dir
    target = Target(args.target, source)

    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = os.path.join(work, "prefix")
    run(["cmake", "--install", args.build_dir, "--prefix", prefix])
    for path in [target.program, "include/ravelink/ravelink_plugin.h",
                 "lib/cmake/ravelink/ravelinkConfig.cmake",
                 "lib/cmake/ravelink/ravelinkConfigVersion.cmake"]:
        check(os.path.isfile(os.path.join(prefix, path)), "not installed: " + path)

    bound = target.args(prefix)
    modules = {}
    for name, project in [("hello", "examples/hello"), ("sysinfo", "examples/sysinfo"),
                          ("driver", "tests/sdk/driver")]:
        build_dir = os.path.join(work, name)
        build(os.path.join(source, project), build_dir, bound)
        modules[name] = build_dir

    bad = build(os.path.join(source, "tests/sdk/bad_export"), os.path.join(work, "bad_export"),
                bound, expect_ok=False)
    output = " ".join(bad.stdout.decode("utf-8", "replace").split())  # CMake wraps lines
    check(bad.returncode != 0 and 'must export exactly "Invoke" but exports:' in output
          and target.bad_export in output,
          "%s: a plug-in exporting %s built without the export check failing" %
          (target.name, target.bad_export))
    check_wrong_width_refused(source, work, target, prefix)

    for name in ["hello", "sysinfo"]:
        module = os.path.join(modules[name], name + target.module_suffix)
        if not check(os.path.isfile(module), "%s: %s not built" % (target.name, module)):
            continue
        if not target.windows:
            exports = elf_exports(module)
            check(exports == ["Invoke"], "%s exports %r" % (module, exports))
        else:
            exports, imports, dump = pe_info(module, target.objdump)
            check(exports == ["Invoke"], "%s exports %r" % (module, exports))
            check("file format " + target.pe_format in dump,
                  "%s is not a %d-bit DLL" % (module, target.bits))
            mingw = [dll for dll in imports if dll.lower().startswith("lib")]
            check(not mingw, "%s needs MinGW DLLs beside it: %r" % (module, mingw))

    this_user = pwd.getpwuid(os.geteuid()).pw_name
    if not target.windows:
        driver = os.path.join(modules["driver"], "invoke_driver")
        check_hello(invoke([driver, os.path.join(modules["hello"], "hello.so")], HELLO_REQUESTS),
                    "linux")
        answers = invoke([driver, os.path.join(modules["sysinfo"], "sysinfo.so")],
                         SYSINFO_REQUESTS)
        check_sysinfo(answers, "linux", "%s %s" % (platform.system(), platform.release()),
                      lambda user: user == this_user)
        check_dependencies_beside_the_plugin(source, work, target, prefix, driver)
    elif args.cannot_run:
        print("%s: plug-ins built and checked; loading them is skipped: %s"
              % (target.name, args.cannot_run))
    else:
        # Wine: a prefix of this test's own, kept between runs (making one takes a while) and its
        # wineserver stopped at the end whatever happens.
        env = dict(os.environ, WINEPREFIX=os.path.join(os.path.dirname(work), "wineprefix"),
                   WINEDEBUG="-all")
        wine = [os.path.join(source, "cmake", "wine-run.sh")] + (["--64"] if target.bits == 64
                                                                  else [])

        def windows_path(path):
            return "Z:" + os.path.abspath(path).replace("/", "\\")

        try:
            if not os.path.isfile(os.path.join(env["WINEPREFIX"], "system.reg")):
                run(wine + ["wineboot", "--init"], env=env, timeout=240)
            driver = os.path.join(modules["driver"], "invoke_driver.exe")
            for name, requests in [("hello", HELLO_REQUESTS), ("sysinfo", SYSINFO_REQUESTS)]:
                module = os.path.join(modules[name], name + ".dll")
                answers = invoke(wine + [driver, windows_path(module)], requests, env=env)
                for index, (_, answer, heap) in enumerate(answers):
                    check(answer is None or heap == "process",
                          "%s %s request %d: answer block not from the process heap (%s)" %
                          (target.name, name, index, heap))
                if name == "hello":
                    check_hello(answers, target.name)
                else:
                    # Wine reports the Unix user; Windows compares user names without letter case.
                    check_sysinfo(answers, target.name, "Windows ",
                                  lambda user: user.lower() == this_user.lower())
        finally:
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    if args.cannot_run:
        return SKIPPED
    print("sdk: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
