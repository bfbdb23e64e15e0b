#!/bin/bash
# fake_progress.sh -- a stand-in transcoder for the daemon benchmark. It reads the access token and
# command line, then prints one progress line every half second until SIGINT ends it (exit 0).
# With BENCH_EXIT_AFTER=<seconds> it ends by itself (exit 1) after that time, appending
# "start <t>" and "end <t>" (wall-clock seconds) to $BENCH_EVENTS, for the restart measurement.
IFS= read -r line
[ -n "${BENCH_EVENTS:-}" ] && echo "start $EPOCHREALTIME" >>"$BENCH_EVENTS"
trap 'exit 0' INT
if [ -n "${BENCH_EXIT_AFTER:-}" ]; then
    sleep "$BENCH_EXIT_AFTER"
    [ -n "${BENCH_EVENTS:-}" ] && echo "end $EPOCHREALTIME" >>"$BENCH_EVENTS"
    exit 1
fi
sec=0
while :; do
    sec=$((sec + 1))
    printf 'frame=%5d fps= 25 q=28.0 size=%8dkB time=00:%02d:%02d.00 bitrate= 134.2kbits/s speed=1x\r' \
        $((sec * 12)) $((sec * 8)) $(((sec / 120) % 60)) $(((sec / 2) % 60))
    sleep 0.5
done
