#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=${JOBS:-2}
build=${BUILD_DIR:-build}

cmake -S . -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"
# Each test makes its own throw-away HOME and XDG folders (tests/run-isolated.sh).
QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j"$jobs"
