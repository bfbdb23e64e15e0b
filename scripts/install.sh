#!/usr/bin/env bash
# Installs what ruxod needs, builds it and starts the daemon from the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j "$(nproc)"
exec build/bin/ruxod
