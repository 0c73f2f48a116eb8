#!/usr/bin/env bash
# Installs the dependencies, builds the project and runs its daemons on the
# sample simulated board until Ctrl-C. Extra arguments go to simboard-run
# (for example --board FILE).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
[ -f build/build.ninja ] || meson setup build
meson compile -C build -j 2

daemons=()
for daemon in fwkeeper/fwkeeper drivetherm/drivetherm baysentry/baysentry; do
    [ -x "build/$daemon" ] && daemons+=("build/$daemon")
done
exec build/simboard/fixture/simboard-run "$@" "${daemons[@]}"
