#!/bin/sh
# Times "velloran save-iso" against "xorriso -as mkisofs -J" and
# "genisoimage -J" on the same trees and prints the ratios (other / velloran:
# above 1 means velloran is faster).
#
#   bench/image_bench.sh [TREES_DIR] [OUT_DIR]
#
# Builds velloran in Release (no sanitizers) in build-image-release. The
# trees (bench/make_trees.py) are kept between runs; each image is deleted
# after it is timed. The tree is read once beforehand so that every tool
# finds it in the page cache, and each time is the best of RUNS (default 3)
# runs, since the machine may be shared.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
trees=${1:-/tmp/velloran-bench}
out=${2:-/tmp/velloran-bench-out}
build=${VELLORAN_BENCH_BUILD:-$src/build-image-release}

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORAN_SANITIZE=OFF \
  -DVELLORAN_BUILD_TESTS=OFF -DVELLORAN_BUILD_GUI=OFF >/dev/null
ninja -C "$build" velloran velloran_image velloran_platform >/dev/null
c++ -std=c++20 -O2 -I "$src/src" "$here/layout_bench.cpp" "$build/src/image/libvelloran_image.a" \
  "$build/src/platform/libvelloran_platform.a" -o "$build/layout_bench"
echo "In-memory layout of the largest compilation:"
"$build/layout_bench"
echo
python3 "$here/make_trees.py" "$trees"
mkdir -p "$out"

runs=${RUNS:-3}

once() {  # seconds taken by the command, or "-" when it failed
  start=$(date +%s.%N)
  if "$@" >/dev/null 2>"$out/stderr"; then
    end=$(date +%s.%N)
    echo "$start $end" | awk '{printf "%.2f", $2 - $1}'
  else
    echo "-"
  fi
}

seconds() {  # best of $runs; images are removed after each run
  if ! command -v "$1" >/dev/null 2>&1; then echo "-"; return; fi
  best="-"
  i=0
  while [ $i -lt "$runs" ]; do
    t=$(once "$@")
    rm -f "$out"/*.iso
    if [ "$t" != "-" ] && { [ "$best" = "-" ] || awk "BEGIN{exit !($t < $best)}"; }; then best=$t; fi
    i=$((i + 1))
  done
  echo "$best"
}

ratio() { if [ "$1" = "-" ] || [ "$2" = "-" ]; then echo "-"; else echo "$1 $2" | awk '{printf "%.2f", $1 / ($2 > 0.005 ? $2 : 0.005)}'; fi; }

# cat: the physical reference, reading every source byte and writing it
# once (vel/cat close to 1 means the save runs at disk speed).
printf '%-8s %10s %8s %10s %12s %8s %10s %10s\n' tree velloran cat xorriso genisoimage vel/cat xorr/vel geni/vel
for tree in large small empty; do
  dir="$trees/$tree"
  tar -cf - -C "$dir" . | cat >/dev/null  # (tar skips reading when it writes to /dev/null)
  v=$(seconds "$build/bin/velloran" save-iso "$out/v.iso" "$dir")
  c=$(seconds sh -c 'find "$1" -type f -print0 | xargs -0 cat > "$2"' cat "$dir" "$out/c.iso")
  x=$(seconds xorriso -as mkisofs -quiet -J -o "$out/x.iso" "$dir")
  g=$(seconds genisoimage -quiet -J -o "$out/g.iso" "$dir")
  printf '%-8s %10s %8s %10s %12s %8s %10s %10s\n' "$tree" "$v" "$c" "$x" "$g" "$(ratio "$v" "$c")" \
    "$(ratio "$x" "$v")" "$(ratio "$g" "$v")"
done
