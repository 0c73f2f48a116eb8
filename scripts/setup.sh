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

exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
