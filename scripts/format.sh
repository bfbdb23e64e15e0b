#!/usr/bin/env bash
# Formats every C++ source file of the tree in place with .clang-format (clang-format 14, Debian's
# clang-format-14 package; another version formats differently). The folders are listed here; the
# browser tests' npm packages and the fuzz corpus hold no source of ours and are left alone.
# With --check nothing is changed: every file that is not formatted is reported, and the script
# exits non-zero (scripts/test.sh runs it so).
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
    if [ "${1:-}" = "--check" ]; then
        xargs -0 -r "$formatter" --dry-run --Werror --style=file
    else
        xargs -0 -r "$formatter" -i --style=file
    fi
