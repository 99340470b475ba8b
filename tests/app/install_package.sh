#!/usr/bin/env bash
# Builds the Debian package, installs it with apt, runs the installed program (--version,
# one --backup-now on a scratch task with no display) and removes it. Skips (77) when not
# root or when a tessivar package is already installed: a machine it did not set up stays.
# Usage: install_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
# Suites on one machine take turns, so one never removes the package under another.
exec 9>/tmp/tessivar-package-test.lock
flock -w 280 9
if dpkg-query -W -f='${Status}' tessivar 2>/dev/null | grep -q ' installed$'; then
    echo "SKIP: a tessivar package is already installed here; left as it is"
    exit 77
fi
scratch=$(mktemp -d /tmp/tessivar-package-XXXXXX)
apt() { DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=240 -y -qq "$@" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; return 1; }; }
trap 'dpkg-query -W tessivar >/dev/null 2>&1 && apt purge tessivar; rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(echo "$scratch"/package/tessivar_"$version"_*.deb)
dpkg-deb -f "$deb" Depends | grep -E '^libqt6sql6-sqlite, .*libqt6widgets6' || fail "Depends"
apt install --no-install-recommends "$deb" || fail "apt-get install"
validation=$(appstreamcli validate --no-net /usr/share/metainfo/*.tessivar.metainfo.xml) &&
    ! grep -E '^[WE]:' <<<"$validation" || fail "metainfo: $validation"
[ "$(tessivar --version)" = "tessivar $version" ] || fail "--version"

mkdir -p "$scratch/task" "$scratch/source/inner" "$scratch/copies"
echo content >"$scratch/source/inner/file"
printf '[备份设置]\r\n备份文件源地址=%s/source\r\n备份文件目的地址=%s/copies\r\n' "$scratch" "$scratch" |
    iconv -t GB18030 >"$scratch/task/config.ini"
(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM tessivar --task "$scratch/task" --backup-now) ||
    fail "--backup-now"
grep -q content "$scratch"/copies/source_??????/inner/file || fail "no copy"
iconv -f GB18030 "$scratch/task/Log/FileBackupLog.log" | grep "成功备份至   $scratch/copies/source_" || fail "log"
echo "PASS: $deb installed, ran and removed"
