#!/bin/sh
# Can this host run 32-bit Windows programs? Prints "yes", or "no: <why>", and exits 0 either way.
# Some kernels cannot execute 32-bit programs at all (common in containers, some cloud and VM
# kernels, WSL1); there Wine's 32-bit loader fails with "Exec format error".
# RAVELINK_RUN_WIN32=yes|no overrides the probe, to try the other kind of host on this one.
case "${RAVELINK_RUN_WIN32:-}" in
    yes) echo yes; exit 0 ;;
    no) echo "no: RAVELINK_RUN_WIN32=no was set"; exit 0 ;;
    no:*) echo "$RAVELINK_RUN_WIN32"; exit 0 ;;
esac
loader=/usr/lib/wine/wine
if [ ! -x "$loader" ]; then
    echo "no: Wine's 32-bit loader $loader is not installed (package wine32:i386)"
    exit 0
fi
if output=$("$loader" --version 2>&1); then
    echo yes
else
    echo "no: this host's kernel cannot execute 32-bit programs ($loader --version: $(echo "$output" | tail -n 1))"
fi
