#!/bin/bash
# status_load.sh -- how fast the web server answers GET /status with 64 channels running.
#
# Starts the real daemon with 64 enabled channels whose transcoders are the scripted fake
# (tests/support/fake_transcoder.sh, a progress line every 0.2 s), waits until all 64 run, then
# drives "/status" with wrk from loopback, with the login cookie the web page would send, and
# prints requests per second and the median and 99th-percentile latency. Each run is repeated
# for a few connection counts.
#
# Everything runs in a private mount and network namespace with overlays over /etc and /var and a
# tmpfs over /run; the host's folders are not touched. Needs root (and installs wrk when missing).
# Usage: bench/status_load.sh [build-dir] [seconds-per-run]
set -euo pipefail

BUILD=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
SECONDS_PER_RUN=${2:-10}
HERE=$(cd "$(dirname "$0")" && pwd)
FAKE="$HERE/../tests/support/fake_transcoder.sh"
PORT=18282
PASS=bench

if ! command -v wrk >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y wrk >/dev/null ||
        { DEBIAN_FRONTEND=noninteractive apt-get update >/dev/null &&
          DEBIAN_FRONTEND=noninteractive apt-get install -y wrk >/dev/null; }
fi

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_enter_ns "$0" "$BUILD" "$SECONDS_PER_RUN"
bench_setup ruxod-status-bench "$FAKE"

DAEMON=0
cleanup() {
    if [ "$DAEMON" -gt 0 ]; then
        kill -TERM "$DAEMON" 2>/dev/null || true
        for _ in $(seq 100); do [ -e "/proc/$DAEMON" ] || break; sleep 0.05; done
        kill -KILL "$DAEMON" 2>/dev/null || true
    fi
    bench_teardown
}
trap cleanup EXIT

{
    printf '{"global":{"log":0,"httpPort":%d,"autoRestart":1,"loginPass":"%s"},"channels":[' "$PORT" "$PASS"
    for ((i = 0; i < 64; i++)); do
        [ "$i" -gt 0 ] && printf ','
        printf '{"enable":true,"input":{"sources":[{"format":"file","url":"/media/in_%d.ts"}]},' "$i"
        printf '"output":{"customOptions":"fake:run","targets":[{"format":"file","url":"/tmp/out_%d.ts",' "$i"
        printf '"video":{"enable":true,"codec":"h264"},"audio":{"enable":true,"codec":"aac"}}]}}'
    done
    printf ']}'
} >/etc/ruxod/ruxod.json

bench_start_daemon

URL="http://127.0.0.1:$PORT/status"
running=0
for _ in $(seq 150); do
    running=$(curl -s -b "auth=$PASS" "$URL" | grep -c '"state": "running"' || true)
    [ "$running" -eq 64 ] && break
    sleep 0.1
done
[ "$running" -eq 64 ] || { echo "only $running of 64 channels run" >&2; exit 1; }
curl -s -b "auth=$PASS" "$URL" | head -c 300
echo " ..."

# Latency as wrk prints it ("1.23ms", "850.00us", "1.02s") in milliseconds.
to_ms() {
    awk -v v="$1" 'BEGIN {
        n = v + 0
        if (v ~ /us$/) n /= 1000; else if (v ~ /ms$/) n += 0; else if (v ~ /m$/) n *= 60000; else if (v ~ /s$/) n *= 1000
        printf "%.3f", n }'
}

printf '\n%-12s %-8s %-12s %-12s %-12s %-8s\n' connections threads "req/s" "median ms" "p99 ms" errors
for conns in 1 8 32; do
    threads=$((conns < 4 ? conns : 4))
    out=$(wrk -t"$threads" -c"$conns" -d"${SECONDS_PER_RUN}s" --latency -H "Cookie: auth=$PASS" "$URL")
    rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
    p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
    p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
    errs=$(awk '/Non-2xx|Socket errors/ {print}' <<<"$out" | tr '\n' ' ')
    printf '%-12s %-8s %-12s %-12s %-12s %-8s\n' "$conns" "$threads" "$rps" "$(to_ms "$p50")" \
        "$(to_ms "$p99")" "${errs:-none}"
done
running=$(curl -s -b "auth=$PASS" "$URL" | grep -c '"state": "running"' || true)
echo "channels running after the load: $running of 64"
