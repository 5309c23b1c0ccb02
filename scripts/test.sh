#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
build=${VELLORAN_TEST_BUILD:-build-test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLORAN_SANITIZE=ON
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export QT_QPA_PLATFORM=offscreen
# The tests never touch the user's own virtual recorders.
export VELLORAN_RECORDER_DIR=$(mktemp -d)
trap 'rm -rf "$VELLORAN_RECORDER_DIR"' EXIT
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
# The session-import fuzzer, for a bounded time (about a minute).
VELLORAN_FUZZ_SECONDS=${VELLORAN_FUZZ_SECONDS:-60} bash scripts/fuzz.sh
