#!/usr/bin/env bash
# Installs the Debian 12 packages Velloran needs to build and test, when
# missing. Run as root (or with sudo).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libcli11-dev libssl-dev
  qt6-base-dev libgl-dev xvfb xauth
  xorriso genisoimage python3-pycdlib 7zip libcdio-utils
  clang libclang-rt-14-dev
  qemu-system-x86 busybox-static cpio
  tgt qemu-block-extra libiscsi-bin cdrskin growisofs wodim
  lintian bash-completion dbus-daemon
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
