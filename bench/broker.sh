#!/usr/bin/env bash
# What the broker costs and how far it reaches: the rows of bench/results.md's broker section.
#
#  1. Handoff: connection set-up with the copy listening itself ("direct") against the same copy
#     registered with build/linux/ravelink-broker ("broker"), side by side in rounds that alternate
#     the two (the order turning every round), a fresh broker and copy each round. The benchmark's
#     load generator keeps 16 or 256 slots opening together, each connecting, hand-shaking and
#     closing over and over. Server CPU per connection: user + system time of the copy, plus the
#     broker's in the broker case, over the load generator's run, divided by its completed cycles.
#     Pinned as in bench/run.sh: broker and copy on CPU 0, the client on CPU 1, all at nice -10.
#  2. Scale: one broker, 200 accounts (uids 20000..20199, switched with setpriv, no accounts made)
#     each with a copy registered and 5 pages, every page asking the uid plug-in which account
#     served it (bench/broker_scale.py); the broker's memory and each copy's, idle and with its
#     pages open.
#
# Run as root in a private network and mount namespace with a tmpfs over /run, so that neither this
# machine's port 7321 nor its /run/ravelink is ever touched:
#   unshare -n -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /run && ip link set lo up &&
#                        bench/broker.sh'
# Environment: BROKER_ROUNDS (6), BROKER_PARTS ("handoff scale"), BROKER_QUICK=1 for a smoke run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
ravelink=$root/build/linux/ravelink
broker=$root/build/linux/ravelink-broker
rounds=${BROKER_ROUNDS:-6}
parts=${BROKER_PARTS:-handoff scale}
warm_s=1; run_s=3
if [[ ${BROKER_QUICK:-0} == 1 ]]; then rounds=1; warm_s=0.3; run_s=1; fi
log() { printf 'broker.sh: %s\n' "$*" >&2; }

[[ $(id -u) -eq 0 ]] || { log "run as root (it switches uids and starts the broker)"; exit 1; }
if [[ $(readlink /proc/self/ns/net) == "$(readlink /proc/1/ns/net)" ||
      $(readlink /proc/self/ns/mnt) == "$(readlink /proc/1/ns/mnt)" ]] ||
   ! findmnt -n -t tmpfs /run >/dev/null; then
    log "run inside a private network and mount namespace with a tmpfs over /run (see the top of this script)"
    exit 1
fi
for program in "$ravelink" "$broker"; do
    [[ -x $program ]] || { log "$program is missing: cmake --build --preset linux"; exit 1; }
done
if ss -Hltn "sport = :7321" | grep -q . || [[ -e /run/ravelink ]]; then
    log "127.0.0.1:7321 or /run/ravelink is in use already"
    exit 1
fi

cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
ulimit -n 16384
ticks=$(getconf CLK_TCK)
work=$build/broker
rm -rf "$work"
mkdir -p "$work"
samples=$work/handoff.tsv
: >"$samples"

pin_server=(nice -n -10 taskset -c 0)
pin_client=(nice -n -10 taskset -c 1)
pids=()
stop_all() {
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do
        for _ in $(seq 100); do kill -0 "$p" 2>/dev/null || break; sleep 0.05; done
        kill -9 "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    pids=()
    rm -rf /run/ravelink
}
trap stop_all EXIT

cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2" | head -1; }
# The process listening on the port, by id; empty when none.
listener() { ss -Hltnp "sport = :7321" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -1; }
# The status of a WebSocket handshake on the port: 101 once a page would be served.
handshake() {
    curl -s -m 1 -o /dev/null -w '%{http_code}' -H 'Connection: Upgrade' -H 'Upgrade: websocket' \
        -H 'Sec-WebSocket-Version: 13' -H 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==' \
        http://127.0.0.1:7321/ || true
}
broker_listens() { [[ $(listener) == "$broker_pid" ]]; }
served() { [[ $(handshake) == 101 ]]; }
wait_for() {  # wait_for SECONDS WHAT COMMAND..., the command run again on every try
    local seconds=$1 what=$2
    shift 2
    for _ in $(seq $((seconds * 20))); do "$@" && return 0; sleep 0.05; done
    log "timed out after $seconds s waiting until $what (listening: $(ss -Hltnp "sport = :7321"))"
    exit 1
}

# Starts the copy, and in the broker case the broker first; returns once pages are served, and
# through the broker only when the broker listens and the copy does not.
start() {
    if [[ $1 == broker ]]; then
        "${pin_server[@]}" "$broker" 2>>"$work/broker.log" &
        broker_pid=$!
        pids+=("$broker_pid")
        wait_for 10 "the broker listens" broker_listens
    fi
    "${pin_server[@]}" "$ravelink" >/dev/null 2>>"$work/copy.log" &
    copy_pid=$!
    pids+=("$copy_pid")
    wait_for 10 "pages are served" served
    if [[ $1 == broker ]]; then
        [[ $(listener) == "$broker_pid" ]] || { log "the copy listens instead of registering"; exit 1; }
    else
        [[ $(listener) == "$copy_pid" ]] || { log "the copy does not listen"; exit 1; }
    fi
}

handoff() {
    local conns r which before out after cpu_us
    for conns in 16 256; do
        for ((r = 0; r < rounds; r++)); do
            order=(direct broker)
            ((r % 2)) && order=(broker direct)
            for which in "${order[@]}"; do
                broker_pid=
                start "$which"
                before=$(( $(cpu_ticks "$copy_pid") + ${broker_pid:+$(cpu_ticks "$broker_pid")}+0 ))
                if ! out=$("${pin_client[@]}" "$build/loadgen" --port 7321 --connect --conns "$conns" \
                        --warmup "$warm_s" --duration "$run_s"); then
                    log "set-up, $which, $conns together failed: $out"
                    exit 1
                fi
                after=$(( $(cpu_ticks "$copy_pid") + ${broker_pid:+$(cpu_ticks "$broker_pid")}+0 ))
                cpu_us=$(awk -v d=$((after - before)) -v n="$(field cycles "$out")" -v hz="$ticks" \
                    'BEGIN { printf "%.1f", d / hz * 1e6 / n }')
                stop_all
                printf '%s\t%s\t%s\t%s\n' "$conns" "$which" "$(field cps "$out")" "$cpu_us" >>"$samples"
                log "set-up, $conns together, round $((r + 1))/$rounds, $which: $out cpu_us=$cpu_us"
            done
        done
    done
    median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
    column() { awk -F'\t' -v c="$1" -v t="$2" -v k="$3" '$1 == c && $2 == t { print $k }' "$samples"; }
    each() { column "$1" "$2" 3 | awk '{ printf "%s%.0f", sep, $1; sep = " " }'; }
    echo "| Opening together | direct (conn/s) | broker (conn/s) | broker / direct | direct CPU/conn (µs) | broker CPU/conn, broker + copy (µs) | difference (µs) | rounds direct (conn/s) | rounds broker (conn/s) |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---|---|"
    for conns in 16 256; do
        d=$(column "$conns" direct 3 | median); b=$(column "$conns" broker 3 | median)
        dc=$(column "$conns" direct 4 | median); bc=$(column "$conns" broker 4 | median)
        echo "| $conns | $(printf '%.0f' "$d") | $(printf '%.0f' "$b") | $(awk -v a="$b" -v b="$d" 'BEGIN { printf "%.3f", a / b }')" \
            "| $dc | $bc | $(awk -v a="$bc" -v b="$dc" 'BEGIN { printf "%+.1f", a - b }') | $(each "$conns" direct) | $(each "$conns" broker) |"
    done
    echo "(medians over $rounds rounds each; load average $(cut -d' ' -f1-3 /proc/loadavg) at the end)"
}

scale() {
    "$broker" 2>"$work/scale-broker.log" &
    broker_pid=$!
    pids+=("$broker_pid")
    wait_for 10 "the broker listens" broker_listens
    /usr/bin/python3 "$root/bench/broker_scale.py" --ravelink "$ravelink" --broker-pid "$broker_pid" \
        --broker-log "$work/scale-broker.log" --plugin "$build/uid_plugin.so" --work "$work"
    stop_all
}

for part in $parts; do
    log "$part"
    "$part"
done
