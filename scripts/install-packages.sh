#!/usr/bin/env bash
# Installs those of the Debian packages named that are not installed yet.
# A package of another architecture (name:arch) has its architecture added
# to dpkg first.
set -euo pipefail

missing=()
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

for p in "${missing[@]}"; do
    if [[ $p == *:* ]] &&
        ! dpkg --print-foreign-architectures | grep -qx "${p#*:}"; then
        dpkg --add-architecture "${p#*:}"
    fi
done

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
