#!/bin/bash
# restart_latency.sh -- how long "/status" waits while channels restart all the time, for one or
# more builds one after the other (for instance before and after a change).
#
# Each build's daemon runs alone in its namespace with 64 enabled channels whose transcoder (a small
# script) reads its line and ends by itself after 0.1 to 0.4 s; "autoRestart" 1 starts each channel
# again a second later, so the daemon makes about 40 starts a second. A client asks "/status" every
# 10 ms over one kept-alive connection for the length of a round and times every reply. Between two
# samples of the daemon's children 2 s apart, a child that is a zombie in both counts as unreaped.
# Every round runs once on a quiet machine and once beside `stress-ng --cpu 8`; the table gives, per
# build and condition, the medians over the rounds of the slowest reply, the 99th percentile and the
# starts per second, the slowest reply of all rounds, failed requests and unreaped children.
#
# The daemons run through bench/ns_daemon.sh in private mount and network namespaces with overlays
# over /etc and /var and a tmpfs over /run; the host's folders are not touched. Needs root, python3
# and stress-ng (installed when missing).
# Usage: bench/restart_latency.sh [-d seconds-per-round] [-r rounds] [build-dir...]
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_ROUND=15
ROUNDS=3
CHANNELS=64
PORT=18383
while getopts "d:r:" opt; do
    case $opt in
        d) SECONDS_PER_ROUND=$OPTARG ;;
        r) ROUNDS=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_need python3
bench_need stress-ng
T=$(mktemp -d /tmp/ruxod-restart-XXXXXX)
STRESS=0
cleanup() {
    [ "$STRESS" -gt 0 ] && kill "$STRESS" 2>/dev/null || true
    bench_all_down
    rm -rf "$T"
}
trap cleanup EXIT
bench_builds "$@"

# The transcoder: reads the token and line, counts the start, ends after 0.1 to 0.4 s.
cat >"$T/storm.sh" <<'EOF'
#!/bin/bash
IFS= read -r line
echo s >>"$STORM_EVENTS"
sleep "0.$((RANDOM % 4 + 1))"
EOF
chmod 755 "$T/storm.sh"

{
    printf '{"global":{"log":1,"httpPort":%d,"autoRestart":1},"channels":[' "$PORT"
    for ((i = 0; i < CHANNELS; i++)); do
        [ "$i" -gt 0 ] && printf ','
        printf '{"enable":true,"input":{"sources":[{"format":"file","url":"@W@/in.ts"}]},'
        printf '"output":{"targets":[{"format":"file","url":"/tmp/out_%d.ts",' "$i"
        printf '"video":{"enable":true,"codec":"h264"},"audio":{"enable":true,"codec":"aac"}}]}}'
    done
    printf ']}'
} >"$T/config.json"

# The client: GET /status every 10 ms on one connection for $2 seconds; prints
# "count failures max-ms p99-ms p50-ms".
cat >"$T/probe.py" <<'EOF'
import http.client, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
times, failures = [], 0
end = time.monotonic() + seconds
tick = time.monotonic()
while time.monotonic() < end:
    t0 = time.monotonic()
    try:
        conn.request("GET", "/status")
        r = conn.getresponse()
        r.read()
        if r.status != 200:
            failures += 1
    except Exception:
        failures += 1
        conn.close()
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    times.append((time.monotonic() - t0) * 1000)
    tick += 0.01
    pause = tick - time.monotonic()
    if pause > 0:
        time.sleep(pause)
    else:
        tick = time.monotonic()
times.sort()
pick = lambda q: times[min(len(times) - 1, int(q * len(times)))]
print(len(times), failures, "%.2f" % times[-1], "%.2f" % pick(0.99), "%.2f" % pick(0.5))
EOF

# Children of a daemon that are zombies now.
zombies() {
    local k
    for k in $(bench_children "$1"); do
        [ "$(awk '{print $3}' "/proc/$k/stat" 2>/dev/null)" = Z ] && echo "$k"
    done
    true
}

# One round: appends "max p99 starts-per-second failures unreaped" to $3. $1 build index, $2 tag.
run_round() {
    local b=$1 ctl=$T/ctl-$2 pid events=$T/events-$2 out z1 z2 n0 n1 unreaped
    : >"$events"
    pid=$(bench_daemon_up "$ctl" "${BUILDS[b]}" "$T/storm.sh" "$T/config.json" "STORM_EVENTS=$events")
    CTLS+=("$ctl")
    for _ in $(seq 200); do [ "$(wc -l <"$events")" -ge "$CHANNELS" ] && break; sleep 0.1; done
    if [ "$(wc -l <"$events")" -lt "$CHANNELS" ]; then
        echo "restart_latency: only $(wc -l <"$events") of $CHANNELS channels started within 20 s" >&2
        exit 1
    fi
    sleep 2 # past the first starts: every channel is in its cycle of ending and restarting
    n0=$(wc -l <"$events")
    nsenter -t "$pid" -n python3 "$T/probe.py" "$PORT" "$SECONDS_PER_ROUND" >"$T/probe-$2" &
    local probe=$!
    sleep $((SECONDS_PER_ROUND / 2))
    z1=$(zombies "$pid")
    sleep 2
    z2=$(zombies "$pid")
    wait "$probe"
    n1=$(wc -l <"$events")
    unreaped=$(comm -12 <(sort <<<"$z1") <(sort <<<"$z2") | grep -c . || true)
    out=$(cat "$T/probe-$2")
    echo "$(awk '{print $3, $4}' <<<"$out")" \
        "$(awk -v a="$n0" -v b="$n1" -v s="$SECONDS_PER_ROUND" 'BEGIN {printf "%.1f", (b - a) / s}')" \
        "$(awk '{print $2}' <<<"$out")" "$unreaped" >>"$3"
    bench_daemon_down "$ctl"
    CTLS=()
}

col_median() { awk -v c="$1" '{print $c}' "$2" | bench_median; }
col_max() { awk -v c="$1" 'BEGIN {m = 0} $c > m {m = $c} END {print m}' "$2"; }
col_sum() { awk -v c="$1" '{s += $c} END {print s + 0}' "$2"; }

echo "$CHANNELS channels restarting, /status every 10 ms on one connection, $ROUNDS rounds of $SECONDS_PER_ROUND s"
for cond in quiet stress; do
    if [ "$cond" = stress ]; then
        stress-ng --cpu 8 --quiet >/dev/null 2>&1 &
        STRESS=$!
        sleep 1
    fi
    for ((b = 0; b < NB; b++)); do
        : >"$T/rounds-$cond-$b"
        for ((k = 0; k < ROUNDS; k++)); do run_round "$b" "$cond-$b-$k" "$T/rounds-$cond-$b"; done
    done
    if [ "$STRESS" -gt 0 ]; then
        kill "$STRESS" 2>/dev/null || true
        wait "$STRESS" 2>/dev/null || true
        STRESS=0
    fi
done

echo
printf '%-7s %-6s %-14s %-14s %-12s %-12s %-9s %-9s\n' cond build "max ms (med)" "p99 ms (med)" "max ms (all)" "starts/s" failures unreaped
for cond in quiet stress; do
    for ((b = 0; b < NB; b++)); do
        f=$T/rounds-$cond-$b
        printf '%-7s %-6s %-14s %-14s %-12s %-12s %-9s %-9s\n' "$cond" "[$((b + 1))]" "$(col_median 1 "$f")" \
            "$(col_median 2 "$f")" "$(col_max 1 "$f")" "$(col_median 3 "$f")" "$(col_sum 4 "$f")" "$(col_sum 5 "$f")"
    done
done
