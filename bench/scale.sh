#!/bin/sh
# The largest compilations: "velloran save-iso" against genisoimage on a tree
# of many empty files, side by side in one run. Prints the median wall time
# and the median peak memory (maximum resident set, from /usr/bin/time) of
# each tool over RUNS runs (default 3), and the ratios velloran / genisoimage
# (below 0.5 is the goal for both); then one burn of the same tree to the
# virtual recorder, its peak memory against genisoimage's.
#
#   bench/scale.sh [full|small] [TREES_DIR]
#
#   full   600,000 empty files in 20,000 folders (the default)
#   small   60,000 empty files in 2,000 folders (about a minute in all)
#
# The trees are made once under TREES_DIR (default /dev/shm/velloran-scale, a
# tmpfs, so that neither tool waits for a disk) and kept; the images go to a
# temporary folder there and are deleted after each run. genisoimage is given
# the name spaces velloran writes: Joliet always, Rock Ridge when velloran's
# image has it. Builds velloran in Release (no sanitizers) in build-release.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
mode=${1:-full}
trees=${2:-/dev/shm/velloran-scale}
build=${VELLORAN_BENCH_BUILD:-$src/build-release}
runs=${RUNS:-3}

case $mode in
  full) files=600000 dirs=20000 ;;
  small) files=60000 dirs=2000 ;;
  *) echo "usage: $0 [full|small] [TREES_DIR]" >&2; exit 2 ;;
esac
for tool in genisoimage /usr/bin/time; do
  command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed (apt-get install genisoimage time)" >&2; exit 1; }
done

if [ -z "${VELLORAN_BENCH_BUILD:-}" ]; then
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORAN_SANITIZE=OFF \
    -DVELLORAN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target velloran >/dev/null
fi
velloran="$build/bin/velloran"

# 20 top folders, the rest spread evenly below them; files evenly in the
# lower folders, named as cameras and backups name them.
tree="$trees/$mode"
if [ ! -f "$tree.done" ]; then
  rm -rf "$tree"
  python3 - "$tree" "$files" "$dirs" <<'PY'
import os, sys
root, files, dirs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
top = 20
per_top = dirs // top
per_dir = files // dirs
for a in range(top):
    for b in range(per_top):
        folder = os.path.join(root, "a%02d" % a, "b%04d" % b)
        os.makedirs(folder)
        for i in range(per_dir):
            open(os.path.join(folder, "IMG_%05d.JPG" % i), "wb").close()
PY
  touch "$tree.done"
fi
out=$(mktemp -d "$trees/out.XXXXXX")
trap 'rm -rf "$out"' EXIT

run() {  # prints "seconds kilobytes" of one run, or "- -" when it failed
  if /usr/bin/time -f "%e %M" -o "$out/time" "$@" >/dev/null 2>"$out/stderr"; then
    tail -n 1 "$out/time"
  else
    echo "- -"
  fi
  rm -f "$out"/*.iso
}

median() {  # of the numbers on standard input ("-" when any run failed)
  sort -g | awk '{v[NR] = $1} /-/ {bad = 1} END {if (bad || NR == 0) print "-"; else print v[int((NR + 1) / 2)]}'
}

measure() {  # label command...: runs it $runs times, prints "label seconds MiB"
  label=$1
  shift
  : >"$out/runs"
  i=0
  while [ $i -lt "$runs" ]; do
    run "$@" >>"$out/runs"
    i=$((i + 1))
  done
  t=$(cut -d' ' -f1 "$out/runs" | median)
  k=$(cut -d' ' -f2 "$out/runs" | median)
  echo "$label $t $k"
}

# The same compilation burned: a DVD+R in a virtual recorder that takes the
# time a real drive takes to write (16x, a 2 MiB buffer; its close at a
# twentieth of real time). Prints "seconds kilobytes underruns pause-ms".
burn() {
  state=$(mktemp -d "$trees/recorder.XXXXXX")
  if VELLORAN_RECORDER_DIR=$state "$velloran" recorder insert dvd+r >/dev/null &&
    VELLORAN_RECORDER_DIR=$state "$velloran" recorder realtime on >/dev/null &&
    VELLORAN_RECORDER_DIR=$state "$velloran" recorder time-scale 0.05 >/dev/null &&
    VELLORAN_RECORDER_DIR=$state /usr/bin/time -f "%e %M" -o "$out/time" \
      "$velloran" --debug burn --speed 16x "$tree" >"$out/burn.log" 2>&1; then
    underruns=$(VELLORAN_RECORDER_DIR=$state "$velloran" recorder status | awk -F: '/^Underruns/ {gsub(/ /, "", $2); print $2}')
    pause=$(sed -n 's/.*Longest pause between writes: \([0-9]*\) ms.*/\1/p' "$out/burn.log" | tail -n 1)
    echo "$(tail -n 1 "$out/time") ${underruns:-?} ${pause:-?}"
  else
    echo "- - - -"
    tail -n 5 "$out/burn.log" >&2
  fi
  rm -rf "$state"
}

# Which name spaces velloran writes.
"$velloran" save-iso "$out/probe.iso" "$tree" >/dev/null 2>&1 || { echo "velloran save-iso failed" >&2; exit 1; }
geniso_opts="-J"
if command -v isoinfo >/dev/null 2>&1 && isoinfo -d -i "$out/probe.iso" 2>/dev/null | grep -q "Rock Ridge signatures"; then
  geniso_opts="$geniso_opts -R"
fi
rm -f "$out/probe.iso"
tar -cf - -C "$tree" . | cat >/dev/null  # every tool finds the tree in the inode cache

echo "$files empty files in $dirs folders, medians of $runs runs (genisoimage $geniso_opts):"
{
  measure velloran "$velloran" save-iso "$out/v.iso" "$tree"
  # shellcheck disable=SC2086
  measure genisoimage genisoimage -quiet $geniso_opts -o "$out/g.iso" "$tree"
  # And without Rock Ridge, its leanest.
  [ "$geniso_opts" = "-J" ] || measure genisoimage-J genisoimage -quiet -J -o "$out/g.iso" "$tree"
} >"$out/results"
awk '
  { t[$1] = $2; m[$1] = $3; printf "%-14s %8s s %9s MiB\n", $1, $2, ($3 == "-" ? "-" : sprintf("%.1f", $3 / 1024)) }
  END {
    if (t["velloran"] == "-" || t["genisoimage"] == "-") { print "a run failed"; exit 1 }
    printf "velloran/genisoimage: time %.2f, peak memory %.2f\n", t["velloran"] / t["genisoimage"], m["velloran"] / m["genisoimage"]
    if (("genisoimage-J" in t) && t["genisoimage-J"] != "-")
      printf "velloran/genisoimage -J (no Rock Ridge): time %.2f, peak memory %.2f\n", t["velloran"] / t["genisoimage-J"], m["velloran"] / m["genisoimage-J"]
  }' "$out/results"

# One burn (its time is the drive's): the memory against genisoimage's, and
# the longest pause of the write loop against what the drive's buffer lasts
# at 16x DVD (2 MiB at 22,160,000 bytes/s: 94 ms).
gen_kb=$(awk '$1 == "genisoimage" {print $3}' "$out/results")
genj_kb=$(awk '$1 == "genisoimage-J" {print $3}' "$out/results")
echo "velloran burn of the same tree (DVD+R at 16x, virtual recorder in real time):"
burn | awk -v gen="$gen_kb" -v genj="${genj_kb:-}" '
  $1 == "-" { print "the burn failed"; exit 1 }
  { printf "burn           %8s s %9.1f MiB  underruns %s, longest pause between writes %s ms (the buffer lasts 94 ms)\n", $1, $2 / 1024, $3, $4
    printf "velloran burn/genisoimage: peak memory %.2f\n", $2 / gen
    if (genj != "" && genj != "-") printf "velloran burn/genisoimage -J: peak memory %.2f\n", $2 / genj }'
