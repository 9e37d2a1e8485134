#!/usr/bin/env python3
"""The Windows installer, installed and removed for real with msiexec under Wine, in a fresh Wine
prefix of this test's own:

  1. msiexec /i older.msi /qn exits 0; the files and the HKCU Run value are there; the entry in the
     installed-programs list shows the version and publisher; the program the install started answers
     on 127.0.0.1:7321 and its information plug-in loads by bare name;
  2. the program is killed; a plain `wineboot` (Wine's stand-in for a logon) starts it again from the
     Run value, with no output of its own: its log (the connection that asks it for its version) is in
     the user's ravelink\logs\ravelink.log; a second logon's copy exits, leaving its one line there;
  3. the release MSI is built again, signed with a certificate made for this run (openssl), and
     osslsigncode verifies the MSI and every program and library in it against that certificate;
     msiexec /i signed.msi /qn (a higher version) exits 0; afterwards exactly one copy runs, a new
     process, and the list holds only the new version;
     with --other-msi (the 64-bit tree: the 32-bit installer of the same version), that one replaces
     this one and this one replaces it again, one entry in the list each time; removing the
     replaced one then leaves the installed program running;
  4. msiexec /x release.msi /qn exits 0; the port is closed, no copy runs, and the Run value, the
     files, the folders, the program's own registry key and the list entry are gone.

Exit code 77 (skipped) when this host cannot run Windows programs of the installer's width."""

import argparse
import asyncio
import filecmp
import getpass
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import websockets

from checks import PORT, SKIP, Failure, check, port_accepts, wait_until

RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
OWN_KEY = r"HKCU\Software\ravelink"
UNINSTALL_KEYS = (
    r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall",
    r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
    r"HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall",
)
START_TIMEOUT = 120.0






async def ask_info():
    async with websockets.connect("ws://127.0.0.1:%d/" % PORT, open_timeout=30) as ws:
        await ws.send(json.dumps({"MsgId": "1", "Module": "ravelink_info"}))
        load = json.loads(await asyncio.wait_for(ws.recv(), 30))
        if not load["Result"]:
            raise Failure("the program did not load ravelink_info by bare name: %r" % load)
        await ws.send(json.dumps({"MsgId": "2", "Method": "version"}))
        reply = json.loads(await asyncio.wait_for(ws.recv(), 30))
        if not reply["Result"]:
            raise Failure("ravelink_info failed: %r" % reply)
        return json.loads(reply["Response"])


class WinePrefix:
    def __init__(self, loader, prefix, width):
        self.loader = loader
        self.prefix = prefix
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": prefix,
            "WINEARCH": "win32" if width == 32 else "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            "WINELOADER": loader,
        })
        local = os.path.join(prefix, "drive_c", "users", getpass.getuser(), "AppData", "Local")
        self.programs_dir = os.path.join(local, "Programs")
        self.log_file = os.path.join(local, "ravelink", "logs", "ravelink.log")
        self.install_dir = os.path.join(self.programs_dir, "ravelink")

    def run(self, *args, timeout=300):
        # Output goes through a file, not a pipe: a program that msiexec or wineboot starts inherits
        # the handle, and reading a pipe to its end would wait for that program to exit.
        with tempfile.TemporaryFile() as output:
            result = self.run_into(output, *args, timeout=timeout)
            output.seek(0)
            result.stdout = output.read().decode(errors="replace")
            return result

    def logon(self):
        """A plain `wineboot`, which starts what the Run values name; like a logon, it gives them no
        output anyone reads (Wine hands them the null device)."""
        with open(os.devnull, "wb") as nowhere:
            return self.run_into(nowhere, "wineboot")

    def run_into(self, output, *args, timeout=300):
        try:
            result = subprocess.run([self.loader] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=output, stderr=subprocess.STDOUT, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("wine %s did not end within %d s" % (" ".join(args), timeout))
        return result

    def reg_value(self, key, name):
        result = self.run("reg", "query", key, "/v", name)
        if result.returncode != 0:
            return None
        for line in result.stdout.splitlines():
            parts = line.split(None, 2)
            if len(parts) == 3 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[2].strip()
        return ""

    def key_exists(self, key):
        return self.run("reg", "query", key).returncode == 0

    def installed_entries(self):
        """(DisplayName, DisplayVersion, Publisher) of every installed-programs entry named ravelink."""
        entries = []
        for root in UNINSTALL_KEYS:
            result = self.run("reg", "query", root, "/s")
            if result.returncode != 0:
                continue
            current = {}
            for line in result.stdout.splitlines() + [""]:
                if line.startswith("HKEY_") or not line.strip():
                    if current.get("DisplayName") == "ravelink":
                        entries.append((current.get("DisplayName"), current.get("DisplayVersion"),
                                        current.get("Publisher")))
                    current = {}
                    continue
                parts = line.split(None, 2)
                if len(parts) == 3 and parts[1].startswith("REG_"):
                    current[parts[0]] = parts[2].strip()
        return entries

    def ravelink_pids(self):
        """Processes of this prefix whose command line names ravelink.exe."""
        pids = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
                with open("/proc/%s/environ" % entry, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if "ravelink.exe" in cmdline.lower() and \
                    ("WINEPREFIX=" + self.prefix).encode() in environ:
                pids.append(int(entry))
        return pids

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


LOADERS = {32: "/usr/lib/wine/wine", 64: "/usr/lib/wine/wine64"}


def loader_usable(width):
    """Whether this host runs Windows programs of `width` bits, and what the loader said."""
    try:
        probe = subprocess.run([LOADERS[width], "--version"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace")
        return probe.returncode == 0, probe.stdout.strip()
    except OSError as error:
        return False, str(error)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def msiexec(wine, action, msi):
    started = time.monotonic()
    result = wine.run("msiexec", action, windows_path(msi), "/qn")
    print("  msiexec %s %s /qn: exit %d after %.1f s" % (action, os.path.basename(msi),
                                                         result.returncode, time.monotonic() - started))
    check(result.returncode == 0, "msiexec %s exits 0 (output: %r)" % (action, result.stdout[-500:]))


def one_copy_answers(wine, version, not_pid=None, width=None):
    wait_until(port_accepts, START_TIMEOUT, "the program answers on 127.0.0.1:%d" % PORT)
    wait_until(lambda: len(wine.ravelink_pids()) == 1, 30, "exactly one copy runs")
    pid = wine.ravelink_pids()[0]
    if not_pid is not None:
        check(pid != not_pid, "the copy that runs is a new process (%d, before %d)" % (pid, not_pid))
    info = asyncio.run(ask_info())
    check(info.get("product") == "ravelink" and info.get("version") == version,
          "ravelink_info answers version %s: %r" % (version, info))
    if width is not None:
        check(info.get("width") == width, "the %d-bit program runs: %r" % (width, info))
    return pid


def installed_state(wine, version, publisher):
    for name in ("ravelink.exe", "ravelink_info.dll", "LICENSE.txt"):
        check(os.path.isfile(os.path.join(wine.install_dir, name)), name + " is in the user's Programs folder")
    run_value = wine.reg_value(RUN_KEY, "ravelink")
    check(run_value is not None and run_value.lower().endswith("\\programs\\ravelink\\ravelink.exe\""),
          "the Run value names the installed program: %r" % run_value)
    entries = wine.installed_entries()
    check(entries == [("ravelink", version, publisher)],
          "the installed-programs list holds ravelink %s by %s: %r" % (version, publisher, entries))


def signed_release(args, work):
    """The release MSI built again and signed with a certificate made here; every signature in it
    verified against that certificate, and its licence file checked. Returns the signed MSI."""
    def run(command, what):
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                errors="replace", stdin=subprocess.DEVNULL)
        check(result.returncode == 0, "%s (exit %d%s)" % (what, result.returncode,
                                                          "" if result.returncode == 0 else ": " + result.stdout))
        return result.stdout
    key, cert, p12, password = (os.path.join(work, n) for n in ("key.pem", "cert.pem", "cert.p12", "password"))
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
         "-days", "2", "-subj", "/CN=ravelink test signing", "-addext", "extendedKeyUsage=codeSigning"],
        "openssl makes a throw-away code signing certificate")
    with open(password, "w") as f:
        f.write("test-%d" % os.getpid())
    run(["openssl", "pkcs12", "-export", "-out", p12, "-inkey", key, "-in", cert,
         "-passout", "file:" + password], "openssl puts it into a .p12 file")
    signed = os.path.join(work, os.path.basename(args.msi))
    print(run([sys.executable, args.msi_script, "--args-file", args.msi_args, "--output", signed,
               "--sign-pkcs12", p12, "--sign-password-file", password],
              "the release MSI is built signed").strip())
    contents = os.path.join(work, "contents")
    run(["msiextract", "-C", contents, signed], "msiextract unpacks the signed MSI")
    shipped = [os.path.join(d, n) for d, _, names in os.walk(contents) for n in names]
    programs = [path for path in shipped if open(path, "rb").read(2) == b"MZ"]
    check({os.path.basename(p) for p in programs} >= {"ravelink.exe", "ravelink_info.dll"},
          "the MSI ships the program and the information plug-in: %r" % sorted(map(os.path.basename, programs)))
    for path in [signed] + programs:
        run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
            "osslsigncode verifies %s against the certificate" % os.path.basename(path))
    licence = [path for path in shipped if os.path.basename(path) == "LICENSE.txt"]
    check(len(licence) == 1 and filecmp.cmp(licence[0], args.license, shallow=False),
          "the MSI installs LICENSE.txt, the project's licence, beside the program")
    return signed


def read_log(wine):
    try:
        with open(wine.log_file, "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True, help="the release installer")
    parser.add_argument("--old-msi", required=True, help="the same program at a lower version")
    parser.add_argument("--version", required=True)
    parser.add_argument("--old-version", required=True)
    parser.add_argument("--publisher", required=True)
    parser.add_argument("--width", type=int, choices=(32, 64), required=True)
    parser.add_argument("--prefix", required=True, help="the Wine prefix to create (emptied first)")
    parser.add_argument("--msi-script", required=True, help="packaging/windows/msi.py")
    parser.add_argument("--msi-args", required=True, help="the tree's MSI definitions, for msi.py")
    parser.add_argument("--license", required=True, help="the project's LICENSE")
    parser.add_argument("--other-msi", help="the other width's installer of the same version")
    args = parser.parse_args()

    loader = LOADERS[args.width]
    usable, why = loader_usable(args.width)
    if not usable:
        print("SKIPPED: this host cannot run %d-bit Windows programs (%s: %s)" % (args.width, loader, why))
        return SKIP
    if args.other_msi and not os.path.isfile(args.other_msi):
        print("FAILED: %s is missing: build the other width's tree first (make build)" % args.other_msi)
        return 1
    if port_accepts():
        print("FAILED: 127.0.0.1:%d is already taken; run this test in a network namespace of its own" % PORT)
        return 1

    prefix = os.path.abspath(args.prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(prefix)
    work = prefix + "-signing"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wine = WinePrefix(loader, prefix, args.width)
    started = time.monotonic()
    try:
        print("signing", flush=True)
        signed_msi = signed_release(args, work)
        print("%d-bit Wine prefix %s" % (args.width, prefix), flush=True)
        check(wine.run("wineboot", "--init").returncode == 0, "wineboot --init makes the prefix")
        programs_existed = os.path.isdir(wine.programs_dir)

        print("install %s" % args.old_version, flush=True)
        msiexec(wine, "/i", args.old_msi)
        installed_state(wine, args.old_version, args.publisher)
        # The older installer carries the same binaries, so the program reports the release version.
        first_pid = one_copy_answers(wine, args.version)

        print("kill, then a logon (plain wineboot)", flush=True)
        os.kill(first_pid, signal.SIGKILL)
        wait_until(lambda: not port_accepts() and not wine.ravelink_pids(), 30,
                   "the killed program is gone and the port is closed")
        wine.logon()
        logon_pid = one_copy_answers(wine, args.version)
        wait_until(lambda: "[connect]" in read_log(wine), 30,
                   "the connection is in the user's log file " + wine.log_file)
        print("a second logon while the first copy runs", flush=True)
        wine.logon()
        refusal = "ravelink: not started: another copy already runs"
        wait_until(lambda: refusal in read_log(wine), 60, "the second copy's line is in the log file")
        log = read_log(wine)
        print("".join("    | " + line + "\n" for line in log.splitlines()[:12]), end="")
        check(log.count(refusal) == 1 and wine.ravelink_pids() == [logon_pid],
              "the second copy left one line and ended; the first one runs on")
        check("[frame_header]" not in log and all(line.startswith("[") for line in log.splitlines()),
              "the log file holds timestamped lines, none per frame")

        print("upgrade to %s, signed" % args.version, flush=True)
        msiexec(wine, "/i", signed_msi)
        installed_state(wine, args.version, args.publisher)
        one_copy_answers(wine, args.version, not_pid=logon_pid)

        if args.other_msi:
            other = 96 - args.width
            print("the %d-bit installer of the same version over this one, and back" % other, flush=True)
            msiexec(wine, "/i", args.other_msi)
            installed_state(wine, args.version, args.publisher)
            if loader_usable(other)[0]:
                one_copy_answers(wine, args.version, width=other)
            msiexec(wine, "/i", signed_msi)
            installed_state(wine, args.version, args.publisher)
            pid = one_copy_answers(wine, args.version, width=args.width)
            # The replaced installer is no longer installed: removing it is refused and takes
            # nothing away.
            result = wine.run("msiexec", "/x", windows_path(args.other_msi), "/qn")
            check(result.returncode != 0, "msiexec /x %s is refused: exit %d" % (
                os.path.basename(args.other_msi), result.returncode))
            installed_state(wine, args.version, args.publisher)
            check(wine.ravelink_pids() == [pid] and port_accepts(), "the %d-bit program still runs" % args.width)

        print("uninstall", flush=True)
        msiexec(wine, "/x", signed_msi)
        wait_until(lambda: not port_accepts() and not wine.ravelink_pids(), 30,
                   "the port is closed and no copy runs")
        check(wine.reg_value(RUN_KEY, "ravelink") is None, "the Run value is gone")
        check(not wine.key_exists(OWN_KEY), OWN_KEY + " is gone")
        check(not os.path.exists(wine.install_dir), "the program's folder is gone")
        check(os.path.isdir(wine.programs_dir) == programs_existed,
              "the Programs folder is as it was before the install")
        check(wine.installed_entries() == [], "the installed-programs list has no ravelink entry")
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    finally:
        wine.stop()
        shutil.rmtree(work, ignore_errors=True)
    print("PASSED (%d-bit) in %.0f s" % (args.width, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
