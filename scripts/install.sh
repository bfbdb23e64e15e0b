#!/usr/bin/env bash
# Installs what ruxod needs, builds it in build-install/ (apart from the test builds, so neither
# one's cached settings reach the other) and starts the daemon from there.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-install -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-install -j "$(nproc)"
exec build-install/bin/ruxod
