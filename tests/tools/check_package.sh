#!/usr/bin/env bash
# Builds the Debian package from a build tree (what `cmake --build BUILD
# --target package` makes) and checks it as an installation would use it:
# its files, the unpacked `velloran --version` and `velloran save-iso`, the
# virtual recorder found from the installed layout, and lintian.
#
#     check_package.sh BUILD VERSION
#
# Exit 0 when all holds, 1 otherwise, 77 (a skip) when dpkg-deb is missing,
# or when lintian is missing and everything else held.
set -uo pipefail
build=$1
want_version=$2
for tool in cpack dpkg-deb; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (Debian packages cmake, dpkg)"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack failed"; }
debs=("$tmp"/out/velloran_*.deb)
[ -f "${debs[0]}" ] || fail "no velloran_*.deb made: $(ls "$tmp/out")"
deb=${debs[0]}
echo "built $(basename "$deb") ($(du -k "$deb" | cut -f1) kB)"
dpkg-deb --field "$deb" Package Version Architecture Depends
dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb cannot unpack it"

for f in usr/bin/velloran usr/bin/velloran-gui usr/lib/velloran/wnaspi32.so \
         usr/share/man/man1/velloran.1.gz usr/share/man/man1/velloran-gui.1.gz \
         usr/share/applications/velloran-gui.desktop usr/share/icons/hicolor/64x64/apps/velloran-gui.png \
         usr/share/velloran/velloran-gui.html usr/share/velloran/cd.ico usr/share/velloran/open.ico \
         usr/share/velloran/closed.ico usr/share/doc/velloran/copyright usr/share/doc/velloran/changelog.gz \
         usr/share/bash-completion/completions/velloran; do
  [ -e "$tmp/root/$f" ] || fail "the package lacks /$f"
done

velloran="$tmp/root/usr/bin/velloran"
version=$("$velloran" --version) || fail "the unpacked velloran --version failed"
[ "$version" = "velloran $want_version" ] || fail "velloran --version says '$version'"
mkdir -p "$tmp/src/docs"
echo "first file" >"$tmp/src/a.txt"
echo "second file" >"$tmp/src/docs/b.txt"
"$velloran" save-iso "$tmp/disc.iso" "$tmp/src" >"$tmp/save.log" 2>&1 ||
  { cat "$tmp/save.log"; fail "the unpacked velloran save-iso failed"; }
if command -v xorriso >/dev/null; then
  xorriso -indev "$tmp/disc.iso" -osirrox on -extract /docs/b.txt "$tmp/b.txt" >/dev/null 2>&1
  got=$(cat "$tmp/b.txt" 2>/dev/null)
  [ "$got" = "second file" ] || fail "the image save-iso wrote does not hold docs/b.txt as given ('$got')"
fi
# The virtual recorder library is found from the installed layout.
VELLORAN_RECORDER_DIR="$tmp/rec" "$velloran" drives 2>&1 | grep -q VELLORANVREC ||
  fail "the unpacked velloran does not find the virtual recorder in /usr/lib/velloran"

if ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is not installed (Debian package lintian); the rest of the package checks passed"
  exit 77
fi
# Errors fail; warnings are shown. The sanitizer build's binaries are no
# release's: their tags about hardening and debugging are no finding.
lintian --fail-on error --suppress-tags hardening-no-fortify-functions,hardening-no-pie "$deb" 2>&1 | tee "$tmp/lintian.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || fail "lintian reports errors"
echo "package: all checks passed"
