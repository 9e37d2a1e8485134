#!/usr/bin/python3
"""The closing lines of `make test`: per build tree, how many ctest entries passed, failed and were
skipped, and why each skipped one was skipped, read from the JUnit files that ctest wrote.

Usage: test-summary.py BUILD_DIR"""

import os
import sys
import xml.etree.ElementTree as ElementTree

TREES = [
    ("sanitize", "Linux, unit and e2e under AddressSanitizer/UBSan"),
    ("linux", "Linux"),
    ("windows", "32-bit Windows, under Wine"),
    ("windows64", "64-bit Windows, under wine64"),
]


def outcome(case):
    status = case.get("status", "")
    if case.find("failure") is not None or status == "fail":
        return "failed"
    if case.find("skipped") is not None or status in ("notrun", "disabled"):
        return "skipped"
    return "passed"


def skip_reason(case):
    text = case.findtext("system-out") or ""
    for line in text.splitlines():
        if line.startswith("skipped: "):
            return line[len("skipped: "):]
    for line in reversed(text.splitlines()):
        if "skipped" in line:
            return line.strip()
    skipped = case.find("skipped")
    return (skipped.get("message") if skipped is not None else "") or "no reason given"


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    totals = {"passed": 0, "failed": 0, "skipped": 0}
    print("\nTest summary (ctest entries per build tree):")
    for tree, title in TREES:
        path = os.path.join(build, tree, "ctest-junit.xml")
        if not os.path.isfile(path):
            print("  %-10s %s: did not run (no results; see above)" % (tree, title))
            totals["failed"] += 1
            continue
        counts = {"passed": 0, "failed": 0, "skipped": 0}
        skipped = []
        for case in ElementTree.parse(path).getroot().iter("testcase"):
            kind = outcome(case)
            counts[kind] += 1
            if kind == "skipped":
                skipped.append((case.get("name"), skip_reason(case)))
        for kind in totals:
            totals[kind] += counts[kind]
        print("  %-10s %s: %d passed, %d failed, %d skipped"
              % (tree, title, counts["passed"], counts["failed"], counts["skipped"]))
        for name, reason in skipped:
            print("             skipped %s: %s" % (name, reason))
    print("%d passed, %d failed, %d skipped" % (totals["passed"], totals["failed"],
                                                totals["skipped"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
