#!/bin/bash
# fuzz_long.sh -- the long runs of the fuzz targets: every target of tests/fuzz side by side for the
# given time (30 minutes by default), from its committed seeds into a corpus kept under the work
# folder between runs. Prints, per target, the executions, the coverage that libFuzzer counts (cov:
# edges reached, ft: features) and the corpus size, and lists what it found: a crash, a sanitizer
# report or a broken rule leaves its input in <work>/<target>/findings/ (to be fixed, and then added
# to the target's seeds in tests/fuzz/corpus/ so that it stays fixed).
#
# Builds the fuzzer build (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ when it is not there. Usage: bench/fuzz_long.sh [seconds] [work-folder] [target...]
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECONDS_EACH=${1:-1800}
WORK=${2:-$ROOT/build-fuzz/long}
shift 2 2>/dev/null || shift $#
TARGETS=("$@")
[ "${#TARGETS[@]}" -gt 0 ] || TARGETS=(config transcoder_args progress sdp acl cookie multipart legacy)
BUILD=$ROOT/build-fuzz

# The compilers through the environment (taken at the folder's first configure), as scripts/test.sh does.
CXX=$(command -v clang++-14 || command -v clang++) CC=$(command -v clang-14 || command -v clang) \
    cmake -S "$ROOT" -B "$BUILD" -DRUXO_SANITIZE=fuzzer >/dev/null || exit 1
grep -q '^RUXO_SANITIZE:STRING=fuzzer$' "$BUILD/CMakeCache.txt" || { echo "$BUILD is no fuzzer build" >&2; exit 1; }
for t in "${TARGETS[@]}"; do
    cmake --build "$BUILD" -j "$(nproc)" --target "fuzz_$t" >/dev/null || { echo "cannot build fuzz_$t" >&2; exit 1; }
done

# The longest input of each target, as under ctest (tests/fuzz/CMakeLists.txt).
max_len() {
    case "$1" in
        config) echo 65536 ;; legacy) echo 32768 ;; progress) echo 16384 ;; acl|cookie) echo 4096 ;; *) echo 8192 ;;
    esac
}

mkdir -p "$WORK"
echo "fuzz_long: ${#TARGETS[@]} targets side by side, $SECONDS_EACH s each, work folder $WORK"
pids=()
for t in "${TARGETS[@]}"; do
    bash "$ROOT/tests/fuzz/run_fuzz.sh" "$BUILD/tests/fuzz/fuzz_$t" "$ROOT/tests/fuzz/corpus/$t" "$WORK/$t" \
        "$SECONDS_EACH" "$(max_len "$t")" >"$WORK-$t.out" 2>&1 &
    pids+=($!)
done
failed=0
for k in "${!pids[@]}"; do
    wait "${pids[$k]}" || failed=1
done
for t in "${TARGETS[@]}"; do
    head -n 1 "$WORK-$t.out"
    n=$(find "$WORK/$t/findings" -type f | wc -l)
    [ "$n" -eq 0 ] || { echo "  $n finding(s) in $WORK/$t/findings:"; sed -n '2,40p' "$WORK-$t.out"; }
done
exit "$failed"
