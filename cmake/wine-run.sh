#!/bin/sh
# Runs a Windows program under Wine, silently, in the Wine prefix of the build tree it belongs to
# (build/windows/wineprefix unless WINEPREFIX is set).
here=$(cd "$(dirname "$0")/.." && pwd)
: "${WINEPREFIX:=$here/build/windows/wineprefix}"
export WINEPREFIX
export WINEDEBUG=-all
# No Mono or Gecko installer prompts: ravelink needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$WINEPREFIX"
exec wine "$@"
