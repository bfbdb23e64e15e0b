#!/bin/bash
# daemon_overhead.sh -- what supervising channels costs the daemon, measured on the real binary.
#
#  1. 64 channels whose transcoders are bench/fake_progress.sh (a progress line twice a second):
#     the daemon's own CPU time and resident memory, and the CPU of daemon plus fakes against the
#     same 64 fakes run without the daemon (the ratio is the supervision overhead).
#  2. Restart latency: how long after a transcoder's death its channel runs again, beyond the
#     configured "autoRestart" delay of 1 s (a file source, restarted by a timer), and for a folder
#     source (restarted by the next pass).
#
# Everything runs in a private mount and network namespace with overlays over /etc and /var and a
# tmpfs over /run, like the daemon tests; the host's folders are not touched. Needs root.
# Usage: bench/daemon_overhead.sh [build-dir] [window-seconds]
set -euo pipefail

BUILD=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
WINDOW=${2:-4}
WINDOWS=5
HERE=$(cd "$(dirname "$0")" && pwd)
PORT=18181

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_enter_ns "$0" "$BUILD" "$WINDOW"
bench_setup ruxod-bench "$HERE/fake_progress.sh"
mkdir "$W/clips"
echo x >"$W/in.ts"
echo x >"$W/clips/a.ts"

TCK=$(getconf CLK_TCK)
DAEMON=0
FAKES=()

cleanup() {
    [ "$DAEMON" -gt 0 ] && kill -KILL "$DAEMON" 2>/dev/null || true
    for p in "${FAKES[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
    bench_teardown
}
trap cleanup EXIT

# CPU ticks of a process and of its reaped children (utime stime cutime cstime).
ticks() {
    local s
    s=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    s=${s##*) }
    set -- $s
    echo $(( ${12} + ${13} + ${14} + ${15} ))
}
ticks_sum() {
    local t=0 p
    for p in "$@"; do t=$((t + $(ticks "$p"))); done
    echo $t
}
median() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
children() { cat /proc/"$1"/task/*/children 2>/dev/null | tr ' ' '\n' | grep -v '^$' || true; }

channel() { # $1 index, $2 source url
    printf '{"enable":true,"input":{"sources":[{"format":"file","url":"%s"}]},"output":{"targets":[{"format":"file","url":"%s/out_%d.ts","video":{"enable":true,"codec":"h264"},"audio":{"enable":true,"codec":"aac"}}]}}' "$2" "$W" "$1"
}
write_config() { # $1 channel count, $2 source url
    local i sep=""
    {
        printf '{"global":{"log":1,"httpPort":%d,"autoRestart":1},"channels":[' "$PORT"
        for ((i = 0; i < $1; i++)); do printf '%s' "$sep"; channel "$i" "$2"; sep=","; done
        printf ']}'
    } >/etc/ruxod/ruxod.json
}
stop_daemon() {
    kill -TERM "$DAEMON"
    for _ in $(seq 200); do [ -e "/proc/$DAEMON" ] || break; sleep 0.05; done
    DAEMON=0
}

# ---- 1. 64 channels with the daemon ---------------------------------------------------------
write_config 64 "$W/in.ts"
bench_start_daemon
for _ in $(seq 100); do [ "$(children "$DAEMON" | wc -l)" -ge 64 ] && break; sleep 0.1; done
sleep 2
: >"$W/with.txt"
for ((k = 0; k < WINDOWS; k++)); do
    mapfile -t kids < <(children "$DAEMON")
    d0=$(ticks "$DAEMON"); f0=$(ticks_sum "${kids[@]}")
    sleep "$WINDOW"
    d1=$(ticks "$DAEMON"); f1=$(ticks_sum "${kids[@]}")
    echo "$((d1 - d0)) $((f1 - f0))" >>"$W/with.txt"
done
rss=$(awk '/VmRSS/ {print $2}' "/proc/$DAEMON/status")
hwm=$(awk '/VmHWM/ {print $2}' "/proc/$DAEMON/status")
nkids=$(children "$DAEMON" | wc -l)
stop_daemon

# ---- 1b. the same 64 fakes without the daemon ------------------------------------------------
for ((i = 0; i < 64; i++)); do
    "$W/bin/ruxod.so" <<<"quBra_6093 -i $W/in.ts $W/out_$i.ts " >/dev/null 2>&1 &
    FAKES+=($!)
done
sleep 2
: >"$W/alone.txt"
for ((k = 0; k < WINDOWS; k++)); do
    f0=$(ticks_sum "${FAKES[@]}")
    sleep "$WINDOW"
    f1=$(ticks_sum "${FAKES[@]}")
    echo "$((f1 - f0))" >>"$W/alone.txt"
done
# Background jobs of a script ignore SIGINT, so these end by SIGKILL.
{
    for p in "${FAKES[@]}"; do kill -KILL "$p" || true; done
    wait || true
} 2>/dev/null
FAKES=()

daemon_ticks=$(cut -d' ' -f1 "$W/with.txt" | median)
fakes_with=$(cut -d' ' -f2 "$W/with.txt" | median)
fakes_alone=$(median <"$W/alone.txt")

# ---- 2. restart latency ------------------------------------------------------------------------
restart_gaps() { # $1 source url; prints start-after-death gaps in ms
    rm -f "$W/events"
    write_config 1 "$1"
    BENCH_EXIT_AFTER=0.3 BENCH_EVENTS="$W/events" bench_start_daemon
    sleep "$2"
    stop_daemon
    awk '$1 == "end" {e = $2} $1 == "start" && e != "" {printf "%.1f\n", ($2 - e) * 1000; e = ""}' "$W/events"
}
timer_gaps=$(restart_gaps "$W/in.ts" 14)
folder_gaps=$(restart_gaps "$W/clips" 5)
timer_median=$(echo "$timer_gaps" | median)
timer_beyond=$(echo "$timer_gaps" | awk '{printf "%.1f\n", $1 - 1000}' | median)
folder_median=$(echo "$folder_gaps" | median)

awk -v tck="$TCK" -v win="$WINDOW" -v nw="$WINDOWS" -v d="$daemon_ticks" -v fw="$fakes_with" \
    -v fa="$fakes_alone" -v rss="$rss" -v hwm="$hwm" -v kids="$nkids" -v tm="$timer_median" \
    -v tb="$timer_beyond" -v tn="$(echo "$timer_gaps" | grep -c .)" -v fm="$folder_median" \
    -v fn="$(echo "$folder_gaps" | grep -c .)" 'BEGIN {
    printf "64 channels, fake transcoders printing twice a second (%d transcoders seen)\n", kids
    printf "  medians of %d windows of %d s\n", nw, win
    printf "  daemon CPU:                 %.3f s per %d s = %.2f %% of one core\n", d / tck, win, 100 * d / tck / win
    printf "  fakes CPU with the daemon:  %.3f s per window\n", fw / tck
    printf "  fakes CPU without daemon:   %.3f s per window\n", fa / tck
    printf "  (daemon + fakes) / fakes alone: %.3f\n", (fa > 0 ? (d + fw) / fa : 0)
    printf "  daemon / fakes alone:           %.3f\n", (fa > 0 ? d / fa : 0)
    printf "  daemon resident memory: %d kB (peak %d kB)\n", rss, hwm
    printf "restart after a transcoder died, \"autoRestart\" 1 (file source, timer), %d restarts\n", tn
    printf "  median death-to-start %.1f ms, %.1f ms beyond the 1 s delay\n", tm, tb
    printf "restart of a folder source (next pass), %d restarts: median death-to-start %.1f ms\n", fn, fm
}'
