#!/usr/bin/env bash
# Installs every build and test dependency from Debian 12 packages.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

packages=(
    build-essential
    clang
    clang-format
    dbus-daemon
    dbus-bin
    libboost-dev
    libclang-rt-14-dev
    libgmock-dev
    libgtest-dev
    libi2c-dev
    libpam0g-dev
    libsystemd-dev
    meson
    ninja-build
    nlohmann-json3-dev
    pkg-config
    systemd
    util-linux
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" ||
        missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
