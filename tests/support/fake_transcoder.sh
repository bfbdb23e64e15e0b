#!/bin/sh
# fake_transcoder.sh -- a scripted stand-in for the transcoder "ruxod.so", for tests.
#
# A test copies this file as "ruxod.so" (mode 755) into a temporary transcoder folder. The engine
# starts it without arguments and writes "quBra_6093 <command line>\n" on its standard input; its
# standard output and error go back to the engine, which logs them and reads the progress out of them.
#
# Where it records (appends), one line per event, each line starting with its own pid:
#   the file named by a word "fake-out=<path>" in the command line, else by $RUXO_FAKE_OUT;
#   nothing is recorded when neither is given.
#   "<pid> at <seconds since boot>"                        right before "line", when $RUXO_FAKE_STAMP
#                                                          is set: its start on its own clock
#   "<pid> line <the whole input line, token included>"   after reading its input line and setting
#                                                          its SIGINT trap, so a test that sees it
#                                                          may signal at once
#   "<pid> fds <n> <n> ..."                                open descriptors (mode fds)
#   "<pid> noread"                                         mode noread, before exiting
#   "<pid> deaf"                                           mode deaf, instead of "line"
#   "<pid> wait"                                           mode fifo, right before it blocks
#
# The mode is a word "fake:<mode>" in the command line; $RUXO_FAKE_MODE, when set, is used instead
# (needed for noread, which never sees the line). Modes:
#   run (default)  print a progress line every 0.2 s until signalled; SIGINT ends it with exit 0
#   progress       print the progress lines of a scripted run (3 lines), then run as "run"
#   fatal=<which>  print a fatal text once, then run as "run"; <which> is one of
#                  bands ("Number of bands"), element ("channel element"),
#                  queue ("Queue input is backward in time"), both (element and queue in one chunk)
#   once           print one progress line, then stay silent until signalled (SIGINT: exit 0)
#   silent         print nothing, run until signalled (SIGINT: exit 0)
#   nosigint       ignore SIGINT, print progress until killed
#   exit1          print one line, then exit 1
#   noread         exit 0 at once without reading the input (the line stays unread)
#   fds            record the open descriptors, then run as "run"
#   eof            wait for a second input line; at end of file print "input closed" and exit 4
#   random         print one progress line, then exit 0 by itself after 0.1 to 2 seconds (chosen at
#                  random); SIGINT ends it earlier
#   flood          write progress lines as fast as the pipe takes them until signalled
#   mute           print one progress line, then close its standard output and error and run on
#                  in silence until signalled (SIGINT: exit 0)
#   fifo           print one progress line, record "<pid> wait", then block opening the FIFO named
#                  by $RUXO_FAKE_FIFO; exit 1 once a writer has opened and closed it
#   deaf           like run, but never reads its input (set it through $RUXO_FAKE_MODE, like noread)
#   orphan         print one line and exit 2, leaving a "sleep 30" behind that keeps the output pipe
#                  open (recorded as "<pid> bg <its pid>"), so only the end of the fake itself tells
#                  that it is gone
# A line that does not begin with the access token is recorded, "bad access token" is printed and
# the fake exits with status 3.

# The line is split into words below; words such as "[in]" must not be expanded as file names.
set -f

TOKEN="quBra_6093"
mode="${RUXO_FAKE_MODE:-}"
out="${RUXO_FAKE_OUT:-}"

record() {
    [ -n "$out" ] && printf '%s %s\n' "$$" "$*" >>"$out"
    return 0
}

if [ "$mode" = noread ]; then
    record noread
    exit 0
fi
# A transcoder that never reads what the daemon writes to it, and otherwise runs.
if [ "$mode" = deaf ]; then
    trap 'exit 0' INT
    record deaf
    while :; do
        printf 'frame=   25 fps= 25 q=28.0 size=      16kB time=00:00:01.00 bitrate= 134.2kbits/s speed=1x\r'
        sleep 0.2
    done
fi

IFS= read -r line
for word in $line; do
    case "$word" in
        fake-out=*) out="${word#fake-out=}" ;;
        fake:*) [ -z "${RUXO_FAKE_MODE:-}" ] && mode="${word#fake:}" ;;
    esac
done
# The trap comes before the record, so a SIGINT sent once the line is recorded meets it.
if [ "$mode" = nosigint ]; then
    trap '' INT
else
    trap 'exit 0' INT
fi
if [ -n "${RUXO_FAKE_STAMP:-}" ] && read -r up _ </proc/uptime; then
    record at "$up"
fi
record line "$line"

case "$line" in
    "$TOKEN "*) ;;
    *) echo "bad access token"; exit 3 ;;
esac

# One progress line as the real transcoder prints it (a carriage return ends it, not a newline).
sec=0
progress() {
    sec=$((sec + 1))
    printf 'frame=%5d fps= 25 q=28.0 size=%8dkB time=00:00:%02d.00 bitrate= 134.2kbits/s speed=1x\r' \
        $((sec * 25)) $((sec * 16)) $((sec % 60))
}

run() {
    while :; do
        progress
        sleep 0.2
    done
}

case "$mode" in
    ""|run) run ;;
    progress)
        echo "Input #0, lavfi, from 'testsrc':"
        printf 'frame=   25 fps=0.0 q=-1.0 size=N/A time=N/A bitrate=N/A speed=N/A\r'
        sleep 0.1
        printf 'frame=   50 fps= 25 q=28.0 size=     256kB time=00:01:02.50 bitrate= 134.2kbits/s speed=1x\r'
        sleep 0.1
        printf 'frame=   75 fps= 25 q=28.0 size=     384kB time=01:00:00.00 bitrate= 256.0kbits/s speed=1x\r'
        sleep 0.2
        sec=100
        run ;;
    fatal=bands) echo "[aac @ 0x1] Number of bands (63) exceeds limit (40)."; run ;;
    fatal=element) echo "[aac @ 0x1] channel element 0.0 is not allocated"; run ;;
    fatal=queue) echo "[mpegts @ 0x1] Queue input is backward in time"; run ;;
    fatal=both)
        printf '%s\n%s\n' "[aac @ 0x1] channel element 1.0 is not allocated" \
            "[aac @ 0x1] Queue input is backward in time"
        run ;;
    once) progress; while :; do sleep 0.2; done ;;
    silent) while :; do sleep 0.2; done ;;
    nosigint) run ;;
    exit1) echo "fake transcoder failing"; exit 1 ;;
    fds)
        # ls lists its own descriptors, i.e. what the engine let through; its handle on the listed
        # folder itself is left out.
        fds=$(ls -l /proc/self/fd | sed -n 's/.* \([0-9][0-9]*\) -> \(.*\)$/\1 \2/p' |
            grep -v ' /proc/[0-9]*/fd$' | cut -d' ' -f1 | sort -n | tr '\n' ' ')
        record fds $fds
        run ;;
    eof)
        if IFS= read -r more; then
            echo "unexpected input: $more"
        else
            echo "input closed"
            exit 4
        fi
        run ;;
    random)
        progress
        n=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
        ms=$((100 + ${n:-0} % 1901))
        sleep "$((ms / 1000)).$(printf '%03d' $((ms % 1000)))"
        exit 0 ;;
    flood)
        # yes ends on SIGINT like the fake would.
        exec yes 'frame=  100 fps= 25 q=28.0 size=     256kB time=00:00:04.00 bitrate= 134.2kbits/s speed=1x' ;;
    mute)
        progress
        exec >&- 2>&-
        while :; do sleep 0.2; done ;;
    fifo)
        progress
        record wait
        IFS= read -r _ <"$RUXO_FAKE_FIFO"
        exit 1 ;;
    orphan)
        sleep 30 &
        record bg "$!"
        echo "leaving a child behind"
        exit 2 ;;
    *) echo "fake transcoder: unknown mode $mode"; exit 2 ;;
esac
