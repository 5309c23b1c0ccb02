#!/bin/sh
# Burning must never starve the drive: burns 20,000 small files onto the
# virtual recorder in real-time mode (the recorder takes the time a real drive
# takes and counts buffer underruns) at the top CD (48x) and DVD (16x) speeds
# with a 2 MB drive buffer, and prints the time, the average speed and the
# underruns. Also prints the process's peak memory, which must stay bounded by
# the cache, not by the compilation.
#
#   bench/burn_bench.sh [TREES_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
trees=${1:-/tmp/velloran-bench}

. "$here/common.sh"
bench_release_build velloran wnaspi32

bench_small_tree
bytes=$(du -sb --exclude=.done "$small" | cut -f1)
cat "$small"/*/* >/dev/null  # into the page cache, as for every tool

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
export VELLORAN_RECORDER_DIR="$state"

burn() {  # kind speed
  "$velloran" recorder insert "$1" >/dev/null
  "$velloran" recorder realtime on >/dev/null
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$state/rss" "$velloran" burn --speed "$2" "$small" >/dev/null 2>"$state/err" ||
    { echo "burn on $1 failed:"; cat "$state/err"; return 1; }
  end=$(date +%s.%N)
  underruns=$("$velloran" recorder status | awk -F: '/[Uu]nderrun/ {gsub(/ /, "", $2); print $2}')
  echo "$start $end $bytes $1 $2 ${underruns:-?} $(cat "$state/rss")" |
    awk '{t = $2 - $1; printf "%-6s at %-4s %7.1f s  %6.2f MB/s  underruns %s  peak RSS %d MB\n", $4, $5, t, $3 / t / 1048576, $6, $7 / 1024}'
}

echo "20,000 small files, $((bytes / 1048576)) MB, real-time virtual recorder, 2 MB drive buffer:"
burn cd-r 48x
burn dvd+r 16x
