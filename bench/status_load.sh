#!/bin/bash
# status_load.sh -- how fast the web server answers GET /status, against GET /runtime (a reply that
# does no per-channel work) as the yardstick, for one or more builds side by side.
#
# For each channel count (default 1, 16 and 64), every build's daemon runs at the same time, each in
# a namespace of its own, with that many enabled channels whose transcoders are the scripted fake
# (tests/support/fake_transcoder.sh, a progress line every 0.2 s) and "log" off, so the request log
# costs neither route anything. Once all channels run, wrk drives each route from the daemon's
# loopback with the login cookie the web page would send, for each connection count; the runs take
# turns (route after route, build after build) for a few rounds, and the table gives the median
# requests per second and latencies of the rounds, the ratio /status : /runtime of the same build,
# and the web thread's own run time per answered request of each route (from its schedstat; a
# figure that load on the machine disturbs less than requests per second).
#
# The daemons run through bench/ns_daemon.sh in private mount and network namespaces with overlays
# over /etc and /var and a tmpfs over /run; the host's folders are not touched. Needs root and wrk
# (installed when missing).
# With -i the channels are configured but not enabled: every entry is "idle", no transcoder runs.
# Usage: bench/status_load.sh [-d seconds-per-run] [-r rounds] [-c "channel counts"]
#                             [-k "connection counts"] [-i] [build-dir...]
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
FAKE="$HERE/../tests/support/fake_transcoder.sh"
SECONDS_PER_RUN=5
ROUNDS=3
COUNTS="1 16 64"
CONNS="1 8"
PORT=18282
PASS=bench
ENABLE=true
while getopts "d:r:c:k:i" opt; do
    case $opt in
        i) ENABLE=false ;;
        d) SECONDS_PER_RUN=$OPTARG ;;
        r) ROUNDS=$OPTARG ;;
        c) COUNTS=$OPTARG ;;
        k) CONNS=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_need wrk
T=$(mktemp -d /tmp/ruxod-status-XXXXXX)
cleanup() {
    bench_all_down
    rm -rf "$T"
}
trap cleanup EXIT
bench_builds "$@"

# GET of a route on the daemon's loopback, run inside its network namespace.
get() { nsenter -t "$1" -n curl -s -b "auth=$PASS" "http://127.0.0.1:$PORT$2"; }
# Entries in the state the channels should have: running, or idle with -i.
settled() {
    local state=running
    [ "$ENABLE" = true ] || state=idle
    get "$1" /status | grep -c "\"state\": \"$state\"" || true
}

# Latency as wrk prints it ("1.23ms", "850.00us", "1.02s") in milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /m$/) n *= 60000; else if (v ~ /s$/) n *= 1000
        printf "%.3f", n }'
}

# The web server's thread of a daemon (the library names it "MHD-single").
web_thread() {
    local t
    for t in /proc/"$1"/task/*; do
        [ "$(cat "$t/comm" 2>/dev/null)" = MHD-single ] && { echo "${t##*/}"; return; }
    done
    echo "$1"
}
thread_cpu_ns() { local a; read -r a _ <"/proc/$1/task/$2/schedstat" && echo "$a"; }

# One wrk run: appends "rps p50 p99 errors cpu-us-per-request" to the file $4 (the last: the web
# thread's own run time per answered request). $1 pid, $2 path, $3 connections.
run_wrk() {
    local threads=$(($3 < 4 ? $3 : 4)) out tid c0 c1
    tid=$(web_thread "$1")
    c0=$(thread_cpu_ns "$1" "$tid")
    out=$(nsenter -t "$1" -n wrk -t"$threads" -c"$3" -d"${SECONDS_PER_RUN}s" --latency \
        -H "Cookie: auth=$PASS" "http://127.0.0.1:$PORT$2")
    c1=$(thread_cpu_ns "$1" "$tid")
    local errs reqs
    errs=$(awk '/Non-2xx|Socket errors/' <<<"$out" | wc -l)
    reqs=$(awk '/requests in/ {print $1}' <<<"$out")
    echo "$(awk '/^Requests\/sec:/ {print $2}' <<<"$out") $(to_ms "$(awk '$1 == "50%" {print $2}' <<<"$out")")" \
        "$(to_ms "$(awk '$1 == "99%" {print $2}' <<<"$out")") $errs" \
        "$(awk -v c="$((c1 - c0))" -v n="$reqs" 'BEGIN {printf "%.2f", (n > 0 ? c / n / 1000 : 0)}')" >>"$4"
}
col_median() { awk -v c="$1" '{print $c}' "$2" | bench_median; }

echo "medians of $ROUNDS rounds of $SECONDS_PER_RUN s per route, build and connection count"
echo
printf '%-9s %-6s %-6s %-12s %-12s %-7s %-11s %-11s %-8s %-16s %-6s\n' channels conns build "status r/s" \
    "runtime r/s" ratio "status p50" "status p99" "rt p99" "us/req st:rt" errors
for n in $COUNTS; do
    bench_status_config "$T/config-$n.json" "$n" "$ENABLE" "$PORT" "$PASS"
    bench_daemons_up "$T/ctl-$n" "$FAKE" "$T/config-$n.json"
    pids=("${PIDS[@]}")
    for p in "${pids[@]}"; do
        r=0
        for _ in $(seq 150); do
            r=$(settled "$p")
            [ "$r" -eq "$n" ] && break
            sleep 0.1
        done
        [ "$r" -eq "$n" ] || { echo "daemon $p: only $r of $n channels settled" >&2; exit 1; }
    done
    for c in $CONNS; do
        for ((b = 0; b < NB; b++)); do : >"$T/status-$b"; : >"$T/runtime-$b"; done
        for ((k = 0; k < ROUNDS; k++)); do
            for ((b = 0; b < NB; b++)); do
                run_wrk "${pids[b]}" /status "$c" "$T/status-$b"
                run_wrk "${pids[b]}" /runtime "$c" "$T/runtime-$b"
            done
        done
        for ((b = 0; b < NB; b++)); do
            s=$(col_median 1 "$T/status-$b")
            rt=$(col_median 1 "$T/runtime-$b")
            errs=$(awk '{e += $4} END {print e + 0}' "$T/status-$b" "$T/runtime-$b")
            printf '%-9s %-6s %-6s %-12s %-12s %-7s %-11s %-11s %-8s %-16s %-6s\n' "$n" "$c" "[$((b + 1))]" "$s" "$rt" \
                "$(awk -v a="$s" -v b="$rt" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')" \
                "$(col_median 2 "$T/status-$b")" "$(col_median 3 "$T/status-$b")" \
                "$(col_median 3 "$T/runtime-$b")" \
                "$(col_median 5 "$T/status-$b"):$(col_median 5 "$T/runtime-$b")" "$errs"
        done
    done
    for ((b = 0; b < NB; b++)); do
        r=$(settled "${pids[b]}")
        [ "$r" -eq "$n" ] || echo "  [$((b + 1))]: $r of $n channels as they were after the load"
    done
    bench_all_down
done
