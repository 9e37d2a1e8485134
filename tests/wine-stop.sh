#!/bin/sh
# Ends every Wine process of the test prefix, so nothing outlives the test run.
: "${WINEPREFIX:?}"
export WINEPREFIX
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
exit 0
