#!/usr/bin/env bash
# Modules in a host process of their own next to modules loaded into the program: the rows of
# bench/results.md's "Isolated modules" section. The same machinery as bench/run.sh (its load
# generator, CPU pinning, medians over rounds that alternate the two kinds), against one
# build/linux/ravelink and the no-op plug-in. Prints the table; run it as root in a private network
# namespace so that nobody else's program holds the port:
#   unshare -n sh -c 'ip link set lo up && bench/isolation.sh'
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
ravelink=$root/build/linux/ravelink
rounds=${ISOLATION_ROUNDS:-3}
lat_s=2; tput_s=3; warm_s=1; small=64; mem_conns=100; loads=30
log() { printf '%s\n' "$*" >&2; }

cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
pin_server=(taskset -c 0); pin_client=(taskset -c 1)
ulimit -n 16384
ticks=$(getconf CLK_TCK)
samples=$build/isolation.tsv
: >"$samples"

"${pin_server[@]}" "$ravelink" >/dev/null 2>&1 &
server=$!
trap 'kill $server 2>/dev/null || true; wait 2>/dev/null || true' EXIT
for _ in $(seq 200); do ss -Hltn "sport = :7321" | grep -q . && break; sleep 0.05; done

plugin=$build/noop_plugin.so
args() { echo "--port 7321 --invoke --method noop --load-module $plugin $([[ $1 == isolated ]] && echo --isolated)"; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2" | head -1; }
record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$samples"; }
# The program's CPU, with that of its hosts once they have ended and been collected.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'; }
hosts_gone() { for _ in $(seq 200); do [[ -z $(pgrep -P "$server") ]] && return 0; sleep 0.05; done; }
loadgen() { "${pin_client[@]}" "$build/loadgen" "$@"; }
kinds() { if (( $1 % 2 )); then echo isolated inproc; else echo inproc isolated; fi; }

for ((r = 0; r < rounds; r++)); do
    log "isolation: round $((r + 1))/$rounds"
    for k in $(kinds "$r"); do
        # shellcheck disable=SC2046
        out=$(loadgen $(args "$k") --size $small --conns 1 --warmup $warm_s --duration $lat_s)
        record p50 "$k" "$(field p50_us "$out")"; record p99 "$k" "$(field p99_us "$out")"
        hosts_gone
        for conns in 16 256; do
            before=$(cpu_ticks $server)
            # shellcheck disable=SC2046
            out=$(loadgen $(args "$k") --size $small --conns $conns --warmup $warm_s --duration $tput_s)
            hosts_gone
            after=$(cpu_ticks $server)
            record "rps_$conns" "$k" "$(field rps "$out")"
            record "cpu_$conns" "$k" "$(awk -v d=$((after - before)) -v n="$(field replies "$out")" \
                -v hz="$ticks" 'BEGIN { printf "%.3f", d / hz * 1e6 / n }')"
        done
        # Memory of connections holding the module: the program's resident memory plus the
        # proportional share of its hosts'.
        mem() {
            local total c
            total=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$server/status")
            for c in $(pgrep -P "$server" || true); do
                total=$((total + $(awk '$1 == "Pss:" { print $2 }' "/proc/$c/smaps_rollup")))
            done
            echo "$total"
        }
        before=$(mem)
        # shellcheck disable=SC2046
        "${pin_client[@]}" "$build/loadgen" $(args "$k") --size $small --conns $mem_conns --hold \
            >"$build/hold.out" &
        holder=$!
        for _ in $(seq 1200); do grep -q '^HOLD' "$build/hold.out" && break; sleep 0.05; done
        sleep 0.5
        after=$(mem)
        kill $holder; wait $holder 2>/dev/null || true
        hosts_gone
        record mem "$k" "$(awk -v d=$((after - before)) -v n=$mem_conns 'BEGIN { printf "%.1f", d / n }')"
    done
    # The first load on a fresh connection, as a page sees it: from sending the request to the reply.
    for k in inproc isolated; do
        record load_ms "$k" "$(/usr/bin/python3 - "$plugin" "$k" $loads 2>&1 <<'PY'
import asyncio, json, statistics, sys, time
import websockets
async def main(plugin, kind, count):
    times = []
    for _ in range(count):
        async with websockets.connect("ws://127.0.0.1:7321/") as ws:
            request = {"MsgId": "l", "Module": plugin}
            if kind == "isolated":
                request["Isolated"] = True
            started = time.perf_counter()
            await ws.send(json.dumps(request))
            assert json.loads(await ws.recv())["Result"]
            times.append((time.perf_counter() - started) * 1000)
    print("%.2f" % statistics.median(times))
asyncio.run(main(sys.argv[1], sys.argv[2], int(sys.argv[3])))
PY
)"
        hosts_gone
    done
done

median() {
    awk -F'\t' -v f="$1" -v t="$2" '$1 == f && $2 == t { print $3 }' "$samples" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
row() {
    local a b
    a=$(median "$1" inproc); b=$(median "$1" isolated)
    awk -v l="$2" -v a="$a" -v b="$b" 'BEGIN { printf "| %s | %s | %s | %+.4g | %.2f |\n", l, a, b, b - a, b / a }'
}
echo "| Figure | in-process | isolated | isolated - in-process | isolated / in-process |"
echo "|---|---:|---:|---:|---:|"
row p50 "Round trip p50, 1 conn, closed loop (µs)"
row p99 "Round trip p99, 1 conn, closed loop (µs)"
row rps_16 "Throughput, 16 conns (req/s)"
row rps_256 "Throughput, 256 conns (req/s)"
row cpu_16 "Server CPU per request incl. hosts, 16 conns (µs)"
row cpu_256 "Server CPU per request incl. hosts, 256 conns (µs)"
row load_ms "First load on a fresh connection, median of $loads (ms)"
row mem "Memory per connection holding the module, $mem_conns conns (KiB)"
