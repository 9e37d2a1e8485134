#!/usr/bin/python3
"""The broker end to end under Wine, where Wine allows it: ravelink-broker.exe started by hand (not
as a service), then one copy of ravelink.exe, which registers with it instead of listening; a
page's connection to 127.0.0.1:7321, accepted by the broker, reaches the copy and is served there.
Wine reports no owner process for TCP connections, so the broker hands a connection over only
because exactly one copy is registered.

Usage: wine_broker_e2e.py --broker EXE --program EXE --wine-run cmake/wine-run.sh
Runs in the Wine prefix of the build tree (WINEPREFIX); the port must be free (ctest's lock)."""

import argparse
import asyncio
import json
import subprocess
import sys
import tempfile
import time

import websockets

REGISTERED_COPY = "ravelink-broker: registered the copy of "
REGISTERED = "ravelink: registered with the machine's broker"
TIMEOUT = 60.0


def wait_for(path, text, what):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if text in f.read():
                print("  ok: " + what, flush=True)
                return
        time.sleep(0.2)
    with open(path, errors="replace") as f:
        raise AssertionError("timed out waiting until %s; the log:\n%s" % (what, f.read()))


async def page():
    async with websockets.connect("ws://127.0.0.1:7321/", open_timeout=30) as ws:
        await ws.send(json.dumps({"MsgId": "1", "Module": "ravelink_info"}))
        load = json.loads(await asyncio.wait_for(ws.recv(), 30))
        await ws.send(json.dumps({"MsgId": "2", "Method": "version"}))
        reply = json.loads(await asyncio.wait_for(ws.recv(), 30))
        return load, reply


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--broker", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine-run", required=True)
    args = parser.parse_args()
    started = []
    with tempfile.NamedTemporaryFile("w+") as broker_log, tempfile.NamedTemporaryFile("w+") as copy_log:
        try:
            started.append(subprocess.Popen([args.wine_run, "--64", args.broker],
                                            stdout=broker_log, stderr=subprocess.STDOUT))
            wait_for(broker_log.name, "ravelink-broker: listening on 127.0.0.1:7321",
                     "the broker, started by hand, listens on the port")
            started.append(subprocess.Popen([args.wine_run, "--64", args.program],
                                            stdout=copy_log, stderr=subprocess.STDOUT))
            wait_for(copy_log.name, REGISTERED, "the copy registered instead of listening")
            wait_for(broker_log.name, REGISTERED_COPY, "the broker has one status line for it")
            load, reply = asyncio.run(page())
            assert load.get("Result") is True, "the page's module did not load: %r" % load
            info = json.loads(reply["Response"])
            assert info.get("product") == "ravelink", "not served by the copy: %r" % reply
            print("  ok: the page's connection reached the copy and was served: %r" % info)
            wait_for(copy_log.name, "[connect]", "the copy's log has the page's connection")
        except AssertionError as failure:
            print("FAILED: %s" % failure)
            return 1
        finally:
            for process in started:
                process.kill()  # the tree's wine-stop ends what they started
                process.wait()
    print("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
