#!/usr/bin/env bash
# Runs one libFuzzer target for a bounded time: its committed seeds are read, what it finds new goes
# to a corpus of its own under the work folder (kept between runs), a failing input to
# <work>/findings/. Prints the run's figures (executions, coverage, corpus) on one line at the end,
# which <work>/summary.txt keeps.
#   run_fuzz.sh <fuzzer> <seed folder> <work folder> <seconds> <longest input> [libFuzzer options...]
set -uo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4 max_len=$5
shift 5
mkdir -p "$work/corpus" "$work/findings"
log="$work/fuzz.log"
# Leaks are reported per input; one input may take 20 s on a loaded machine before it counts as hung.
"$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/findings/" "$@" "$work/corpus" "$seeds" >"$log" 2>&1
rc=$?
# The last status line, e.g. "#123456 DONE cov: 812 ft: 2904 corp: 310/40Kb ...".
last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "$(basename "$fuzzer"): exit $rc, ${execs:-?} executions in ${seconds}s; ${last:-no status line}" |
    tee "$work/summary.txt"
if [ "$rc" -ne 0 ]; then
    # The report and the input that caused it.
    grep -v -E '^#[0-9]+' "$log" | tail -n 60
    ls -l "$work/findings"
fi
exit "$rc"
