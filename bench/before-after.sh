#!/usr/bin/env bash
# Two builds of ravelink side by side: the program's CPU per request (its hosts' included) and
# throughput, for modules in-process and in a host process, in rounds that alternate the four
# combinations (the order turns every round), with the median of the rounds. For a change that must
# not cost the in-process path anything, where single runs on this machine scatter by ±10%.
#   unshare -n sh -c 'ip link set lo up && bench/before-after.sh BEFORE_RAVELINK [AFTER_RAVELINK]'
# AFTER_RAVELINK defaults to build/linux/ravelink. Environment: ROUNDS (8), CONNS (16), and
# PLACEMENT=pinned (the program and its hosts on CPU 0, the client on CPU 1: the benchmark's usual
# placement) or PLACEMENT=free (the client on CPU 1, the program and its hosts wherever the
# scheduler puts them, as on a user's machine).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
before=${1:?usage: bench/before-after.sh BEFORE_RAVELINK [AFTER_RAVELINK]}
after=${2:-$root/build/linux/ravelink}
rounds=${ROUNDS:-8}
conns=${CONNS:-16}
placement=${PLACEMENT:-pinned}
warm_s=1; tput_s=3; small=64
log() { printf '%s\n' "$*" >&2; }

cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
plugin=$build/noop_plugin.so
pin_client=(taskset -c 1)
case $placement in
    pinned) pin_server=(taskset -c 0) ;;
    free) pin_server=() ;;
    *) log "PLACEMENT is pinned or free"; exit 2 ;;
esac
ulimit -n 16384
ticks=$(getconf CLK_TCK)
samples=$build/before-after.tsv
: >"$samples"

server=
stop_server() {
    [[ -n $server ]] || return 0
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=
}
trap stop_server EXIT
start_server() {
    "${pin_server[@]}" "$1" >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 200); do ss -Hltn "sport = :7321" | grep -q . && return 0; sleep 0.05; done
    log "before-after: $1 did not listen"; exit 1
}
# The program's CPU, with that of its hosts once they have ended and been collected.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'; }
hosts_gone() { for _ in $(seq 200); do [[ -z $(pgrep -P "$server") ]] && return 0; sleep 0.05; done; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2" | head -1; }

combos=("before inproc" "after inproc" "before isolated" "after isolated")
for ((r = 0; r < rounds; r++)); do
    log "before-after: round $((r + 1))/$rounds ($placement)"
    order=("${combos[@]}")
    ((r % 2)) && order=("${combos[3]}" "${combos[2]}" "${combos[1]}" "${combos[0]}")
    for combo in "${order[@]}"; do
        read -r which kind <<<"$combo"
        program=$before; [[ $which == after ]] && program=$after
        start_server "$program"
        extra=(); [[ $kind == isolated ]] && extra=(--isolated)
        start=$(cpu_ticks "$server")
        out=$("${pin_client[@]}" "$build/loadgen" --port 7321 --invoke --method noop \
            --load-module "$plugin" "${extra[@]}" --size $small --conns "$conns" \
            --warmup $warm_s --duration $tput_s)
        hosts_gone
        used=$(($(cpu_ticks "$server") - start))
        printf '%s\t%s\t%s\t%s\n' "$which" "$kind" "$(field rps "$out")" \
            "$(awk -v d="$used" -v n="$(field replies "$out")" -v hz="$ticks" \
                'BEGIN { printf "%.3f", d / hz * 1e6 / n }')" >>"$samples"
        stop_server
    done
done

median() {
    awk -F'\t' -v w="$1" -v k="$2" -v c="$3" '$1 == w && $2 == k { print $c }' "$samples" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo "| Module | Figure ($conns conns, $placement, median of $rounds) | before | after | after / before |"
echo "|---|---|---:|---:|---:|"
for kind in inproc isolated; do
    for c in 3 4; do
        label="Throughput (req/s)"; [[ $c == 4 ]] && label="CPU per request incl. hosts (µs)"
        b=$(median before "$kind" $c); a=$(median after "$kind" $c)
        awk -v k="$kind" -v l="$label" -v b="$b" -v a="$a" \
            'BEGIN { printf "| %s | %s | %s | %s | %.3f |\n", k, l, b, a, a / b }'
    done
done
