#!/bin/sh
# Verification must not be the slow part of a burn: burns a 582 MB
# compilation to a DVD+R on the virtual recorder with --verify, times the
# read-back (from the ">>> VERIFYING WRITTEN DATA" line to the end), and
# compares it with reading the same bytes from the recorder's block file with
# cat and hashing them with sha256sum. Prints both times and their ratio
# (verify / cat+sha256sum: at most 1 is the goal). Each time is the best of
# RUNS (default 3) runs, since the machine may be shared.
#
#   bench/verify_bench.sh [TREES_DIR]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
src=$(dirname "$here")
trees=${1:-/tmp/velloran-bench}
runs=${RUNS:-3}

. "$here/common.sh"
bench_release_build velloran wnaspi32

tree="$trees/verify-582mb"
if [ ! -f "$tree/.done" ]; then
  rm -rf "$tree"
  /usr/bin/python3 - "$tree" <<'PY'
import os, random, sys
# 582 MB: a few large files, some medium ones and many small ones, in folders.
root = sys.argv[1]
rng = random.Random(582)
sizes = [200 << 20, 100 << 20] + [8 << 20] * 30 + [rng.randint(20000, 200000) for _ in range(300)]
total = 582 << 20
rest = total - sum(sizes)
sizes.append(max(rest, 1))
chunk = os.urandom(1 << 20)
for i, size in enumerate(sizes):
    d = os.path.join(root, "d%02d" % (i % 17), "sub%d" % (i % 3))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%04d.bin" % i), "wb") as f:
        left = size
        while left > 0:
            n = min(left, len(chunk))
            f.write(chunk[:n])
            f.write(os.urandom(16)[: min(16, left - n)])
            left -= n + min(16, left - n)
open(os.path.join(root, ".done"), "w").close()
PY
fi
bytes=$(du -sb --exclude=.done "$tree" | cut -f1)

state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
export VELLORAN_RECORDER_DIR="$state" VELLORAN_RECORDER_TIME_SCALE=0

best() {  # the smallest of the numbers on stdin
  sort -g | head -n 1
}

verify_times=""
cat_times=""
openssl_times=""
i=0
while [ "$i" -lt "$runs" ]; do
  i=$((i + 1))
  "$velloran" recorder insert dvd+r >/dev/null
  # Each line of the burn's log with the time it arrived; the last line is
  # the end of the program.
  "$velloran" --debug burn --verify "$tree" 2>&1 | /usr/bin/python3 -u -c '
import sys, time
for line in sys.stdin:
    print("%.3f %s" % (time.time(), line.rstrip()))
print("%.3f END" % time.time())' >"$state/log"
  grep -q "Verified: the disc holds every file as recorded." "$state/log" ||
    { echo "the burn or its verification failed:"; tail -n 20 "$state/log"; exit 1; }
  verify_times="$verify_times $(awk '/>>> VERIFYING WRITTEN DATA/ && !s {s = $1} / END$/ {e = $1}
    END {printf "%.3f", e - s}' "$state/log")"

  # The same bytes, straight from the block file (in the page cache, as
  # they are for the verification, which reads them right after the burn).
  start=$(date +%s.%N)
  cat "$state/recorder0/medium.img" | sha256sum >/dev/null
  end=$(date +%s.%N)
  cat_times="$cat_times $(echo "$start $end" | awk '{printf "%.3f", $2 - $1}')"
  start=$(date +%s.%N)
  cat "$state/recorder0/medium.img" | openssl dgst -sha256 >/dev/null
  end=$(date +%s.%N)
  openssl_times="$openssl_times $(echo "$start $end" | awk '{printf "%.3f", $2 - $1}')"
done
# Every run's times, so a run timed wrongly (the best is taken) shows.
echo "Runs (s): verify$verify_times; cat + sha256sum$cat_times; cat + openssl$openssl_times"
verify=$(echo "$verify_times" | tr ' ' '\n' | grep . | best)
baseline=$(echo "$cat_times" | tr ' ' '\n' | grep . | best)
fast=$(echo "$openssl_times" | tr ' ' '\n' | grep . | best)
blocks=$(stat -c %s "$state/recorder0/medium.img")

echo "Verifying a $((bytes / 1048576)) MB compilation on a DVD+R of the virtual recorder (best of $runs):"
echo "$verify $baseline $fast $blocks" | awk '{
  printf "  velloran read-back and SHA-256           %6.2f s\n", $1
  printf "  cat block file (%d MB) | sha256sum       %6.2f s\n", $4 / 1048576, $2
  printf "  cat block file | openssl dgst -sha256     %6.2f s\n", $3
  printf "  ratio verify / (cat + sha256sum)          %6.2f\n", $1 / $2
  printf "  ratio verify / (cat + openssl)            %6.2f\n", $1 / $3 }'
