#!/usr/bin/env bash
# Installs the Debian packages Tessivar needs to build, test and run, skipping those already present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6svg6 libgl-dev
    xvfb xauth openbox trayer fonts-wqy-microhei xdotool imagemagick x11-utils
    dbus dbus-x11 at-spi2-core python3 python3-pyatspi
    libssl-dev strace sqlite3 util-linux e2fsprogs faketime
    exfatprogs exfat-fuse dosfstools fusefat ntfs-3g btrfs-progs xfsprogs sshfs openssh-server acl
    dpkg-dev file appstream
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
