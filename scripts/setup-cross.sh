#!/usr/bin/env bash
# Installs what the 32-bit ARM (armhf) cross-build needs on Debian 12: the
# cross compiler, the armhf -dev packages of every library we link, and
# qemu-user to run the armhf unit tests. Safe to run again.
set -euo pipefail

packages=(
    crossbuild-essential-armhf
    libboost-dev:armhf
    libgmock-dev:armhf
    libgtest-dev:armhf
    libi2c-dev:armhf
    libpam0g-dev:armhf
    libsystemd-dev:armhf
    meson
    ninja-build
    nlohmann-json3-dev
    pkg-config
    qemu-user-static
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        dpkg --add-architecture armhf
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
