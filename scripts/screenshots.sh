#!/usr/bin/env bash
# Screenshots of the desktop application: starts its windows under Xvfb on a
# virtual recorder with a CD-R, loads a small compilation, and saves the main
# window and each dialog as PNG files.
#
#   scripts/screenshots.sh [OUTPUT_DIR]     (default: build-gui/screenshots)
#
# Builds what it needs in $VELLORAN_GUI_BUILD (default build-gui). Needs xvfb
# (apt-get install xvfb xauth).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELLORAN_GUI_BUILD:-build-gui}
out=$(realpath -m "${1:-$build/screenshots}")

if ! command -v xvfb-run >/dev/null; then
  echo "screenshots.sh: xvfb-run is missing (apt-get install xvfb xauth)" >&2
  exit 1
fi
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug
ninja -C "$build" velloran velloran-gui wnaspi32 velloran_app_screenshots >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VELLORAN_RECORDER_DIR=$work/recorders
export XDG_CONFIG_HOME=$work/config
export HOME=$work/home
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$work/src"
"$build/bin/velloran" recorder insert cd-r >/dev/null

# A compilation with folders, files of several types and a zip archive.
src=$work/src
mkdir -p "$src/Photos/2026 Summer" "$src/Documents/Letters" "$src/Music"
head -c 1500000 /dev/urandom >"$src/Photos/2026 Summer/beach.jpg"
head -c 820000 /dev/urandom >"$src/Photos/2026 Summer/harbour.jpg"
head -c 240000 /dev/urandom >"$src/Photos/portrait.png"
printf 'Dear Ann,\n' >"$src/Documents/Letters/ann.txt"
head -c 64000 /dev/urandom >"$src/Documents/report.pdf"
head -c 3100000 /dev/urandom >"$src/Music/track01.mp3"
head -c 400000 /dev/urandom >"$src/backup.zip"
printf 'Read me first.\n' >"$src/README.txt"
# Added after the two test burns: large, but sparse, so it costs nothing.
mkdir -p "$work/more"
truncate -s 350M "$work/more/holiday-video.mkv"

mkdir -p "$out"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
xvfb-run -a -s "-screen 0 1366x768x24" "$build/bin/velloran_app_screenshots" "$out" "$src" "$work/more"
echo "screenshots in $out"
