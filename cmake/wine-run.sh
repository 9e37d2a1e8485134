#!/bin/sh
# Runs a Windows program under Wine, silently, in the Wine prefix of the build tree it belongs to.
#   wine-run.sh [--64] program [args...]
# Without --64 the program is 32-bit and runs under Wine's 32-bit loader in build/windows/wineprefix;
# with --64 it is 64-bit and runs under wine64 in build/windows64/wineprefix. WINEPREFIX, when set,
# names the prefix instead. The loaders are named directly: Debian's `wine` picks the 32-bit loader
# whenever it is installed, even on a kernel that cannot execute it.
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--64" ]; then
    shift
    loader=/usr/lib/wine/wine64
    : "${WINEPREFIX:=$here/build/windows64/wineprefix}"
else
    loader=/usr/lib/wine/wine
    : "${WINEPREFIX:=$here/build/windows/wineprefix}"
fi
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: ravelink needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$WINEPREFIX"
exec "$loader" "$@"
