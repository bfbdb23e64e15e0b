#!/bin/bash
# daemon_overhead.sh -- what supervising channels costs the daemon, measured on the real binary, for
# one or more builds side by side (for instance before and after a change).
#
#  1. Scaling: for each channel count (default 1, 16 and 64), every build's daemon runs at the same
#     time, each in a namespace of its own, with that many enabled channels whose transcoders are
#     bench/fake_progress.sh (a progress line twice a second) and "log" on. The same windows measure
#     every daemon's own CPU time (the run time of its threads, /proc/PID/task/*/schedstat, in
#     nanoseconds; load on the machine disturbs it little) and its resident memory at the end.
#  2. Restart latency, build after build: how long after a transcoder's death its channel runs
#     again, beyond the "autoRestart" delay of 1 s (a file source, restarted by a timer), and for a
#     folder source (restarted by the next pass).
#
# The daemons run through bench/ns_daemon.sh in private mount and network namespaces with overlays
# over /etc and /var and a tmpfs over /run; the host's folders are not touched. Needs root.
# Usage: bench/daemon_overhead.sh [-w window-seconds] [-n windows] [-c "channel counts"] [build-dir...]
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
WINDOW=4
WINDOWS=7
COUNTS="1 16 64"
while getopts "w:n:c:" opt; do
    case $opt in
        w) WINDOW=$OPTARG ;;
        n) WINDOWS=$OPTARG ;;
        c) COUNTS=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
T=$(mktemp -d /tmp/ruxod-overhead-XXXXXX)
cleanup() {
    bench_all_down
    rm -rf "$T"
}
trap cleanup EXIT
bench_builds "$@"

channel() { # $1 index, $2 source url
    printf '{"enable":true,"input":{"sources":[{"format":"file","url":"%s"}]},"output":{"targets":[{"format":"file","url":"@W@/out_%d.ts","video":{"enable":true,"codec":"h264"},"audio":{"enable":true,"codec":"aac"}}]}}' "$2" "$1"
}
write_config() { # $1 file, $2 channel count, $3 source url
    local i sep=""
    {
        printf '{"global":{"log":1,"httpPort":18181,"autoRestart":1},"channels":['
        for ((i = 0; i < $2; i++)); do printf '%s' "$sep"; channel "$i" "$3"; sep=","; done
        printf ']}'
    } >"$1"
}
now_ns() { date +%s%N; }

echo

# ---- 1. daemon CPU and memory per channel count, all builds at once -----------------------------
printf '%-9s %-6s %-14s %-22s %-10s %-10s %-6s\n' channels build "CPU % (median)" "min .. max" "RSS kB" "peak kB" kids
for n in $COUNTS; do
    write_config "$T/config-$n.json" "$n" "@W@/in.ts"
    bench_daemons_up "$T/ctl-$n" "$HERE/fake_progress.sh" "$T/config-$n.json"
    pids=("${PIDS[@]}")
    for p in "${pids[@]}"; do bench_wait_children "$p" "$n"; done
    sleep 2
    for ((b = 0; b < NB; b++)); do : >"$T/cpu-$n-$b"; done
    for ((k = 0; k < WINDOWS; k++)); do
        t0=$(now_ns)
        c0=()
        for p in "${pids[@]}"; do c0+=("$(bench_cpu_ns "$p")"); done
        sleep "$WINDOW"
        t1=$(now_ns)
        for ((b = 0; b < NB; b++)); do
            c1=$(bench_cpu_ns "${pids[b]}")
            awk -v c="$((c1 - c0[b]))" -v t="$((t1 - t0))" 'BEGIN {printf "%.4f\n", 100 * c / t}' >>"$T/cpu-$n-$b"
        done
    done
    for ((b = 0; b < NB; b++)); do
        p=${pids[b]}
        rss=$(awk '/VmRSS/ {print $2}' "/proc/$p/status")
        hwm=$(awk '/VmHWM/ {print $2}' "/proc/$p/status")
        kids=$(bench_children "$p" | wc -l)
        med=$(bench_median <"$T/cpu-$n-$b")
        range=$(sort -g "$T/cpu-$n-$b" | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%.3f .. %.3f", lo, hi}')
        printf '%-9s %-6s %-14.3f %-22s %-10s %-10s %-6s\n' "$n" "[$((b + 1))]" "$med" "$range" "$rss" "$hwm" "$kids"
    done
    bench_all_down
done
echo "(CPU: the daemon's own run time as a share of one core, medians of $WINDOWS windows of $WINDOW s)"
echo

# ---- 2. restart latency ------------------------------------------------------------------------
restart_gaps() { # $1 build, $2 source url, $3 seconds; prints start-after-death gaps in ms
    local ctl="$T/ctl-restart"
    write_config "$T/config-restart.json" 1 "$2"
    CTLS+=("$ctl")
    rm -f "$T/events"
    bench_daemon_up "$ctl" "$1" "$HERE/fake_progress.sh" "$T/config-restart.json" \
        BENCH_EXIT_AFTER=0.3 BENCH_EVENTS="$T/events" >/dev/null
    sleep "$3"
    bench_all_down
    awk '$1 == "end" {e = $2} $1 == "start" && e != "" {printf "%.1f\n", ($2 - e) * 1000; e = ""}' "$T/events"
}
printf '%-6s %-34s %-30s\n' build "file source, timer (beyond 1 s)" "folder source, next pass"
for ((b = 0; b < NB; b++)); do
    timer_gaps=$(restart_gaps "${BUILDS[b]}" "@W@/in.ts" 14)
    folder_gaps=$(restart_gaps "${BUILDS[b]}" "@W@/clips" 5)
    tb=$(echo "$timer_gaps" | awk '{printf "%.1f\n", $1 - 1000}' | bench_median)
    fm=$(echo "$folder_gaps" | bench_median)
    printf '%-6s %-34s %-30s\n' "[$((b + 1))]" "$tb ms median, $(echo "$timer_gaps" | grep -c .) restarts" \
        "$fm ms median, $(echo "$folder_gaps" | grep -c .) restarts"
done
