#!/usr/bin/env bash
# Installs every Debian 12 package the build, the tests and the example need.
# Run as root (CI does); with sudo where it exists otherwise.
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  libcli11-dev libblkid-dev zlib1g-dev
  libewf-dev libqcow-dev libvmdk-dev libvhdi-dev libbfio-dev ewf-tools qemu-utils
  qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev
  qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
  fonts-noto-cjk
  clang libclang-rt-14-dev
  xvfb xauth x11-utils
  pff-tools pst-utils
  util-linux fdisk dosfstools xz-utils python3 time strace
  e2fsprogs ntfs-3g mtools exfatprogs exfat-fuse
  librsvg2-bin bash-completion man-db ccache
  lintian desktop-file-utils appstream mmdebstrap
  g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 googletest dpkg-dev
)
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
