#!/usr/bin/env bash
# Installs the Debian packages needed to build, run and test kvbFileAccess.
# Only packages that are missing are installed; nothing outside Debian is fetched.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libhidapi-dev
          libusb-1.0-0-dev libgtest-dev libcli11-dev nlohmann-json3-dev xvfb xauth clang-format clang libclang-rt-14-dev
          qemu-system-x86 busybox-static libusbredirparser-dev kmod cpio
          dpkg-dev lintian desktop-file-utils appstream librsvg2-bin x11-utils libxcb1-dev
          openbox xdotool python3-gi gir1.2-gtk-3.0 libfuse3-dev fuse3
          rsync git sqlite3 vim-tiny nettle-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
