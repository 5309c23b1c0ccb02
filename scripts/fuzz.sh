#!/usr/bin/env bash
# Builds the session-import fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for a bounded time on a copy of
# the seed corpus. Exit status non-zero when it found a crash, a leak or a
# hang; the input that caused it is left in the build folder.
#   VELLORAN_FUZZ_SECONDS  how long to fuzz (default 60)
#   VELLORAN_FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${VELLORAN_FUZZ_SECONDS:-60}
build=${VELLORAN_FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELLORAN_FUZZ=ON -DVELLORAN_BUILD_TESTS=OFF -DVELLORAN_BUILD_GUI=OFF >/dev/null
cmake --build "$build" --target velloran_import_fuzzer
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/* "$corpus"/
"$build"/bin/velloran_import_fuzzer "$corpus" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
  -rss_limit_mb=2048 -artifact_prefix="$build"/ -print_final_stats=1
