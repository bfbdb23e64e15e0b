#!/usr/bin/env bash
# Installs what the tests need, lints the page's JavaScript, checks the C++ format, builds ruxod four
# times and runs every test under ctest, then checks the systemd unit:
#   lint         eslint over web/main.js and the browser tests (tests/web)
#   format       clang-format over every C++ file (scripts/format.sh --check): a file not formatted fails
#   build/       the whole suite, warnings as errors
#   build-asan/  the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-tsan/  the integration tests under ThreadSanitizer
#   build-fuzz/  the fuzz targets (clang, libFuzzer with AddressSanitizer + UndefinedBehaviorSanitizer),
#                side by side for a bounded time each (RUXO_FUZZ_SECONDS, 100 by default)
#   systemd      scripts/ruxod.service as it would be installed, by systemd-analyze verify (skipped
#                where the command is missing)
# Every step runs even when an earlier one fails; the script ends with one summary line per step
# and exits non-zero when any of them failed.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test || exit 1

jobs=$(nproc)
summary=()
failed=0

run() { # dir label-filter cmake-args...
    local dir=$1 filter=$2; shift 2
    local log="$dir/ctest.log" result
    mkdir -p "$dir"
    if ! cmake -S . -B "$dir" -DRUXO_WERROR=ON "$@" >/dev/null; then
        result="FAILED (configure)"
    elif ! cmake --build "$dir" -j "$jobs"; then
        result="FAILED (build)"
    else
        (cd "$dir" && ctest --output-on-failure -j "$jobs" $filter) 2>&1 | tee "$log"
        local rc=${PIPESTATUS[0]}
        # ctest's own count line, e.g. "100% tests passed, 0 tests failed out of 285".
        local counts
        counts=$(grep -E '^[0-9]+% tests passed' "$log" | tail -n 1)
        if [ "$rc" -eq 0 ]; then
            result="passed: ${counts:-no test count}"
        else
            result="FAILED: ${counts:-ctest exit status $rc}"
        fi
    fi
    case "$result" in FAILED*) failed=1 ;; esac
    summary+=("$(printf '%-11s %s' "$dir" "$result")")
}

# The JavaScript lint of the page's script and the browser tests (tests/web/eslint.config.mjs), with
# the eslint of the browser tests' packages that install-deps.sh installed from their lock file. It
# prints its findings; any finding fails the step.
lint_js() {
    local result
    if tests/web/node_modules/.bin/eslint --config tests/web/eslint.config.mjs web tests/web; then
        result="passed"
    else
        result="FAILED: eslint findings above"
        failed=1
    fi
    summary+=("$(printf '%-11s %s' lint "$result")")
}

# Every C++ file as .clang-format wants it; the files that are not are named with the changes asked.
check_format() {
    local result
    if bash scripts/format.sh --check; then
        result="passed"
    else
        result="FAILED: files not formatted above (scripts/format.sh formats them)"
        failed=1
    fi
    summary+=("$(printf '%-11s %s' format "$result")")
}

# The systemd unit as the README installs it: a copy with the placeholder replaced by the clone's
# path, checked with systemd-analyze verify, which prints nothing about a sound unit (a line
# naming the unit is a finding even when it exits 0, as it does for an unknown key). The check
# needs the program to exist; when build-install/ (scripts/install.sh's build, not made here)
# holds none, a temporary folder with a stand-in at the same place takes the clone's place.
# Skipped where systemd-analyze is missing.
check_unit() {
    local result
    if ! command -v systemd-analyze >/dev/null; then
        result="skipped: systemd-analyze not found"
        echo "systemd unit check skipped: systemd-analyze not found"
    else
        local tmp repo=$PWD out rc
        tmp=$(mktemp -d)
        if [ ! -x "$repo/build-install/bin/ruxod" ]; then
            repo="$tmp/clone"
            mkdir -p "$repo/build-install/bin"
            printf '#!/bin/sh\n' >"$repo/build-install/bin/ruxod"
            chmod +x "$repo/build-install/bin/ruxod"
        fi
        sed "s|@RUXOD_REPO@|$repo|g" scripts/ruxod.service >"$tmp/ruxod.service"
        out=$(systemd-analyze verify "$tmp/ruxod.service" 2>&1)
        rc=$?
        rm -rf "$tmp"
        [ -n "$out" ] && echo "$out"
        if [ "$rc" -ne 0 ] || grep -q 'ruxod\.service' <<<"$out"; then
            result="FAILED: systemd-analyze verify scripts/ruxod.service: the lines above (exit status $rc)"
        else
            result="passed: systemd-analyze verify scripts/ruxod.service"
        fi
    fi
    case "$result" in FAILED*) failed=1 ;; esac
    summary+=("$(printf '%-11s %s' systemd "$result")")
}
lint_js
check_format
check_unit
run build ""
run build-asan "-L unit" -DRUXO_SANITIZE=address
run build-tsan "-L integration" -DRUXO_SANITIZE=thread
rm -f build-fuzz/tests/fuzz/work/*/summary.txt
# The compilers through the environment: cmake takes them at the folder's first configure only, and
# a compiler named on the command line of a later one would make it drop the cache and the options.
# The eight targets run all at once even on a machine with fewer processors, so the step takes
# RUXO_FUZZ_SECONDS of wall time, not a multiple of it.
jobs=$(( jobs > 8 ? jobs : 8 )) \
CXX=$(command -v clang++-14 || command -v clang++ || echo clang++) CC=$(command -v clang-14 || command -v clang || echo clang) \
    run build-fuzz "-L fuzz" -DRUXO_SANITIZE=fuzzer -DRUXO_FUZZ_SECONDS="${RUXO_FUZZ_SECONDS:-100}"
# Each target's figures: executions, coverage, corpus.
cat build-fuzz/tests/fuzz/work/*/summary.txt 2>/dev/null


echo
for line in "${summary[@]}"; do
    echo "summary: $line"
done
exit "$failed"
