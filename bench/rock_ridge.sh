#!/bin/sh
# What Rock Ridge costs: "velloran save-iso" of the 20,000-file tree of
# burn_bench.sh with and without Rock Ridge, side by side in one run, with
# xorriso (-as mkisofs -J, and -J -R) on the same tree for comparison.
# Prints the image sizes, the best time of RUNS runs (default 3) of each,
# and the ratios with/without and xorriso/velloran.
#
#   bench/rock_ridge.sh [TREES_DIR]
#
# Builds velloran in Release (no sanitizers) in build-image-release.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
trees=${1:-/tmp/velloran-bench}
runs=${RUNS:-3}

. "$here/common.sh"
bench_release_build velloran

# The tree of burn_bench.sh (made the same way, kept between runs).
bench_small_tree
cat "$small"/*/* >/dev/null  # into the page cache, as for every tool

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# "seconds bytes" of the best of $runs runs; the image is removed after each.
best() {
  name=$1
  shift
  best_t=-
  size=-
  i=0
  while [ $i -lt "$runs" ]; do
    start=$(date +%s.%N)
    if "$@" >/dev/null 2>"$out/err"; then
      end=$(date +%s.%N)
      t=$(echo "$start $end" | awk '{printf "%.3f", $2 - $1}')
      size=$(stat -c %s "$out/$name")
      if [ "$best_t" = "-" ] || awk "BEGIN{exit !($t < $best_t)}"; then best_t=$t; fi
    else
      echo "$name failed: $(tail -n 3 "$out/err")" >&2
    fi
    rm -f "$out/$name"
    i=$((i + 1))
  done
  echo "$best_t $size"
}

set -- $(best plain.iso "$velloran" save-iso --no-rock-ridge "$out/plain.iso" "$small")
vt=$1 vs=$2
set -- $(best rr.iso "$velloran" save-iso "$out/rr.iso" "$small")
rt=$1 rs=$2
if command -v xorriso >/dev/null 2>&1; then
  set -- $(best xj.iso xorriso -as mkisofs -quiet -J -o "$out/xj.iso" "$small")
  xjt=$1 xjs=$2
  set -- $(best xr.iso xorriso -as mkisofs -quiet -J -R -o "$out/xr.iso" "$small")
  xrt=$1 xrs=$2
else
  xjt=- xjs=- xrt=- xrs=-
fi

echo "20,000 files in 100 folders ($(du -sb --exclude=.done "$small" | awk '{printf "%.1f", $1 / 1048576}') MB), best of $runs runs:"
printf '%-28s %12s %10s\n' "" "image bytes" "seconds"
printf '%-28s %12s %10s\n' "velloran, no Rock Ridge" "$vs" "$vt"
printf '%-28s %12s %10s\n' "velloran, Rock Ridge" "$rs" "$rt"
printf '%-28s %12s %10s\n' "xorriso -J" "$xjs" "$xjt"
printf '%-28s %12s %10s\n' "xorriso -J -R" "$xrs" "$xrt"
echo "$vs $rs $vt $rt" | awk '{printf "Rock Ridge adds %d bytes (%.2f%%, %d sectors) and takes %.2f times as long\n",
  $2 - $1, 100 * ($2 - $1) / $1, ($2 - $1) / 2048, $4 / ($3 > 0.001 ? $3 : 0.001)}'
if [ "$xrt" != "-" ]; then
  echo "$xrt $rt $xjt $vt" | awk '{printf "xorriso / velloran time: %.2f with Rock Ridge, %.2f without\n",
    $1 / ($2 > 0.001 ? $2 : 0.001), $3 / ($4 > 0.001 ? $4 : 0.001)}'
fi
