#!/usr/bin/env bash
# Installs what the tests need, builds ruxod three times and runs every test under ctest:
#   build/       the whole suite, warnings as errors
#   build-asan/  the unit tests under AddressSanitizer + UndefinedBehaviorSanitizer
#   build-tsan/  the integration tests under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test

jobs=$(nproc)
run() { # dir label-filter cmake-args...
    local dir=$1 filter=$2; shift 2
    cmake -S . -B "$dir" -DRUXO_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" $filter)
}

run build ""
run build-asan "-L unit" -DRUXO_SANITIZE=address
run build-tsan "-L integration" -DRUXO_SANITIZE=thread
