#!/bin/sh
# Ends every Wine process of the test prefixes, so nothing outlives the test run.
#   wine-stop.sh [DIR]
# DIR: every prefix under it (a build tree holds several: its own, the SDK test's, the installer
# tests'); without it, the prefix $WINEPREFIX. Each prefix's wineserver is asked to end its
# processes first. A Wine process whose wineserver is already gone cannot be asked, so whatever Wine
# process still runs for one of these prefixes is then killed outright.
dir=${1:-${WINEPREFIX:?}}
for prefix in "$dir" $(find "$dir" -maxdepth 5 -name system.reg -printf '%h\n' 2>/dev/null); do
    [ -d "$prefix" ] || continue
    WINEPREFIX=$prefix timeout 30 wineserver -k 2>/dev/null
    WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null
done
for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in
        */wine*) ;;
        *) continue ;;
    esac
    prefix=$(tr '\0' '\n' <"$environ" 2>/dev/null | sed -n 's/^WINEPREFIX=//p')
    case $prefix in
        "$dir" | "$dir"/*) kill -9 "$pid" 2>/dev/null ;;
    esac
done
exit 0
