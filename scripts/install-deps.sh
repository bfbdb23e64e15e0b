#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) ruxod needs, and for "test"
# the browser tests' npm packages (tests/web, from its lock file: playwright-core, and eslint for the
# page's lint).
# Idempotent: asks apt only for what is missing, and updates the package lists once, first; runs
# "npm ci" only when the installed packages are not those of the lock file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

pkgs=(cmake g++ make pkg-config libcjson-dev libmicrohttpd-dev libgnutls28-dev ffmpeg)
if [ "${1:-}" = "test" ]; then
    pkgs+=(libgtest-dev curl openssl iproute2 util-linux procps python3 locales
           chromium fonts-dejavu-core nodejs)
    # The fuzz targets: clang with libFuzzer and the sanitizers' run-time (build-fuzz/).
    pkgs+=(clang-14 libclang-rt-14-dev)
    # The format check (scripts/format.sh --check): the version the style file is written for.
    pkgs+=(clang-format-14)
fi

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
# A Node.js build that brings its own npm provides the command without Debian's npm package (and
# conflicts with it): ask for the package only when the command is missing.
if [ "${1:-}" = "test" ] && ! command -v npm >/dev/null 2>&1; then
    missing+=(npm)
fi

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: need root to install: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [ "${1:-}" = "test" ]; then
    web="$root/tests/web"
    stamp="$web/node_modules/.installed-package-lock.json"
    if ! cmp -s "$web/package-lock.json" "$stamp"; then
        # playwright-core drives the system's chromium: it never downloads a browser of its own.
        # The development packages (the lint) too, whatever NODE_ENV says.
        (cd "$web" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --include=dev --no-audit --no-fund --ignore-scripts)
        cp "$web/package-lock.json" "$stamp"
    fi
fi
