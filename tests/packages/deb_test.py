#!/usr/bin/env python3
"""The Linux package, checked and installed for real, never into this machine's own system:

  1. lintian finds no error in it;
  2. dpkg -i installs it into a throwaway Debian 12 root (an overlay on a cached debootstrap root,
     inside a private mount namespace, so the cache stays pristine); the user unit is enabled for
     every user and `systemd-analyze verify` accepts it; an upgrade keeps an administrator's
     `systemctl --global disable`, a removal and reinstall keep the enablement; the broker's system
     unit is there, accepted and not enabled, and a removal disables it once an administrator has
     enabled it;
  3. the installed program runs in that root and answers on 127.0.0.1:7321: the information plug-in
     loads by its bare name, also under a folder policy, and a plug-in built against the installed
     SDK (find_package(ravelink) from the root's /usr) loads and answers; its copyright file gives
     the project's MIT licence in Debian's machine-readable format; the installed broker, started
     by hand, takes the port and the installed program serves a page through it;
  4. dpkg --purge exits 0 and leaves the root exactly as it was before the install.

Exit code 77 (skipped) when not run as root."""

import argparse
import asyncio
import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import websockets

from checks import PORT, SKIP, Failure, check, port_accepts, wait_until

# What dpkg itself keeps about installs and removals; everything else must be as before.
BOOKKEEPING = ("/var/lib/dpkg", "/var/log", "/var/cache", "/tmp", "/proc", "/run", "/dev")
ENABLE_LINK = "/etc/systemd/user/default.target.wants/ravelink.service"
UNIT = "/usr/lib/systemd/user/ravelink.service"
BROKER_UNIT = "/usr/lib/systemd/system/ravelink-broker.service"
BROKER_LINK = "/etc/systemd/system/multi-user.target.wants/ravelink-broker.service"
POLICY = "/etc/ravelink/policy.json"




def run(command, what, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", stdin=subprocess.DEVNULL, **kwargs)
    if result.returncode != 0:
        raise Failure("%s: exit %d\n%s" % (what, result.returncode, result.stdout))
    print("  ok: " + what, flush=True)
    return result.stdout




async def call(module, method, param=None, isolated=False):
    """Loads `module` on a connection of its own (in a host process of its own when `isolated`)
    and calls `method`; returns the reply's Response."""
    async with websockets.connect("ws://127.0.0.1:%d/" % PORT, open_timeout=15) as ws:
        await ws.send(json.dumps({"MsgId": "1", "Module": module, "Isolated": isolated}))
        load = json.loads(await asyncio.wait_for(ws.recv(), 15))
        if not load["Result"]:
            raise Failure("the installed program did not load %s: %r" % (module, load))
        request = {"MsgId": "2", "Method": method}
        if param is not None:
            request["Param"] = param
        await ws.send(json.dumps(request))
        reply = json.loads(await asyncio.wait_for(ws.recv(), 15))
        if not reply["Result"]:
            raise Failure("%s %s failed: %r" % (module, method, reply))
        return reply["Response"]


def license_words(path):
    """The words of a licence from its permission notice on, a Debian copyright file's folding
    undone."""
    text = open(path).read().replace("\n .\n", "\n")
    return text[text.find("Permission is hereby granted"):].split()


def serves():
    """Whether a page is served on the port (a broker answers 503 while no copy is registered)."""
    try:
        return json.loads(asyncio.run(call("libravelink_info.so", "version")))["product"] == "ravelink"
    except (OSError, Failure, websockets.exceptions.InvalidHandshake):
        return False


@contextlib.contextmanager
def installed_program(root, through_broker=False):
    """The installed program, running in the root until the block ends."""
    program = subprocess.Popen(["chroot", root, "/usr/bin/ravelink"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if through_broker:
            wait_until(serves, 20, "the installed program serves a page through the broker")
        else:
            wait_until(port_accepts, 20, "the installed program answers on 127.0.0.1:%d" % PORT)
        yield
    finally:
        program.send_signal(signal.SIGTERM)
        program.wait(timeout=30)
    if not through_broker:
        wait_until(lambda: not port_accepts(), 20, "the program has ended")


def snapshot(root):
    """Every path of the root outside dpkg's bookkeeping, with its kind and link target."""
    entries = set()
    for directory, dirs, files in os.walk(root):
        relative = "/" + os.path.relpath(directory, root) if directory != root else "/"
        dirs[:] = [d for d in dirs
                   if not any((os.path.join(relative, d)).startswith(b) for b in BOOKKEEPING)]
        for name in dirs + files:
            path = os.path.join(directory, name)
            kind = "l:" + os.readlink(path) if os.path.islink(path) else ("d" if os.path.isdir(path) else "f")
            entries.add((os.path.join(relative, name), kind))
    return entries


def in_namespace(args):
    work = os.path.abspath(args.work)
    upper, scratch, root = (os.path.join(work, n) for n in ("upper", "overlay-work", "root"))
    for directory in (upper, scratch, root):
        os.makedirs(directory)
    run(["mount", "-t", "overlay", "overlay", "-o",
         "lowerdir=%s,upperdir=%s,workdir=%s" % (os.path.abspath(args.root), upper, scratch), root],
        "a throwaway Debian 12 root over the cached one")

    before = snapshot(root)
    shutil.copy(args.deb, os.path.join(root, "tmp", "ravelink.deb"))
    run(["chroot", root, "dpkg", "-i", "/tmp/ravelink.deb"], "dpkg -i installs the package")
    for path in ("/usr/bin/ravelink", "/usr/bin/ravelink-host", "/usr/bin/ravelink-broker",
                 "/usr/lib/libravelink_info.so", UNIT, BROKER_UNIT,
                 "/usr/include/ravelink/ravelink_plugin.h", "/usr/lib/cmake/ravelink/ravelinkConfig.cmake"):
        check(os.path.isfile(root + path), path + " is installed")
    copyright = root + "/usr/share/doc/ravelink/copyright"
    check(open(copyright).read().startswith(
              "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
          and "\nCopyright: 2026 The ravelink developers\nLicense: Expat\n" in open(copyright).read()
          and license_words(copyright) == license_words(args.license),
          copyright + " gives the project's licence (Expat, that is MIT) in the machine-readable format")
    link = root + ENABLE_LINK
    check(os.path.islink(link) and os.readlink(link) == UNIT,
          "the user unit is enabled for every user (%s)" % ENABLE_LINK)
    output = run(["chroot", root, "systemd-analyze", "verify", UNIT], "systemd-analyze verify accepts the unit")
    check(output.strip() == "", "systemd-analyze verify has no remarks: %r" % output)
    unit = open(root + UNIT).read()
    check("RestartPreventExitStatus=1 2\n" in unit,
          "the unit is not restarted after exit 1 (another copy) or 2 (port taken)")
    output = run(["chroot", root, "systemd-analyze", "verify", BROKER_UNIT],
                 "systemd-analyze verify accepts the broker's unit")
    check(output.strip() == "", "systemd-analyze verify has no remarks on the broker's unit: %r" % output)
    state = subprocess.run(["chroot", root, "systemctl", "is-enabled", "ravelink-broker.service"],
                           stdout=subprocess.PIPE, text=True).stdout.strip()
    check(state == "disabled" and not os.path.lexists(root + BROKER_LINK),
          "the broker's unit is installed disabled (%s)" % state)

    # The administrator's choice outlives an upgrade; a removal and a reinstall keep the enablement.
    run(["chroot", root, "systemctl", "--global", "disable", "ravelink.service"], "an administrator disables the unit")
    run(["chroot", root, "dpkg", "-i", "/tmp/ravelink.deb"], "dpkg -i upgrades the package")
    check(not os.path.lexists(link), "the upgrade keeps the unit disabled")
    run(["chroot", root, "systemctl", "--global", "enable", "ravelink.service"], "the administrator enables it again")
    run(["chroot", root, "systemctl", "enable", "ravelink-broker.service"], "the administrator enables the broker")
    check(os.path.islink(root + BROKER_LINK), "the broker is enabled (%s)" % BROKER_LINK)
    run(["chroot", root, "dpkg", "-r", "ravelink"], "dpkg -r removes the package")
    check(not os.path.lexists(link), "the removal disables the unit")
    check(not os.path.lexists(root + BROKER_LINK), "the removal disables the broker")
    run(["chroot", root, "dpkg", "-i", "/tmp/ravelink.deb"], "dpkg -i installs it again")
    check(os.path.islink(link), "the reinstall enables the unit as it was before the removal")

    # A plug-in built on this machine against the SDK inside the root, as an author would.
    build = os.path.join(work, "hello-build")
    run(["cmake", "-S", args.example, "-B", build, "-DCMAKE_PREFIX_PATH=" + root + "/usr"],
        "find_package(ravelink) finds the installed SDK")
    cache = open(os.path.join(build, "CMakeCache.txt")).read()
    check("ravelink_DIR:PATH=%s/usr/lib/cmake/ravelink" % root in cache, "the SDK used is the installed one")
    run(["cmake", "--build", build], "the plug-in builds against it")
    shutil.copy(os.path.join(build, "hello.so"), os.path.join(root, "tmp", "hello.so"))

    expected_info = {"product": "ravelink", "version": args.version, "platform": "linux",
                     "width": 64 if sys.maxsize > 2**32 else 32}
    with installed_program(root):
        info = json.loads(asyncio.run(call("libravelink_info.so", "version")))
        check(info == expected_info, "libravelink_info.so loads by bare name and reports %r" % info)
        answer = asyncio.run(call("/tmp/hello.so", "hello", "deb"))
        check(answer == "hello, deb", "the plug-in built against the installed SDK answers %r" % answer)
        answer = asyncio.run(call("/tmp/hello.so", "hello", "host", isolated=True))
        check(answer == "hello, host", "the same plug-in in a host process answers %r" % answer)

    # Under a folder policy that lists none of the package's folders, the information plug-in is
    # still found by its bare name, and other modules are refused.
    os.makedirs(root + "/etc/ravelink")
    with open(root + POLICY, "w") as policy:
        json.dump({"AllowedModuleFolders": ["/opt/ravelink/modules"]}, policy)
    with installed_program(root):
        info = json.loads(asyncio.run(call("libravelink_info.so", "version")))
        check(info == expected_info, "under a folder policy libravelink_info.so loads by bare name: %r" % info)
        try:
            asyncio.run(call("/tmp/hello.so", "hello", "deb"))
            raise Failure("the policy did not refuse /tmp/hello.so")
        except Failure as refused:
            check("Error code: 13" in str(refused), "the policy refuses modules elsewhere: %s" % refused)
    shutil.rmtree(root + "/etc/ravelink")

    # The installed broker, started by hand as root, makes its folder and takes the port; the
    # installed program registers with it instead of listening, and a page reaches it through it.
    broker = subprocess.Popen(["chroot", root, "/usr/bin/ravelink-broker"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        wait_until(port_accepts, 20, "the installed broker listens on 127.0.0.1:%d" % PORT)
        with installed_program(root, through_broker=True):
            holder = subprocess.run(["ss", "-Hltnp", "sport = :%d" % PORT], stdout=subprocess.PIPE,
                                    text=True).stdout
            check("pid=%d," % broker.pid in holder, "the broker, not the program, holds the port: %r" % holder)
    finally:
        broker.send_signal(signal.SIGTERM)
        log = broker.communicate(timeout=30)[1]
    print("".join("    broker: " + line + "\n" for line in log.splitlines()), end="")
    wait_until(lambda: not port_accepts(), 20, "the broker has ended")

    os.remove(os.path.join(root, "tmp", "hello.so"))
    run(["chroot", root, "dpkg", "--purge", "ravelink"], "dpkg --purge removes the package")
    os.remove(os.path.join(root, "tmp", "ravelink.deb"))
    after = snapshot(root)
    check(after == before, "nothing is left: added %r, missing %r" % (sorted(after - before), sorted(before - after)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--root", required=True, help="the cached Debian root (made when missing)")
    parser.add_argument("--root-script", required=True, help="debian-root.sh")
    parser.add_argument("--example", required=True, help="source folder of a plug-in using the SDK")
    parser.add_argument("--work", required=True, help="scratch folder (emptied first)")
    parser.add_argument("--license", required=True, help="the project's LICENSE")
    parser.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.in_namespace:
        try:
            in_namespace(args)
        except Failure as failure:
            print("FAILED: %s" % failure)
            return 1
        return 0

    started = time.monotonic()
    if os.geteuid() != 0:
        print("SKIPPED: installing into a throwaway root needs root (chroot, mount); run the tests as root")
        return SKIP
    if port_accepts():
        print("FAILED: 127.0.0.1:%d is already taken; run this test in a network namespace of its own" % PORT)
        return 1
    try:
        print("lintian", flush=True)
        tags = run(["lintian", "--fail-on", "error", args.deb], "lintian reports no error")
        print("".join("    " + line + "\n" for line in tags.splitlines() if line[:2] in ("E:", "W:")), end="")
        print("Debian root", flush=True)
        run([args.root_script, os.path.abspath(args.root)], "the cached Debian 12 root is there")
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    # A mount namespace of its own: the overlay vanishes with it, whatever happens.
    status = subprocess.call(["unshare", "-m", "--propagation", "private", sys.executable,
                              os.path.abspath(__file__), "--in-namespace"] + sys.argv[1:])
    shutil.rmtree(args.work, ignore_errors=True)
    if status == 0:
        print("PASSED in %.0f s" % (time.monotonic() - started))
    return status


if __name__ == "__main__":
    sys.exit(main())
