#!/usr/bin/env bash
# Installs the dependencies, builds the project twice (a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build) and runs every test in
# both; cross-builds it for the BMC's 32-bit ARM and runs the unit tests there
# under qemu-user; runs the fuzzers for a bounded time. Ends with one line
# "tests: N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh || exit 1

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0

passed=0
failed=0

# The files to build for the tests of the suites given, and every installed
# target: suite_targets DIR SUITE...
suite_targets()
{
    python3 - "$@" <<'EOF'
import json, os, subprocess, sys

build, suites = sys.argv[1], set(sys.argv[2:])


def introspect(what):
    return json.loads(
        subprocess.check_output(["meson", "introspect", build, "--" + what]))


needed = set()
for test in introspect("tests"):
    if suites & {suite.split(":")[-1] for suite in test["suite"]}:
        needed.update(test["depends"])
for target in introspect("targets"):
    if target["id"] in needed or target["installed"]:
        for name in target["filename"]:
            print(os.path.relpath(name, os.path.abspath(build)))
EOF
}

# Builds one configuration and runs its tests, all of them or those of the
# suites given: run_suite DIR MULTIPLIER "SUITE..." [meson args].
run_suite()
{
    local dir=$1 multiplier=$2 names=$3 suites=()
    local suite
    for suite in $3; do
        suites+=(--suite "$suite")
    done
    shift 3
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$@" || return 1
    fi
    if [ -z "$names" ]; then
        meson compile -C "$dir" -j 2 || return 1
    else
        # Only what the suites run, and every deliverable.
        local targets
        # shellcheck disable=SC2086
        targets=$(suite_targets "$dir" $names) || return 1
        # shellcheck disable=SC2086
        ninja -C "$dir" -j 2 $targets || return 1
    fi
    local log
    log=$(mktemp)
    meson test -C "$dir" --no-rebuild --print-errorlogs --num-processes 2 \
        --timeout-multiplier "$multiplier" "${suites[@]}" 2>&1 | tee "$log"
    local ok fail
    ok=$(awk '/^Ok:/ { print $2 }' "$log")
    fail=$(awk '/^(Fail|Timeout|Unexpected Pass):/ { n += $NF } END { print n + 0 }' "$log")
    rm -f "$log"
    passed=$((passed + ${ok:-0}))
    failed=$((failed + fail))
    [ -n "$ok" ]
}

run_suite build-test 1 "" || failed=$((failed + 1))
run_suite build-asan 3 "" -Db_sanitize=address,undefined -Db_lundef=false ||
    failed=$((failed + 1))

# The BMC's 32-bit ARM: every deliverable cross-built, the tests that run
# in-process under qemu-user (those on the simulated board start programs,
# which this machine cannot run without binfmt_misc) and the install tree.
{ ./scripts/setup-cross.sh &&
    run_suite build-armhf 3 "unit install" --cross-file scripts/cross/armhf.ini; } ||
    failed=$((failed + 1))

# Fuzz targets: a clang build with AddressSanitizer; each target runs for
# a bounded time from its committed seed corpus.
run_fuzzers()
{
    local dir=build-fuzz seconds=${FUZZ_SECONDS:-60}
    if [ ! -f "$dir/build.ninja" ]; then
        CC=clang CXX=clang++ meson setup "$dir" -Dtests=disabled \
            -Db_sanitize=address -Db_lundef=false || return 1
    fi
    local target
    for target in jed repository; do
        local fuzzer="fwkeeper/cpld/fuzz/fwkeeper-cpld-$target-fuzz"
        ninja -C "$dir" -j 2 "$fuzzer" || return 1
        local corpus
        corpus=$(mktemp -d)
        cp fwkeeper/cpld/fuzz/corpus/$target/* "$corpus"/
        if "$dir/$fuzzer" "$corpus" -max_total_time="$seconds" \
            -print_final_stats=1 2>&1 | tail -n 15; then
            echo "fuzz $target: ok"
            passed=$((passed + 1))
        else
            echo "fuzz $target: FAILED"
            failed=$((failed + 1))
        fi
        rm -rf "$corpus"
    done
}

run_fuzzers || failed=$((failed + 1))

echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
