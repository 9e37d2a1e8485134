#!/usr/bin/env bash
# Counts the instructions ravelink spends per request with valgrind's callgrind (repeatable on a
# shared machine, unlike times), next to the bare websocketpp echo server doing the same work.
# Needs build/linux/ravelink and build/bench (bench/run.sh builds it). Output: build/bench/profile/.
#   ravelink         5000 no-op invoke requests on one connection, logs to /dev/null
#   wspp             5000 echoes of the same size
#   ravelink_logged  as ravelink, with both logs going to a file (someone reads them)
#   ravelink_echo8m  3 echoes of an 8 MiB Param through the test echo plug-in
# Holds /tmp/ravelink.lock while ravelink runs (RAVELINK_LOCK_HELD=1 when the caller holds it).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
out=$build/profile
ravelink=$root/build/linux/ravelink
requests=5000
rm -rf "$out"
mkdir -p "$out"

if [[ -z ${RAVELINK_LOCK_HELD:-} ]]; then
    exec 9>>/tmp/ravelink.lock
    flock -w 1200 9
fi

wait_port() {
    for _ in $(seq 300); do
        ss -Hltn "sport = :$1" | grep -q . && return 0
        sleep 0.1
    done
    echo "profile: nothing listens on $1" >&2
    exit 1
}

# name, port, requests, log destination, server command...; then the load generator's arguments
# after "--". Counters start after a warm-up connection and stop when the measured run ends.
profile() {
    local name=$1 port=$2 count=$3 logto=$4
    shift 4
    local server=()
    while [[ $1 != -- ]]; do server+=("$1"); shift; done
    shift
    valgrind --tool=callgrind --callgrind-out-file="$out/$name.%p.cg" --log-file="$out/$name.valgrind.log" \
        "${server[@]}" >"$logto" 2>&1 &
    local pid=$!
    wait_port "$port"
    "$build/loadgen" --port "$port" "$@" --requests 20 >/dev/null
    callgrind_control -z "$pid" >/dev/null 2>&1
    "$build/loadgen" --port "$port" "$@" --requests "$count" >"$out/$name.loadgen"
    callgrind_control -d "$pid" >/dev/null 2>&1
    sleep 0.5
    kill "$pid"
    wait "$pid" || true
    local total
    total=$(awk '/^summary:/ { print $2 }' "$out"/"$name".*.cg.1)
    printf '%-16s %12s instructions, %10.0f per request\n' "$name" "$total" "$(awk -v t="$total" -v n="$count" 'BEGIN { print t / n }')"
    callgrind_annotate --threshold=100 --auto=no "$out"/"$name".*.cg.1 2>/dev/null |
        awk '/file:function/ { on = 1; getline; next } on && NF' | grep -v '(100.0%)\|(9[0-9]\.[0-9]%)' |
        head -12 | cut -c1-150 >"$out/$name.top" || true
    sed 's/^/    /' "$out/$name.top"
}

invoke=(--invoke --method noop --size 64 --load-module "$build/noop_plugin.so")
profile ravelink 7321 $requests /dev/null "$ravelink" -- "${invoke[@]}"
profile wspp 7331 $requests /dev/null "$build/wspp_echo" 7331 -- --size 64
profile ravelink_logged 7321 $requests "$out/ravelink.log" "$ravelink" -- "${invoke[@]}"
profile ravelink_echo8m 7321 3 /dev/null "$ravelink" -- \
    --invoke --method echo --size $((8 * 1024 * 1024)) --load-module "$root/build/linux/tests/plugins/echo_plugin.so"
echo "profile: callgrind files in ${out#"$root"/}"
