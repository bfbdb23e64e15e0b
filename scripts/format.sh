#!/usr/bin/env bash
# Formats every C++ source file of the tree in place with .clang-format (clang-format 14, Debian's
# clang-format-14 package; another version formats differently). The folders are listed here; the
# browser tests' npm packages and the fuzz corpus hold no source of ours and are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

formatter=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$formatter" >/dev/null; then
    echo "format.sh: $formatter not found (apt-get install clang-format-14)" >&2
    exit 1
fi

folders=(libruxo common ruxod transcoder tests)
find "${folders[@]}" \( -path tests/web/node_modules -o -path tests/fuzz/corpus \) -prune -o \
     -type f \( -name '*.cpp' -o -name '*.h' \) -print0 |
    xargs -0 -r "$formatter" -i --style=file
