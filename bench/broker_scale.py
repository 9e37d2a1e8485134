#!/usr/bin/env python3
"""One broker, many accounts: the scale run of bench/broker.sh (which starts the broker and says
where to run this).

Starts one copy of ravelink for each of --accounts uids from --first-uid (switched with setpriv; no
account needs to exist), waits until every copy is registered with the broker, and reads the
memory of the broker and of each idle copy. Then, for each account, a client process switched to
that uid opens --pages pages at once; each page loads the uid plug-in (tests/plugins/uid_plugin.c)
and asks it which account runs it, and must hear its own. With every page open, memory is read again. A page of an account
that has no copy must get 503. Prints the figures as Markdown rows; exits 1 when any page reached
the wrong account or none.
"""

import argparse
import asyncio
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import time

import websockets

URL = "ws://127.0.0.1:7321/"


def cpu_seconds(pid):
    """User and system time of a process so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid):
    """Resident and proportional set size of a process, in KiB."""
    values = {}
    with open("/proc/%d/smaps_rollup" % pid) as rollup:
        for line in rollup:
            name, _, rest = line.partition(":")
            if name in ("Rss", "Pss"):
                values[name] = int(rest.split()[0])
    return values["Rss"], values["Pss"]


async def pages_of(uid, count, plugin):
    """Opens `count` pages together, each loading the plug-in and asking whose copy serves it;
    returns the answers, and the open pages."""

    async def page(number):
        ws = await websockets.connect(URL, open_timeout=30, max_size=None)
        await ws.send(json.dumps({"MsgId": "load", "Module": plugin}))
        load = json.loads(await asyncio.wait_for(ws.recv(), 30))
        if not load.get("Result"):
            raise RuntimeError("uid %d page %d: load failed: %r" % (uid, number, load))
        await ws.send(json.dumps({"MsgId": "who", "Method": "uid"}))
        reply = json.loads(await asyncio.wait_for(ws.recv(), 30))
        return ws, reply.get("Response")

    results = await asyncio.gather(*(page(n) for n in range(count)))
    return [r[1] for r in results], [r[0] for r in results]


def client(uid, count, plugin, report, release):
    """In a child: becomes `uid`, opens its pages, reports the answers on `report` and keeps the
    pages open until `release` has something to read (or is closed)."""
    os.setgroups([])
    os.setresgid(uid, uid, uid)
    os.setresuid(uid, uid, uid)

    async def run():
        try:
            answers, sockets = await pages_of(uid, count, plugin)
        except Exception as error:  # reported to the parent, which fails the run
            os.write(report, (json.dumps({"uid": uid, "error": str(error)}) + "\n").encode())
            return
        os.write(report, (json.dumps({"uid": uid, "answers": answers}) + "\n").encode())
        await asyncio.get_running_loop().run_in_executor(None, os.read, release, 1)
        for ws in sockets:
            await ws.close()

    asyncio.run(run())
    os._exit(0)


async def status_of_page():
    """The HTTP status a page gets (as this process's account)."""
    try:
        async with websockets.connect(URL, open_timeout=10):
            return 101
    except websockets.exceptions.InvalidStatusCode as refused:
        return refused.status_code


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ravelink", required=True)
    parser.add_argument("--broker-pid", type=int, required=True)
    parser.add_argument("--broker-log", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--accounts", type=int, default=200)
    parser.add_argument("--pages", type=int, default=5)
    parser.add_argument("--first-uid", type=int, default=20000)
    args = parser.parse_args()
    uids = list(range(args.first_uid, args.first_uid + args.accounts))

    copies = {}
    failed = False
    children = []
    try:
        started = time.monotonic()
        for uid in uids:
            copies[uid] = subprocess.Popen(
                ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups", args.ravelink],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=open(os.path.join(args.work, "copy-%d.log" % uid), "w"))
        # Registered: each copy is connected to the broker's socket and none listens on the port.
        deadline = time.monotonic() + 120
        while True:
            gone = [uid for uid, copy in copies.items() if copy.poll() is not None]
            if gone:
                raise RuntimeError("copies ended: uids %s (see %s/copy-<uid>.log)" % (gone[:5], args.work))
            listeners = subprocess.run(["ss", "-Hltnp", "sport = :7321"], stdout=subprocess.PIPE,
                                       text=True).stdout
            # A copy's end of its channel: its one connected SOCK_SEQPACKET socket.
            channels = subprocess.run(["ss", "-Hxp"], stdout=subprocess.PIPE, text=True).stdout
            holders = set(re.findall(r"^u_seq\b.*?pid=(\d+),", channels, re.M))
            registered = sum(1 for uid in uids if str(copies[uid].pid) in holders)
            if registered == len(uids) and "pid=%d," % args.broker_pid in listeners:
                break
            if time.monotonic() > deadline:
                raise RuntimeError("only %d of %d copies registered after 120 s" % (registered, len(uids)))
            time.sleep(0.2)
        time.sleep(1)
        registering = time.monotonic() - started
        broker_idle = memory(args.broker_pid)
        copies_idle = [memory(copy.pid) for copy in copies.values()]

        # The pages: one client process per account, all started before any waits.
        answers = {}
        report_r, report_w = os.pipe()
        release_r, release_w = os.pipe()
        started = time.monotonic()
        broker_cpu = cpu_seconds(args.broker_pid)
        for uid in uids:
            child = os.fork()
            if child == 0:
                os.close(report_r)
                os.close(release_w)
                client(uid, args.pages, args.plugin, report_w, release_r)
            children.append(child)
        os.close(report_w)
        os.close(release_r)
        with os.fdopen(report_r) as reports:
            for _ in uids:
                line = reports.readline()
                if not line:
                    break
                entry = json.loads(line)
                answers[entry["uid"]] = entry.get("answers") or entry.get("error")
        opening = time.monotonic() - started
        broker_cpu = cpu_seconds(args.broker_pid) - broker_cpu
        wrong = {uid: got for uid, got in answers.items()
                 if got != [str(uid)] * args.pages}
        served = sum(1 for uid in uids if uid in answers and uid not in wrong) * args.pages
        broker_busy = memory(args.broker_pid)
        copies_busy = [memory(copy.pid) for copy in copies.values()]

        # A page of an account that has no copy.
        stranger = uids[-1] + 1
        pid = os.fork()
        if pid == 0:
            os.setresgid(stranger, stranger, stranger)
            os.setresuid(stranger, stranger, stranger)
            os._exit(0 if asyncio.run(status_of_page()) == 503 else 1)
        no_copy_503 = os.waitpid(pid, 0)[1] == 0

        os.close(release_w)
        for child in children:
            os.waitpid(child, 0)
        children = []

        log = open(args.broker_log, errors="replace").read()
        status_lines = sum(1 for uid in uids if re.search(r"\b%d\b" % uid, log))

        def row(what, values):
            rss = [v[0] for v in values]
            pss = [v[1] for v in values]
            return "| %s | %.0f | %.0f | %.0f–%.0f | %.0f–%.0f |" % (
                what, statistics.median(rss), statistics.median(pss), min(rss), max(rss), min(pss), max(pss))

        print("Accounts: %d, copies registered in %.1f s; pages: %d (%d per account), opened and answered in %.1f s"
              " (set by starting %d Python clients); the broker's CPU meanwhile: %.0f ms"
              % (len(uids), registering, len(uids) * args.pages, args.pages, opening, len(uids),
                 broker_cpu * 1000))
        print("Pages that reached their own account's copy: %d of %d%s"
              % (served, len(uids) * args.pages,
                 "" if not wrong else "; wrong or failed: %s" % dict(list(wrong.items())[:5])))
        print("Accounts named in the broker's log: %d of %d; a page of an account with no copy got 503: %s"
              % (status_lines, len(uids), "yes" if no_copy_503 else "NO"))
        print()
        print("| Process | RSS (KiB, median) | PSS (KiB, median) | RSS range | PSS range |")
        print("|---|---:|---:|---:|---:|")
        print(row("broker, %d copies registered, no page" % len(uids), [broker_idle]))
        print(row("broker, %d pages open" % (len(uids) * args.pages), [broker_busy]))
        print(row("each copy, registered and idle", copies_idle))
        print(row("each copy, %d pages holding the plug-in" % args.pages, copies_busy))
        failed = bool(wrong) or served != len(uids) * args.pages or not no_copy_503
    finally:
        for child in children:
            os.kill(child, signal.SIGKILL)
            os.waitpid(child, 0)
        for copy in copies.values():
            copy.terminate()
        for copy in copies.values():
            try:
                copy.wait(timeout=20)
            except subprocess.TimeoutExpired:
                copy.kill()
                copy.wait()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
