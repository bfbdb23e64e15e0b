#!/bin/bash
# restart_storm.sh -- the restart-storm soak for the given time (30 minutes by default): the real
# daemon in its namespace with 64 channels whose fake transcoder ends by itself after 0.1 to 2
# seconds, "autoRestart" 1, a configuration posted every three seconds and "/status" polled without
# pause (tests/daemon/test_daemon_soak.cpp, which CI runs for 60 s). Prints its figures: starts per
# channel, posts, the daemon's descriptors and anonymous memory after the warm-up and at the end with
# the slopes of the lines fitted to them over the starts made (bounds: under 1 descriptor per
# 10,000 starts, under 16 bytes per start), children left unreaped, and the status reply times;
# exits non-zero when a check failed. RUXO_SOAK_SAMPLES=1 in the environment prints every sample.
# Usage: bench/restart_storm.sh [build-dir] [seconds]
set -uo pipefail

BUILD=$(cd "${1:-$(dirname "$0")/../build}" && pwd)
SOAK_SECONDS=${2:-1800}
TEST=$BUILD/tests/daemon/test_daemon_soak
[ -x "$TEST" ] || { echo "no $TEST: build the tests first (cmake --build $BUILD)" >&2; exit 1; }

RUXO_SOAK_SECONDS=$SOAK_SECONDS "$TEST" --gtest_brief=1 2>&1 | tee "$BUILD/restart_storm.log" |
    grep -E '^soak:|Failure|FAILED|Expected|Which is|Actual|PASSED'
exit "${PIPESTATUS[0]}"
