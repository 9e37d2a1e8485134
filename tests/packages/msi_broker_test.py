#!/usr/bin/env python3
"""The broker service's installer, in its tables (msiinfo): per-machine, it registers the service
"ravelink-broker" (its own process, the local system, automatic start), which its install starts and
its uninstall stops and removes; and the program's own (per-user) installer registers no service,
so nothing brokers unless an administrator installs the broker's.

Installing it under Wine is not part of this test: Wine's installer cannot open a service it has
just created (StartServices fails with 1060, and the install is rolled back)."""

import argparse
import subprocess
import sys

from checks import Failure, check


def table(msi, name):
    """The rows of one table of `msi` (msiinfo export), each a list of its columns; [] when the MSI
    has no such table."""
    result = subprocess.run(["msiinfo", "export", msi, name], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    if result.returncode != 0:
        return []
    return [line.split("\t") for line in result.stdout.splitlines()[3:]]


def check_tables(broker_msi, program_msi):
    properties = {row[0]: row[1] for row in table(broker_msi, "Property") if len(row) > 1}
    check(properties.get("ALLUSERS") == "1", "the broker's MSI installs per machine (ALLUSERS=1)")
    services = table(broker_msi, "ServiceInstall")
    check(len(services) == 1 and services[0][1] == "ravelink-broker",
          "it registers one service, ravelink-broker: %r" % services)
    service = services[0]
    check(service[3] == "16" and service[4] == "2" and service[8] == "",
          "its own process (16), started automatically (2), as the local system (no account): %r"
          % service[3:9])
    controls = table(broker_msi, "ServiceControl")
    check(len(controls) == 1 and controls[0][1] == "ravelink-broker", "one service control row")
    events = int(controls[0][2])
    check(events & 0x01 and events & 0x20 and events & 0x80,
          "the install starts it, the uninstall stops and removes it (events %#x)" % events)
    check(table(program_msi, "ServiceInstall") == [],
          "the program's own MSI registers no service: nothing brokers by default")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--broker-msi", required=True)
    parser.add_argument("--msi", required=True, help="the program's own installer")
    args = parser.parse_args()

    try:
        check_tables(args.broker_msi, args.msi)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    print("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
