#!/usr/bin/env bash
# Installs the Debian packages that building (and, with "test", testing) ruxod needs.
# Idempotent: asks apt only for what is missing, and updates the package lists once, first.
set -euo pipefail

pkgs=(cmake g++ make pkg-config libcjson-dev libmicrohttpd-dev libgnutls28-dev ffmpeg)
if [ "${1:-}" = "test" ]; then
    pkgs+=(libgtest-dev curl openssl iproute2 util-linux procps python3 locales)
fi

missing=()
for p in "${pkgs[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: need root to install: ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
