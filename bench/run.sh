#!/usr/bin/env bash
# ravelink's benchmark (make bench). Builds the load generator and the comparison servers into
# build/bench, then measures in one run, from the same client, with rounds that alternate the
# targets and give each the same work:
#   ravelink    build/linux/ravelink, logs to /dev/null, invoking a plug-in that does nothing
#   wspp        a bare websocketpp echo server, logging cleared: the library's floor (the baseline)
#   websocketd  Debian's websocketd running a tiny C line echo per connection
#   raw         a raw TCP echo: the floor of loopback
# Prints a table and writes bench/results.md.
#
# BENCH_SETUP_BEFORE=<an earlier build's ravelink> measures connection set-up only: this build against
# that one, in alternating rounds (BENCH_SETUP_ROUNDS, 6 by default), each slot of the load generator
# connecting, hand-shaking and closing over and over with 16 and then 256 slots opening together. It
# prints the figures and leaves results.md alone.
#
# Environment: BENCH_QUICK=1 for a short smoke run (figures not worth keeping; results.md is then
# written to build/bench instead). RAVELINK_LOCK_HELD=1 when the caller already holds
# /tmp/ravelink.lock (taking it again from here would wait forever).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build/bench
ravelink=$root/build/linux/ravelink
quick=${BENCH_QUICK:-0}
results=$root/bench/results.md
[[ $quick == 1 ]] && results=$build/results-quick.md

declare -A port=([ravelink]=7321 [wspp]=7331 [websocketd]=7332 [raw]=7333)
targets=(ravelink wspp websocketd raw)
small=64            # bytes per small request, the same for every target
mib=$((1024 * 1024))

if [[ $quick == 1 ]]; then
    rounds=1; lat_rounds=1; lat_s=1; tput_s=1; warm_s=0.3; idle_conns=200; many_conns=1000; big_sizes=(1 8); big_rounds=1
else
    rounds=3; lat_rounds=5; lat_s=2; tput_s=3; warm_s=1; idle_conns=1000; many_conns=10000; big_sizes=(1 8 30); big_rounds=2
fi
rate=1000           # fixed-rate round trip: a page's pace, not a flood

log() { printf '%s\n' "$*" >&2; }

# Every server runs on CPU 0 and the load generator on CPU 1, so each target meets the same
# placement (on this virtual machine a wake-up across cores costs far more than one on the same
# core, and letting the scheduler choose made single-connection figures jump between rounds). As
# root, both also run ahead of the ordinary work others may have on the machine.
pin_server=(taskset -c 0)
pin_client=(taskset -c 1)
if [[ $(nproc) -lt 2 ]]; then
    pin_server=(); pin_client=()
fi
if [[ $(id -u) -eq 0 ]]; then
    pin_server=(nice -n -10 "${pin_server[@]}")
    pin_client=(nice -n -10 "${pin_client[@]}")
fi

# --- build -------------------------------------------------------------------------------------
log "bench: building into build/bench"
cmake -S "$root/bench" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null
if [[ ! -x $ravelink ]]; then
    log "bench: $ravelink is missing: build it first (make build-linux)"
    exit 1
fi
command -v websocketd >/dev/null || { log "bench: websocketd missing: RAVELINK_DEPS=bench scripts/install-deps.sh"; exit 1; }

hard=$(ulimit -Hn)
ulimit -n $(( hard < 16384 ? hard : 16384 ))
ticks=$(getconf CLK_TCK)

# Only one ravelink may listen on 7321; whoever else uses it waits for this lock.
if [[ -z ${RAVELINK_LOCK_HELD:-} ]]; then
    exec 9>>/tmp/ravelink.lock
    log "bench: waiting for /tmp/ravelink.lock"
    flock -w 1200 9
fi
for t in "${targets[@]}"; do
    if ss -Hltn "sport = :${port[$t]}" | grep -q .; then
        log "bench: port ${port[$t]} ($t) is already in use"
        exit 1
    fi
done

samples=$build/samples.tsv
: >"$samples"

# Sum of user+system CPU ticks of the process, its children reaped so far included.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 + $14 + $15 }'; }
field() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2" | head -1; }

# --- connection set-up, this build against an earlier one -------------------------------------------
if [[ -n ${BENCH_SETUP_BEFORE:-} ]]; then
    declare -A build_of=([before]=$BENCH_SETUP_BEFORE [after]=$ravelink)
    setup_rounds=${BENCH_SETUP_ROUNDS:-6}
    for conns in 16 256; do
        for ((r = 0; r < setup_rounds; r++)); do
            order=(before after)
            ((r % 2)) && order=(after before)
            for which in "${order[@]}"; do
                "${pin_server[@]}" "${build_of[$which]}" >/dev/null 2>&1 &
                server=$!
                until ss -Hltn "sport = :7321" | grep -q .; do sleep 0.05; done
                before_ticks=$(cpu_ticks "$server")
                if ! out=$("${pin_client[@]}" "$build/loadgen" --port 7321 --connect --conns "$conns" \
                        --warmup "$warm_s" --duration "$tput_s"); then
                    log "bench: set-up of $which at $conns failed: $out"
                    kill "$server"; exit 1
                fi
                # A stop signal that lands while connections are being accepted can leave the
                # program retrying its closed listener instead of ending; the second signal ends
                # it at once.
                cpu_us=$(awk -v d=$(($(cpu_ticks "$server") - before_ticks)) -v n="$(field cycles "$out")" \
                    -v hz="$ticks" 'BEGIN { printf "%.1f", d / hz * 1e6 / n }')
                kill "$server"
                for _ in $(seq 40); do kill -0 "$server" 2>/dev/null || break; sleep 0.05; done
                kill "$server" 2>/dev/null || true
                wait "$server" 2>/dev/null || true
                while ss -Hltn "sport = :7321" | grep -q .; do sleep 0.05; done
                printf 'setup_%s\t%s\t%s\t%s\n' "$conns" "$which" "$(field cps "$out")" "$cpu_us" >>"$samples"
                log "bench: set-up, $conns together, round $((r + 1))/$setup_rounds, $which: $out cpu_us=$cpu_us"
            done
        done
    done
    # Column 3 of the samples: connections per second; column 4: server CPU per connection (µs),
    # from the server's user and system ticks over the whole load-generator run.
    echo "| Opening together | before (conn/s) | after (conn/s) | after / before | before CPU/conn (µs) | after CPU/conn (µs) | after / before | rounds before (conn/s) | rounds after (conn/s) |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---|---|"
    for conns in 16 256; do
        each() { awk -F'\t' -v f="setup_$conns" -v t="$1" '$1 == f && $2 == t { printf "%s%.0f", sep, $3; sep = " " }' "$samples"; }
        mid() { awk -F'\t' -v f="setup_$conns" -v t="$1" -v c="$2" '$1 == f && $2 == t { print $c }' "$samples" | sort -g |
            awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
        b=$(mid before 3); a=$(mid after 3); bc=$(mid before 4); ac=$(mid after 4)
        echo "| $conns | $(printf '%.0f' "$b") | $(printf '%.0f' "$a") | $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", a / b }')" \
            "| $bc | $ac | $(awk -v a="$ac" -v b="$bc" 'BEGIN { printf "%.3f", a / b }') | $(each before) | $(each after) |"
    done
    echo "(medians over $setup_rounds rounds each; load average $(cut -d' ' -f1-3 /proc/loadavg) at the end)"
    exit 0
fi
declare -A pid=()
loadgen_pid=

cleanup() {
    [[ -n $loadgen_pid ]] && kill "$loadgen_pid" 2>/dev/null || true
    for t in "${!pid[@]}"; do
        kill "${pid[$t]}" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# --- servers ----------------------------------------------------------------------------------
start() {
    local t=$1
    case $t in
        ravelink) "${pin_server[@]}" "$ravelink" >/dev/null 2>&1 & ;;
        wspp) "${pin_server[@]}" "$build/wspp_echo" "${port[wspp]}" >/dev/null 2>&1 & ;;
        websocketd) "${pin_server[@]}" websocketd --port="${port[websocketd]}" --address=127.0.0.1 --loglevel=fatal \
            "$build/line_echo" >/dev/null 2>&1 & ;;
        raw) "${pin_server[@]}" "$build/raw_echo" "${port[raw]}" >/dev/null 2>&1 & ;;
    esac
    pid[$t]=$!
    for _ in $(seq 200); do
        ss -Hltn "sport = :${port[$t]}" | grep -q . && return 0
        sleep 0.05
    done
    log "bench: $t did not start listening"
    exit 1
}

stop() {
    local t=$1
    kill "${pid[$t]}" 2>/dev/null || true
    wait "${pid[$t]}" 2>/dev/null || true
    unset "pid[$t]"
    while ss -Hltn "sport = :${port[$t]}" | grep -q .; do sleep 0.05; done
}

# What each target is asked: ravelink gets invoke requests for the no-op plug-in, the others an
# echo payload of the same size.
args_for() {
    local t=$1
    case $t in
        ravelink) echo "--port ${port[ravelink]} --invoke --method noop --load-module $build/noop_plugin.so" ;;
        raw) echo "--port ${port[raw]} --raw" ;;
        *) echo "--port ${port[$t]}" ;;
    esac
}

status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
children() { pgrep -P "$1" || true; }
# Resident memory in KiB: the process's VmRSS plus, for websocketd, the proportional share (Pss)
# of its per-connection children, whose shared library pages would otherwise count 1,000 times.
memory_kb() {
    local p=$1 total c
    total=$(status_kb "$p" VmRSS)
    for c in $(children "$p"); do
        total=$(( total + $(awk '$1 == "Pss:" { print $2 }' "/proc/$c/smaps_rollup" 2>/dev/null || echo 0) ))
    done
    echo "$total"
}
# Peak resident memory in KiB: VmHWM, plus the children's for websocketd.
peak_kb() {
    local p=$1 total c
    total=$(status_kb "$p" VmHWM)
    for c in $(children "$p"); do
        total=$(( total + $(status_kb "$c" VmHWM 2>/dev/null || echo 0) ))
    done
    echo "$total"
}
await_children_gone() {
    for _ in $(seq 100); do
        [[ -z $(children "$1") ]] && return 0
        sleep 0.05
    done
}

record() { printf '%s\t%s\t%s\n' "$1" "$2" "$3" >>"$samples"; }

# Runs the load generator; fails the whole run when any reply was wrong or missing.
loadgen() {
    local out
    if ! out=$("${pin_client[@]}" "$build/loadgen" "$@"); then
        log "bench: loadgen $* failed: $out"
        exit 1
    fi
    echo "$out"
}

# Starts the load generator with --hold in the background and waits until its work is done and its
# connections sit idle; its figures are then the first line of build/bench/hold.out.
loadgen_hold() {
    local file=$build/hold.out
    : >"$file"
    "${pin_client[@]}" "$build/loadgen" "$@" --hold >"$file" &
    loadgen_pid=$!
    for _ in $(seq 1200); do
        grep -q '^HOLD' "$file" && return 0
        if ! kill -0 "$loadgen_pid" 2>/dev/null; then break; fi
        sleep 0.05
    done
    log "bench: loadgen $* did not reach its hold: $(cat "$file")"
    exit 1
}
loadgen_release() {
    kill "$loadgen_pid" 2>/dev/null || true
    wait "$loadgen_pid" 2>/dev/null || true
    loadgen_pid=
}

rotated() {  # the targets, starting at a different one each round
    local r=$1 n=${#targets[@]} k
    for ((k = 0; k < n; k++)); do echo "${targets[$(((k + r) % n))]}"; done
}

started_at=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- round trip and throughput, long-running servers ----------------------------------------------
for t in "${targets[@]}"; do start "$t"; done
for t in "${targets[@]}"; do  # every target answers before anything is timed
    # shellcheck disable=SC2046
    loadgen $(args_for "$t") --size $small --conns 2 --requests 200 >/dev/null
done

for ((r = 0; r < lat_rounds; r++)); do
    log "bench: round trip, round $((r + 1))/$lat_rounds"
    for t in $(rotated "$r"); do
        # shellcheck disable=SC2046
        out=$(loadgen $(args_for "$t") --size $small --conns 1 --warmup "$warm_s" --duration "$lat_s")
        for p in p50 p99 p999; do record "closed_$p" "$t" "$(field ${p}_us "$out")"; done
        # shellcheck disable=SC2046
        out=$(loadgen $(args_for "$t") --size $small --conns 1 --rate $rate --warmup "$warm_s" --duration "$lat_s")
        for p in p50 p99 p999; do record "rate_$p" "$t" "$(field ${p}_us "$out")"; done
    done
done

for conns in 16 256; do
    for ((r = 0; r < rounds; r++)); do
        log "bench: throughput at $conns connections, round $((r + 1))/$rounds"
        for t in $(rotated "$r"); do
            before=$(cpu_ticks "${pid[$t]}")
            # shellcheck disable=SC2046
            out=$(loadgen $(args_for "$t") --size $small --conns $conns --warmup "$warm_s" --duration "$tput_s")
            await_children_gone "${pid[$t]}"
            after=$(cpu_ticks "${pid[$t]}")
            replies=$(field replies "$out")
            record "rps_$conns" "$t" "$(field rps "$out")"
            record "cpu_$conns" "$t" "$(awk -v d=$((after - before)) -v n="$replies" -v hz="$ticks" \
                'BEGIN { printf "%.3f", d / hz * 1e6 / n }')"
        done
    done
done
for t in "${targets[@]}"; do stop "$t"; done

# --- idle memory per connection, fresh servers --------------------------------------------------
for ((r = 0; r < 2; r++)); do
    log "bench: memory of $idle_conns idle connections, round $((r + 1))/2"
    for t in $(rotated "$r"); do
        start "$t"
        sleep 0.3
        before=$(memory_kb "${pid[$t]}")
        # shellcheck disable=SC2046
        loadgen_hold $(args_for "$t") --size $small --conns "$idle_conns"
        sleep 0.5
        after=$(memory_kb "${pid[$t]}")
        loadgen_release
        stop "$t"
        record idle_kib "$t" "$(awk -v d=$((after - before)) -v n="$idle_conns" 'BEGIN { printf "%.2f", d / n }')"
    done
done

# --- many idle connections, ravelink alone: memory per connection, and a round trip beside them ----
log "bench: $many_conns idle connections on ravelink"
start ravelink
sleep 0.3
before=$(memory_kb "${pid[ravelink]}")
# shellcheck disable=SC2046
loadgen_hold $(args_for ravelink) --size $small --conns "$many_conns"
sleep 0.5
after=$(memory_kb "${pid[ravelink]}")
# shellcheck disable=SC2046
out=$(loadgen $(args_for ravelink) --size $small --conns 1 --warmup "$warm_s" --duration "$lat_s")
loadgen_release
stop ravelink
many_kib=$(awk -v d=$((after - before)) -v n="$many_conns" 'BEGIN { printf "%.2f", d / n }')
many_p50=$(field p50_us "$out")
many_p99=$(field p99_us "$out")

# --- large requests and answers, a fresh server for each run so VmHWM is that run's ------------
big_variants=(wspp websocketd raw ravelink_echo ravelink_request ravelink_answer)
big_args() {
    local v=$1 bytes=$2 plugin=$root/build/linux/tests/plugins/echo_plugin.so
    case $v in
        ravelink_echo) echo "--port ${port[ravelink]} --invoke --method echo --size $bytes --load-module $plugin" ;;
        ravelink_request) echo "--port ${port[ravelink]} --invoke --method noop --size $bytes --load-module $plugin" ;;
        ravelink_answer) echo "--port ${port[ravelink]} --invoke --method big --param $bytes --load-module $plugin" ;;
        raw) echo "--port ${port[raw]} --raw --size $bytes" ;;
        *) echo "--port ${port[$v]} --size $bytes" ;;
    esac
}
for size in "${big_sizes[@]}"; do
    bytes=$((size * mib))
    requests=$(( size >= 30 ? 4 : (size >= 8 ? 6 : 12) ))
    for ((r = 0; r < big_rounds; r++)); do
        log "bench: $size MiB messages, round $((r + 1))/$big_rounds"
        for ((k = 0; k < ${#big_variants[@]}; k++)); do
            v=${big_variants[$(((k + r) % ${#big_variants[@]}))]}
            t=${v%%_*}
            start "$t"
            # shellcheck disable=SC2046
            loadgen_hold $(big_args "$v" $bytes) --conns 1 --requests $requests
            out=$(head -1 "$build/hold.out")
            peak=$(peak_kb "${pid[$t]}")
            loadgen_release
            stop "$t"
            if [[ $(field errors "$out") != 0 ]]; then
                log "bench: $v at $size MiB: $out"
                exit 1
            fi
            record "big${size}_ms" "$v" "$(awk -v us="$(field p50_us "$out")" 'BEGIN { printf "%.2f", us / 1000 }')"
            record "big${size}_peak" "$v" "$(awk -v kb="$peak" 'BEGIN { printf "%.1f", kb / 1024 }')"
        done
    done
done

elapsed=$(( $(date +%s) - started_at ))
trap - EXIT
cleanup

# --- the table ------------------------------------------------------------------------------------
median() {  # median of the samples of figure $1, target $2
    awk -F'\t' -v f="$1" -v t="$2" '$1 == f && $2 == t { print $3 }' "$samples" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0 || a == "-") print "-"; else printf "%.2f", a / b }'; }
fmt() { awk -v v="$1" 'BEGIN { if (v == "-") print "-"; else if (v >= 1000) printf "%.0f", v; else if (v >= 10) printf "%.1f", v; else printf "%.2f", v }'; }

table=$build/table.md
{
    echo "| Figure | ravelink | wspp (floor) | websocketd | raw TCP | ravelink / wspp | websocketd / wspp | raw / wspp |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    row() {
        local figure=$1 label=$2 t base
        local line="| $label"
        base=$(median "$figure" wspp)
        for t in ravelink wspp websocketd raw; do line+=" | $(fmt "$(median "$figure" "$t")")"; done
        for t in ravelink websocketd raw; do line+=" | $(ratio "$(median "$figure" "$t")" "$base")"; done
        echo "$line |"
    }
    row closed_p50 "Round trip p50, 1 conn, closed loop (µs)"
    row closed_p99 "Round trip p99, 1 conn, closed loop (µs)"
    row closed_p999 "Round trip p99.9, 1 conn, closed loop (µs)"
    row rate_p50 "Round trip p50, 1 conn, $rate req/s fixed rate (µs)"
    row rate_p99 "Round trip p99, 1 conn, $rate req/s fixed rate (µs)"
    row rate_p999 "Round trip p99.9, 1 conn, $rate req/s fixed rate (µs)"
    row rps_16 "Throughput, 16 conns (req/s)"
    row rps_256 "Throughput, 256 conns (req/s)"
    row cpu_16 "Server CPU per request, 16 conns (µs)"
    row cpu_256 "Server CPU per request, 256 conns (µs)"
    row idle_kib "Memory per idle connection, $idle_conns conns (KiB)"
} >"$table"

big_table=$build/big.md
{
    echo "| Size | Figure | wspp echo | websocketd echo | raw echo | ravelink echo | ravelink request only | ravelink answer only | ravelink echo / wspp | request only / wspp | answer only / wspp |"
    echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    for size in "${big_sizes[@]}"; do
        for figure in ms peak; do
            label="round trip p50 (ms)"
            [[ $figure == peak ]] && label="peak RSS, VmHWM (MiB)"
            line="| $size MiB | $label"
            base=$(median "big${size}_$figure" wspp)
            for v in "${big_variants[@]}"; do line+=" | $(fmt "$(median "big${size}_$figure" "$v")")"; done
            for v in ravelink_echo ravelink_request ravelink_answer; do
                line+=" | $(ratio "$(median "big${size}_$figure" "$v")" "$base")"
            done
            echo "$line |"
        done
    done
} >"$big_table"

# The goals, each judged on this run's figures.
goals=$build/goals.md
{
    check() {  # label, value, comparison, limit
        local verdict
        verdict=$(awk -v v="$2" -v l="$4" -v op="$3" 'BEGIN {
            if (v == "-") { print "n/a"; exit }
            ok = (op == "<=") ? (v <= l) : (v >= l); print ok ? "met" : "MISSED" }')
        echo "| $1 | $2 | $3 $4 | $verdict |"
    }
    r() { ratio "$(median "$1" "$2")" "$(median "$1" "${3:-wspp}")"; }
    echo "| Goal | This run | Target | |"
    echo "|---|---:|---:|---|"
    check "Server CPU per request, 16 conns, ravelink / wspp" "$(r cpu_16 ravelink)" "<=" 1.25
    check "Throughput, 16 conns, ravelink / wspp" "$(r rps_16 ravelink)" ">=" 0.8
    check "Throughput, 256 conns, ravelink / wspp" "$(r rps_256 ravelink)" ">=" 0.8
    check "Round trip p50, 1 conn (closed loop), ravelink / wspp" "$(r closed_p50 ravelink)" "<=" 1.15
    check "Round trip p99, 1 conn (closed loop), ravelink / wspp" "$(r closed_p99 ravelink)" "<=" 1.3
    check "Round trip p50, 1 conn ($rate req/s), ravelink / wspp" "$(r rate_p50 ravelink)" "<=" 1.15
    check "Round trip p99, 1 conn ($rate req/s), ravelink / wspp" "$(r rate_p99 ravelink)" "<=" 1.3
    check "Memory per idle connection, ravelink / wspp" "$(r idle_kib ravelink)" "<=" 1.5
    last=${big_sizes[-1]}
    for v in ravelink_request ravelink_answer ravelink_echo; do
        check "Peak RSS for a $last MiB ${v#ravelink_}, multiple of the size" \
            "$(awk -v m="$(median "big${last}_peak" "$v")" -v s="$last" 'BEGIN { printf "%.2f", m / s }')" "<=" 3.5
    done
    check "Throughput, 16 conns, ravelink / websocketd" "$(r rps_16 ravelink websocketd)" ">=" 2
    check "Throughput, 256 conns, ravelink / websocketd" "$(r rps_256 ravelink websocketd)" ">=" 2
} >"$goals"

cat "$table"
echo
cat "$big_table"
echo
cat "$goals"

# --- results.md ---------------------------------------------------------------------------------
gxx=$(g++ --version | head -1)
wspp_version=$(dpkg-query -W -f='${Version}' libwebsocketpp-dev 2>/dev/null || echo unknown)
wsd_version=$(dpkg-query -W -f='${Version}' websocketd 2>/dev/null || echo unknown)
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
{
    echo "# ravelink benchmark results"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`make bench\` (bench/run.sh) in ${elapsed} s, ravelink at commit $commit."
    echo
    echo "## Machine"
    echo
    echo "- CPU: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores ($(lscpu | sed -n 's/^Hypervisor vendor: *//p' | head -1 | sed 's/^\(.\)/virtual machine under \1/'))"
    echo "- Memory: $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
    echo "- Kernel: $(uname -sr)"
    echo "- Compiler: $gxx (ravelink: the linux preset, RelWithDebInfo, -O2; bench servers: Release, -O3)"
    echo "- websocketpp (libwebsocketpp-dev) $wspp_version, standalone Asio $(dpkg-query -W -f='${Version}' libasio-dev 2>/dev/null), websocketd $wsd_version"
    echo "- Load average when the run began: $load_before (the machine is shared; other work ran beside this one)"
    echo
    echo "## How it was measured"
    echo
    echo "- One client, \`build/bench/loadgen\`: our own C++ WebSocket client, one thread, epoll, histogram with 1/128 resolution."
    echo "  Closed loop: each connection sends its next request when the previous reply is in. Fixed rate: request k is due at"
    echo "  start + k/rate and is timed from that moment, so a stall of the server shows in the figures instead of slowing the client."
    echo "- Every target gets the same work: ${small}-byte requests. ravelink receives \`{\"MsgId\":\"<n>\",\"Method\":\"noop\",\"Param\":\"xx…\"}\` for a"
    echo "  plug-in whose Invoke returns 0 with no answer (reply: \`{\"MsgId\":\"<n>\",\"Result\":true,\"Response\":\"[ noop ] function success.\"}\`);"
    echo "  the others echo the ${small} bytes. Every reply is checked (MsgId and Result for ravelink, length for the echoes)."
    echo "- ravelink runs as a background service would, its access and error logs going to /dev/null."
    echo "- Rounds alternate the targets (round trip: $lat_rounds rounds of ${lat_s} s, throughput: $rounds rounds of ${tput_s} s, each after ${warm_s} s of"
    echo "  warm-up); each cell is the median over rounds. Servers run on CPU 0, the load generator on CPU 1, both at nice -10."
    echo "- Server CPU per request: user + system time from /proc/<pid>/stat over the whole load-generator run, connection set-up included,"
    echo "  divided by the replies. websocketd's includes its per-connection line-echo processes (reaped children)."
    echo "- Memory per idle connection: resident memory of a freshly started server with $idle_conns open connections minus before"
    echo "  (ravelink's connections have loaded the plug-in), divided by $idle_conns. websocketd's includes the proportional (Pss) memory of its $idle_conns child processes."
    echo "- Large messages: 1 connection, a fresh server per run, p50 round trip over $( [[ $quick == 1 ]] && echo few || echo 4–12 ) requests and the server's VmHWM (websocketd: plus its child)."
    echo "  The echo servers receive and send the size. ravelink: \"echo\" hands the Param back (size in and out),"
    echo "  \"request only\" sends the size to a method with no answer, \"answer only\" sends a short request for an answer of the size."
    echo "- Ratios are to the bare websocketpp server of this same run; for time, CPU and memory below 1 is better, for throughput above 1."
    echo
    echo "## Small messages"
    echo
    cat "$table"
    echo
    echo "## Many idle connections (ravelink alone)"
    echo
    echo "| Figure | ravelink |"
    echo "|---|---:|"
    echo "| Memory per idle connection, $many_conns conns (KiB) | $(fmt "$many_kib") |"
    echo "| Round trip p50 of one more connection, $many_conns idle open, closed loop (µs) | $(fmt "$many_p50") |"
    echo "| Round trip p99 of one more connection, $many_conns idle open, closed loop (µs) | $(fmt "$many_p99") |"
    echo
    echo "## Large requests and answers"
    echo
    cat "$big_table"
    echo
    echo "## Goals"
    echo
    cat "$goals"
    # Notes written by hand at the end of the previous results (comparisons across commits) stay.
    if [[ -f $root/bench/results.md ]]; then
        awk '/^## Notes/ { keep = 1 } keep' "$root/bench/results.md" | sed '1s/^/\n/'
    fi
} >"$results.new"
mv "$results.new" "$results"
log "bench: done in ${elapsed} s; wrote ${results#"$root"/}"
