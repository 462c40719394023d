#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; then builds again with
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test once more.
# CI runs exactly this. SANITIZE=0 skips the second pass for a quick local run.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

jobs=${JOBS:-2}
build=${BUILD_DIR:-build}
asan_build=${ASAN_BUILD_DIR:-build-asan}
generator=("-G" "Unix Makefiles")
command -v ninja >/dev/null && generator=("-G" "Ninja")

stamp() { echo "== $(date -u +%H:%M:%S) $*"; }

stamp "plain build"
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"
# Each test makes its own throw-away HOME and XDG folders (tests/run-isolated.sh).
stamp "plain tests"
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j"$jobs"

[ "${SANITIZE:-1}" = 0 ] && exit 0

# -O1 keeps the instrumented tests quick and the stacks readable; the line
# tables (-g1) are all a report needs.
stamp "sanitizer build"
cmake -S . -B "$asan_build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON \
    -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1"
cmake --build "$asan_build" -j"$jobs"

# Any report ends the test process with an error, so ctest fails the test.
# Leaks inside system libraries are suppressed in scripts/lsan.supp, nothing of ours.
stamp "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1 \
LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
QT_QPA_PLATFORM=offscreen \
    ctest --test-dir "$asan_build" --output-on-failure -j"$jobs"
stamp "done"
