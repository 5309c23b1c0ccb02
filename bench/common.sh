# Shared by the bench scripts (sourced, POSIX sh): the Release build they
# time, and the 20,000-file tree that burn_bench.sh and rock_ridge.sh use.
# Expects $src (the project) and $trees (where test trees are kept).

# Builds the given targets in Release without sanitizers (in
# $VELLORAN_BENCH_BUILD, default build-image-release) and sets $build and
# $velloran.
bench_release_build() {
  build=${VELLORAN_BENCH_BUILD:-$src/build-image-release}
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORAN_SANITIZE=OFF \
    -DVELLORAN_BUILD_TESTS=OFF -DVELLORAN_BUILD_GUI=OFF >/dev/null
  ninja -C "$build" "$@" >/dev/null
  velloran="$build/bin/velloran"
}

# 20,000 files of 512 to 6,000 random bytes in 100 folders, made once and
# kept between runs; sets $small.
bench_small_tree() {
  small="$trees/burn-small-20000"
  if [ ! -f "$small/.done" ]; then
    rm -rf "$small"
    /usr/bin/python3 - "$small" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20000)
for i in range(20000):
    d = os.path.join(root, "d%03d" % (i // 200))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
        f.write(os.urandom(rng.randint(512, 6000)))
open(os.path.join(root, ".done"), "w").close()
PY
  fi
}
