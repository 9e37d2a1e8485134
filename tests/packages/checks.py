"""What the installer tests share: the port, the skip code, and checks that print what they saw."""

import socket
import time

PORT = 7321
SKIP = 77  # the exit code ctest is told means "skipped"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("  ok: " + what, flush=True)


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise Failure("timed out after %.0f s waiting until %s" % (timeout, what))
        time.sleep(0.05)
    print("  ok: " + what, flush=True)


def port_accepts():
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=2):
            return True
    except OSError:
        return False
