# ns_setup.sh -- sourced by the benchmarks: the private mount and network namespace in which the real
# daemon runs with its fixed folders, overlays over /etc and /var and a tmpfs over /run, so the
# host's folders are not touched. Needs root. Expects BUILD (the build folder) to be set.

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
