#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a copy of
# its seed corpus: the session importer (a disc's directory records) for
# VELLORAN_FUZZ_SECONDS, the mount table parser, the iSCSI target's
# connection (PDUs from the network) and the decoders of drive replies for a
# sixth of that each. Exit
# status non-zero when one found a crash, a leak or a hang; the input that
# caused it is left in the build folder.
#   VELLORAN_FUZZ_SECONDS  how long to fuzz the importer (default 60)
#   VELLORAN_FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${VELLORAN_FUZZ_SECONDS:-60}
build=${VELLORAN_FUZZ_BUILD:-build-fuzz}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELLORAN_FUZZ=ON -DVELLORAN_BUILD_TESTS=OFF -DVELLORAN_BUILD_GUI=OFF >/dev/null
cmake --build "$build" --target velloran_import_fuzzer velloran_mountinfo_fuzzer velloran_iscsi_fuzzer \
  velloran_reply_fuzzer
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT

# fuzz TARGET SEED-FOLDER SECONDS MAX-LEN
fuzz() {
  rm -rf "${corpus:?}"/*
  cp "$2"/* "$corpus"/
  "$build"/bin/"$1" "$corpus" -max_total_time="$3" -max_len="$4" -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$build"/"$1"- -print_final_stats=1
}
fuzz velloran_import_fuzzer fuzz/corpus "$seconds" 65536
fuzz velloran_mountinfo_fuzzer fuzz/corpus-mountinfo $(( (seconds + 5) / 6 )) 8192
fuzz velloran_iscsi_fuzzer fuzz/corpus-iscsi $(( (seconds + 5) / 6 )) 65536
fuzz velloran_reply_fuzzer fuzz/corpus-replies $(( (seconds + 5) / 6 )) 1024
