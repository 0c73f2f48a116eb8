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

exec "$(dirname "$0")/install-packages.sh" "${packages[@]}"
