#!/usr/bin/env bash
# The randomized disc-integrity soak (tests/soak/soak.py) on the virtual
# recorder, with the program of a test build.
#   scripts/soak.sh N                N seeds from 1 (default 20), 12 steps each
#   scripts/soak.sh --seeds 17 --steps 30   one seed again, longer
# A finding names its seed; the seed's folder is kept in the build folder.
#   VELLORAN_TEST_BUILD   build folder (default build-test)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELLORAN_TEST_BUILD:-build-test}
if [ ! -x "$build/bin/velloran" ]; then
  echo "soak: build $build first (scripts/test.sh builds it)" >&2
  exit 2
fi
if [ $# -eq 0 ]; then set -- 20; fi
if [[ $1 =~ ^[0-9]+$ ]]; then
  n=$1
  shift
  set -- --seeds "1-$n" "$@"
fi
build=$(cd "$build" && pwd)
exec /usr/bin/python3 tests/soak/soak.py --bin "$build/bin" --keep "$build" "$@"
