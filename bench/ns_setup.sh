# ns_setup.sh -- sourced by the benchmarks: the private mount and network namespace in which the real
# daemon runs with its fixed folders, overlays over /etc and /var and a tmpfs over /run, so the
# host's folders are not touched. Needs root. Expects BUILD (the build folder) to be set for
# bench_setup.

# bench_need COMMAND [PACKAGE]: installs the Debian package (named as the command by default) when
# the command is missing.
bench_need() {
    command -v "$1" >/dev/null 2>&1 && return 0
    local pkg=${2:-$1}
    DEBIAN_FRONTEND=noninteractive apt-get install -y "$pkg" >/dev/null ||
        { DEBIAN_FRONTEND=noninteractive apt-get update >/dev/null &&
          DEBIAN_FRONTEND=noninteractive apt-get install -y "$pkg" >/dev/null; }
}

# bench_status_config FILE N ENABLE PORT PASSWORD: the status benchmarks' configuration: N channels
# ("enable" ENABLE, true or false) of the scripted fake transcoder ("fake:run"), "log" off.
bench_status_config() {
    local i
    {
        printf '{"global":{"log":0,"httpPort":%d,"autoRestart":1,"loginPass":"%s"},"channels":[' "$4" "$5"
        for ((i = 0; i < $2; i++)); do
            [ "$i" -gt 0 ] && printf ','
            printf '{"enable":%s,"input":{"sources":[{"format":"file","url":"/media/in_%d.ts"}]},' "$3" "$i"
            printf '"output":{"customOptions":"fake:run","targets":[{"format":"file","url":"/tmp/out_%d.ts",' "$i"
            printf '"video":{"enable":true,"codec":"h264"},"audio":{"enable":true,"codec":"aac"}}]}}'
        done
        printf ']}'
    } >"$1"
}

# bench_enter_ns SCRIPT ARGS...: runs the script again inside a new namespace; returns at once there.
bench_enter_ns() {
    if [ -z "${RUXO_BENCH_IN_NS:-}" ]; then
        exec unshare --mount --net --fork env RUXO_BENCH_IN_NS=1 "$@"
    fi
}

# bench_setup TAG TRANSCODER: sets W to a new work folder /tmp/TAG-XXXXXX, mounts the overlays, brings
# loopback up, starts from empty /etc/ruxod and /var/ruxod, and puts the daemon and TRANSCODER (as
# "ruxod.so") into $W/bin.
bench_setup() {
    mount --make-rprivate /
    W=$(mktemp -d "/tmp/$1-XXXXXX")
    mkdir "$W/ovl"
    mount -t tmpfs tmpfs "$W/ovl"
    mkdir "$W/ovl/eu" "$W/ovl/ew" "$W/ovl/vu" "$W/ovl/vw" "$W/bin"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$W/ovl/eu,workdir=$W/ovl/ew" /etc
    mount -t overlay overlay -o "lowerdir=/var,upperdir=$W/ovl/vu,workdir=$W/ovl/vw" /var
    mount -t tmpfs tmpfs /run
    ip link set lo up
    rm -rf /etc/ruxod /var/ruxod
    mkdir -p /etc/ruxod
    cp "$BUILD/bin/ruxod" "$W/bin/ruxod"
    cp "$2" "$W/bin/ruxod.so"
    chmod 755 "$W/bin/ruxod" "$W/bin/ruxod.so"
}

# bench_start_daemon: starts $W/bin/ruxod (output appended to $W/ruxod.out) and sets DAEMON to the
# pid of the detached daemon; exits the script when none shows up within 5 s.
bench_start_daemon() {
    "$W/bin/ruxod" >>"$W/ruxod.out" 2>&1 </dev/null
    local p
    for _ in $(seq 100); do
        for p in /proc/[0-9]*; do
            if [ "$(readlink "$p/exe" 2>/dev/null)" = "$W/bin/ruxod" ]; then DAEMON=${p#/proc/}; return 0; fi
        done
        sleep 0.05
    done
    echo "daemon did not start" >&2; cat "$W/ruxod.out" >&2; exit 1
}

# bench_teardown: undoes bench_setup's mounts and removes $W.
bench_teardown() {
    umount -l /run /var /etc 2>/dev/null || true
    umount -l "$W/ovl" 2>/dev/null || true
    rm -rf --one-file-system "$W"
}

# ---- several daemons side by side, measured from outside --------------------------------------
# Each runs through bench/ns_daemon.sh in a namespace of its own; the calling script stays in the
# host's namespaces and measures the daemons through /proc (process ids are shared).

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# bench_builds [build-dir...]: BUILDS gets the builds to compare as absolute folders (default the
# source tree's build/), NB their number; their list is printed.
bench_builds() {
    [ $# -gt 0 ] || set -- "$BENCH_DIR/../build"
    BUILDS=()
    local b
    for b in "$@"; do BUILDS+=("$(cd "$b" && pwd)"); done
    NB=${#BUILDS[@]}
    echo "builds:"
    for ((b = 0; b < NB; b++)); do echo "  [$((b + 1))] ${BUILDS[b]}"; done
}

# CTLS: the control folders of the daemons up now; bench_all_down ends them all (for an EXIT trap).
CTLS=()
bench_all_down() {
    local c
    for c in "${CTLS[@]}"; do bench_daemon_down "$c"; done
    CTLS=()
}

# bench_daemon_up CTL BUILD TRANSCODER CONFIG [NAME=VALUE...]: starts one daemon in the background
# and prints its pid once it runs; fails (with the worker's output) when none shows up within 20 s.
bench_daemon_up() {
    local ctl=$1
    rm -rf "$ctl"
    mkdir -p "$ctl"
    bash "$BENCH_DIR/ns_daemon.sh" "$@" >"$ctl/log" 2>&1 &
    for _ in $(seq 400); do
        if [ -s "$ctl/pid" ]; then cat "$ctl/pid"; return 0; fi
        [ -e "$ctl/done" ] && break
        sleep 0.05
    done
    echo "daemon did not start:" >&2
    cat "$ctl/log" >&2
    return 1
}

# bench_daemons_up PREFIX TRANSCODER CONFIG: one daemon of every build at once, each in a namespace
# of its own with the same configuration (control folders PREFIX-1, PREFIX-2, ...); PIDS gets their
# pids in the order of BUILDS.
bench_daemons_up() {
    local b
    PIDS=()
    for ((b = 0; b < NB; b++)); do
        CTLS+=("$1-$((b + 1))")
        PIDS+=("$(bench_daemon_up "$1-$((b + 1))" "${BUILDS[b]}" "$2" "$3")")
    done
}

# bench_daemon_down CTL: ends that daemon and waits until its folders are gone.
bench_daemon_down() {
    [ -d "$1" ] || return 0
    touch "$1/stop"
    for _ in $(seq 400); do [ -e "$1/done" ] && return 0; sleep 0.05; done
}

# bench_cpu_ns PID: nanoseconds that the process's living threads have spent on a processor.
bench_cpu_ns() {
    local t=0 f a
    for f in /proc/"$1"/task/*/schedstat; do
        read -r a _ <"$f" 2>/dev/null && t=$((t + a))
    done
    echo "$t"
}

# bench_children PID: the pids of the process's children, one a line.
bench_children() { cat /proc/"$1"/task/*/children 2>/dev/null | tr ' ' '\n' | grep -v '^$' || true; }

# bench_wait_children PID N: waits up to 20 s until the process has at least N children.
bench_wait_children() {
    for _ in $(seq 200); do [ "$(bench_children "$1" | wc -l)" -ge "$2" ] && return 0; sleep 0.1; done
    echo "daemon $1 has only $(bench_children "$1" | wc -l) of $2 transcoders" >&2
    return 1
}

# bench_median: the median of the numbers on standard input ("n/a" for none).
bench_median() {
    sort -g | awk '{v[NR] = $1} END {
        if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
