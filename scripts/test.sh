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
log=$(mktemp)
trap 'rm -rf "$VELLORAN_RECORDER_DIR" "$log"' EXIT
status=0
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" 2>&1 | tee "$log" || status=$?
# The session-import fuzzer, for a bounded time (about a minute); its own
# chatter goes to a file, shown only when it finds something.
fuzz=0
VELLORAN_FUZZ_SECONDS=${VELLORAN_FUZZ_SECONDS:-60} bash scripts/fuzz.sh >"$build/fuzz.log" 2>&1 || fuzz=$?
if [ "$fuzz" -ne 0 ]; then
  tail -n 60 "$build/fuzz.log"
  echo "fuzzer: FAILED (see $build/fuzz.log)"
else
  grep -E '^Done [0-9]+ runs' "$build/fuzz.log" | sed 's/^/fuzzer: /' || true
fi
# The closing count, after the fuzzer's lines.
summary=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1)
echo "$summary"
if [ "$status" -ne 0 ] || [ "$fuzz" -ne 0 ]; then exit 1; fi
