#!/bin/bash
# ns_daemon.sh -- one benchmark daemon in a mount and network namespace of its own, driven through a
# control folder, so that a benchmark can run several builds side by side and measure them from
# outside (process ids are shared with the host; reach its loopback with "nsenter -t PID -n").
#
# Usage: bench/ns_daemon.sh CTL BUILD TRANSCODER CONFIG [NAME=VALUE...]
#   CONFIG    a configuration file in which "@W@" stands for the daemon's work folder, which holds
#             in.ts (a file source) and clips/a.ts (a folder source)
#   NAME=VALUE environment for the daemon (and so for its transcoders)
# Writes CTL/pid (the daemon's pid) and CTL/work (the work folder); once CTL/stop exists it ends the
# daemon (SIGTERM, SIGKILL after 10 s), removes its folders and writes CTL/done. Needs root.
set -euo pipefail

CTL=$1
BUILD=$2
TRANSCODER=$3
CONFIG=$4
HERE=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=bench/ns_setup.sh
. "$HERE/ns_setup.sh"
bench_enter_ns "$0" "$@"
shift 4

DAEMON=0
finish() {
    if [ "$DAEMON" -gt 0 ]; then
        kill -TERM "$DAEMON" 2>/dev/null || true
        for _ in $(seq 200); do [ -e "/proc/$DAEMON" ] || break; sleep 0.05; done
        kill -KILL "$DAEMON" 2>/dev/null || true
    fi
    bench_teardown
    touch "$CTL/done"
}
trap finish EXIT

bench_setup ruxod-bench "$TRANSCODER"
mkdir "$W/clips"
echo x >"$W/in.ts"
echo x >"$W/clips/a.ts"
sed "s|@W@|$W|g" "$CONFIG" >/etc/ruxod/ruxod.json
for kv in "$@"; do export "${kv?}"; done
bench_start_daemon
echo "$W" >"$CTL/work"
echo "$DAEMON" >"$CTL/pid"
while [ ! -e "$CTL/stop" ] && [ -e "/proc/$DAEMON" ]; do sleep 0.1; done
