#!/bin/bash
# status_instructions.sh -- what one GET /status costs the daemon in instructions, against GET
# /runtime, counted by callgrind (valgrind), build after build: a figure that load on the machine
# does not disturb at all (the kernel's share, such as the status's per-channel stat of the source,
# is not in it; bench/status_load.sh measures the whole).
#
# Each build's daemon runs under callgrind in a private mount and network namespace (overlays over
# /etc and /var, a tmpfs over /run) with N channels, enabled (their transcoders the scripted fake,
# so every entry is "running") or not (-i: every entry "idle"), "log" off; curl asks R times for
# each route in turn; only the request router and what it calls are counted.
# Needs root and valgrind (installed when missing).
# Usage: bench/status_instructions.sh [-n channels] [-r requests] [-i] [build-dir...]
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
FAKE="$HERE/../tests/support/fake_transcoder.sh"
N=64
REQUESTS=200
ENABLE=true
PORT=18383
PASS=bench
while getopts "n:r:i" opt; do
    case $opt in
        n) N=$OPTARG ;;
        r) REQUESTS=$OPTARG ;;
        i) ENABLE=false ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_need valgrind

# ---- inside the namespace: one build ----------------------------------------------------------
if [ -n "${RUXO_BENCH_IN_NS:-}" ]; then
    BUILD=$1
    OUT=$2
    bench_setup ruxod-callgrind "$FAKE"
    trap bench_teardown EXIT
    bench_status_config /etc/ruxod/ruxod.json "$N" "$ENABLE" "$PORT" "$PASS"
    # The daemon detaches: callgrind follows the fork and writes one file per process.
    valgrind --tool=callgrind --callgrind-out-file="$OUT.%p" --toggle-collect='ruxoCGIRoute*' \
        "$W/bin/ruxod" >"$W/ruxod.out" 2>&1 </dev/null
    url="http://127.0.0.1:$PORT"
    state=running
    [ "$ENABLE" = true ] || state=idle
    for _ in $(seq 600); do
        [ "$(curl -s -b "auth=$PASS" "$url/status" | grep -c "\"state\": \"$state\"" || true)" -eq "$N" ] && break
        sleep 0.1
    done
    for ((k = 0; k < REQUESTS; k++)); do printf 'url = "%s/status"\nurl = "%s/runtime"\n' "$url" "$url"; done >"$W/urls"
    curl -s -o /dev/null -b "auth=$PASS" -K "$W/urls"
    # The detached daemon: the callgrind process whose program argument is our ruxod.
    pid=""
    for p in /proc/[0-9]*; do
        case "$(readlink "$p/exe" 2>/dev/null)" in
            *callgrind*) tr '\0' '\n' <"$p/cmdline" 2>/dev/null | grep -qx "$W/bin/ruxod" && pid=${p#/proc/} ;;
        esac
    done
    [ -n "$pid" ] && kill -TERM "$pid"
    for _ in $(seq 300); do [ -n "$pid" ] && [ -e "/proc/$pid" ] || break; sleep 0.1; done
    exit 0
fi

# ---- outside: every build, then the table -----------------------------------------------------
T=$(mktemp -d /tmp/ruxod-callgrind-XXXXXX)
trap 'rm -rf "$T"' EXIT
bench_builds "$@"
echo "$N channels ($([ "$ENABLE" = true ] && echo running || echo idle)), $REQUESTS requests of each route"
printf '%-6s %-22s %-22s %-8s\n' build "status instr/request" "runtime instr/request" ratio
for ((b = 0; b < NB; b++)); do
    unshare --mount --net --fork env RUXO_BENCH_IN_NS=1 \
        bash "$0" -n "$N" -r "$REQUESTS" $([ "$ENABLE" = true ] || echo -i) "${BUILDS[b]}" "$T/cg-$b" >/dev/null 2>&1 || true
    f=$(ls -S "$T"/cg-"$b".* 2>/dev/null | head -1)
    [ -n "$f" ] || { echo "[$((b + 1))]: no profile" >&2; continue; }
    callgrind_annotate --inclusive=yes "$f" 2>/dev/null | awk -v n="$REQUESTS" -v tag="[$((b + 1))]" '
        { gsub(",", "", $1) }
        /ruxoCGIStatus\(MHD_Connection\*\) \[/ { s = $1 }
        /ruxoCGIRuntime\(MHD_Connection\*\) \[/ { r = $1 }
        END { printf "%-6s %-22d %-22d %-8.1f\n", tag, s / n, r / n, (r > 0 ? s / r : 0) }'
done
