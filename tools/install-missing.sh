#!/usr/bin/env bash
# Installs with apt-get those of the named Debian packages that are missing,
# as root or through sudo. On a system without dpkg it does nothing.
#   tools/install-missing.sh PACKAGE...
set -euo pipefail
command -v dpkg-query >/dev/null || exit 0

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi
