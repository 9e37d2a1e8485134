#!/usr/bin/env python3
"""Stands in for systemd's journal, in a private mount namespace of its own (run it under
`unshare -m`): a tmpfs over /run, a stream socket listening at /run/systemd/journal/stdout as
journald's does, and the command started with its standard output and error connected to that
socket, as systemd connects a unit's. Everything the command writes there is copied to this
script's standard output; the exit code is the command's.

  journal_stub.py COMMAND [ARGS...]"""

import ctypes
import os
import signal
import socket
import subprocess
import sys

PATH = "/run/systemd/journal/stdout"


def die_with_parent():
    # The command must not outlive the test's kill of this script.
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def main():
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run"], check=True)
    os.makedirs(os.path.dirname(PATH))
    journal = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    journal.bind(PATH)
    journal.listen(1)
    unit_side = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    unit_side.connect(PATH)
    connection, _ = journal.accept()
    program = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, stdout=unit_side.fileno(),
                               stderr=unit_side.fileno(), preexec_fn=die_with_parent)
    unit_side.close()
    while True:
        data = connection.recv(65536)
        if not data:
            break
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    return program.wait()


if __name__ == "__main__":
    sys.exit(main())
