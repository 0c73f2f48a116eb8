#!/usr/bin/env bash
# Installs the dependencies, builds the project twice (a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build) and runs every test in
# both. Ends with one line "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh || exit 1

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

passed=0
failed=0

# Builds and tests one configuration: run_suite DIR MULTIPLIER [meson args].
run_suite()
{
    local dir=$1 multiplier=$2
    shift 2
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@" || return 1
    fi
    meson compile -C "$dir" -j 2 || return 1
    local log
    log=$(mktemp)
    meson test -C "$dir" --print-errorlogs --num-processes 2 \
        --timeout-multiplier "$multiplier" 2>&1 | tee "$log"
    local ok fail
    ok=$(awk '/^Ok:/ { print $2 }' "$log")
    fail=$(awk '/^(Fail|Timeout|Unexpected Pass):/ { n += $NF } END { print n + 0 }' "$log")
    rm -f "$log"
    passed=$((passed + ${ok:-0}))
    failed=$((failed + fail))
    [ -n "$ok" ]
}

run_suite build-test 1 || failed=$((failed + 1))
run_suite build-asan 3 -Db_sanitize=address,undefined -Db_lundef=false ||
    failed=$((failed + 1))

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
