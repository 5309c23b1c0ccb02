#!/bin/sh
# The desktop application with a large drop, offscreen: a folder of 100,000
# empty files (5 folders of 20,000) dropped from the file list onto the
# layout. Prints the time until the layout shows it (goal: at most 3 s), the
# longest stretch without repainting, the time to show and scroll one folder
# of 20,000 entries, and the window's peak memory against the command line's
# for the same compilation ("velloran save-iso"; goal: less than twice).
#
#   bench/gui_bench.sh [TREES_DIR]
#
# Builds in Release (no sanitizers) in build-release, with the benchmark
# programs; the tree is made once under TREES_DIR (default
# /dev/shm/velloran-scale) and kept.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
trees=${1:-/dev/shm/velloran-scale}
build=${VELLORAN_BENCH_BUILD:-$src/build-release}

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORAN_SANITIZE=OFF \
  -DVELLORAN_BUILD_TESTS=OFF -DVELLORAN_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target velloran velloran_gui_add_bench >/dev/null

parent="$trees/gui"
if [ ! -f "$parent/.done" ]; then
  rm -rf "$parent"
  python3 - "$parent/drop" <<'PY'
import os, sys
root = sys.argv[1]
for p in range(5):
    folder = os.path.join(root, "p%d" % p)
    os.makedirs(folder)
    for i in range(20000):
        open(os.path.join(folder, "DSC_%05d.JPG" % i), "wb").close()
PY
  touch "$parent/.done"
fi
out=$(mktemp -d)
state=$(mktemp -d)
trap 'rm -rf "$out" "$state"' EXIT

export QT_QPA_PLATFORM=offscreen
export VELLORAN_RECORDER_DIR="$state/recorders"
export XDG_CONFIG_HOME="$state/config"
mkdir -p "$VELLORAN_RECORDER_DIR" "$XDG_CONFIG_HOME"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) (the times are wall times; the processor times beside them"
echo "      are this process's own, which is what counts on a machine shared with other work)"
"$build/bin/velloran_gui_add_bench" "$parent" drop p0 | tee "$out/gui"
/usr/bin/time -f "%M" -o "$out/cli" "$build/bin/velloran" save-iso "$out/v.iso" "$parent/drop" >/dev/null
gui=$(awk '/peak RSS/ {print $3}' "$out/gui")
cli=$(tail -n 1 "$out/cli")
echo "$gui $cli" | awk '{printf "command line save-iso peak RSS %d KiB; window / command line: %.2f\n", $2, $1 / $2}'
