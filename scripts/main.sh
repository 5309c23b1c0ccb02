#!/usr/bin/env bash
# Installs what is missing, builds Velloran, and runs the main job: burns a
# sample folder onto the default virtual recorder, then reads the disc back
# and compares it with the folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLORAN_SANITIZE=OFF >/dev/null
cmake --build build -j "$(nproc)" --target velloran wnaspi32

# A recorder of its own, so the demo never touches your virtual discs.
export VELLORAN_RECORDER_DIR="$PWD/build/demo-recorders"
rm -rf "$VELLORAN_RECORDER_DIR" build/demo-sample
mkdir -p build/demo-sample/docs/nested
cp README.md build/demo-sample/
cp -r data build/demo-sample/docs/
printf 'Velloran sample file\n' > "build/demo-sample/docs/nested/hello world.txt"
head -c 5000000 /dev/urandom > build/demo-sample/random.bin

./build/bin/velloran drives
./build/bin/velloran burn --volume SAMPLE build/demo-sample
./build/bin/velloran recorder status
./build/bin/velloran recorder export build/demo-disc.iso
/usr/bin/python3 tests/tools/check_image.py build/demo-disc.iso build/demo-sample
echo "Verified: every file on the virtual disc matches build/demo-sample."
