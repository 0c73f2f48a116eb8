#!/usr/bin/env bash
# Installs the dependencies, builds the project and runs the three daemons
# on the sample simulated board through a scripted scenario that prints a
# timeline of what happens (about half a minute). Exits 0 when every step
# was seen, non-zero naming the first step that was not.
#   --keep         leaves the board running afterwards, until Ctrl-C
#   --board FILE   another board description
# build/simboard/fixture/simboard-run runs a board by hand, without the
# scenario.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
[ -f build/build.ninja ] || meson setup build
meson compile -C build -j 2

exec build/simboard/scenario/simboard-scenario "$@"
