#!/usr/bin/env bash
# Builds the Debian package from this build, installs it with apt, runs the installed
# program (--version, and one --backup-now on a scratch task with no display), and removes
# the package. Never touches a machine it did not set up: skips (77) when not root or when
# a tessivar package is already installed.
# Usage: install_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing a package needs root"
    exit 77
fi
# Two suites on one machine take turns, so one never removes the package under the other.
exec 9>/run/lock/tessivar-package-test.lock
flock -w 600 9
if dpkg-query -W -f='${Status}' tessivar 2>/dev/null | grep -q ' installed$'; then
    echo "SKIP: a tessivar package is already installed here; left as it is"
    exit 77
fi

scratch=$(mktemp -d /tmp/tessivar-package-XXXXXX)
installed=0
finish() {
    if [ "$installed" -eq 1 ]; then
        DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 purge -y -qq tessivar \
            >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log"; echo "FAIL: removal"; }
    fi
    rm -rf "$scratch"
}
trap finish EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "cpack"; }
deb=$(echo "$scratch"/package/tessivar_"$version"_*.deb)
[ -f "$deb" ] || fail "no package tessivar_${version}_*.deb"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6sql6-sqlite libqt6core6 libqt6widgets6 libc6; do
    [[ ", $depends" == *", $needed"* ]] || fail "Depends lacks $needed: $depends"
done

installed=1
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends "$deb" >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log"; fail "apt-get install"; }

metainfo=/usr/share/metainfo/example.c_seed_49de7075.tessivar.metainfo.xml
for file in /usr/bin/tessivar /usr/share/applications/tessivar.desktop "$metainfo" \
    /usr/share/man/man1/tessivar.1.gz /usr/share/icons/hicolor/48x48/apps/tessivar.png; do
    [ -e "$file" ] || fail "$file not installed"
done
validation=$(appstreamcli validate --no-net "$metainfo" 2>&1) || { echo "$validation"; fail "metainfo"; }
if grep -q '^[EW]:' <<<"$validation"; then
    echo "$validation"
    fail "metainfo has errors or warnings"
fi

[ "$(/usr/bin/tessivar --version)" = "tessivar $version" ] || fail "--version"

task=$scratch/task
mkdir -p "$task" "$scratch/source/inner" "$scratch/copies"
echo "content" >"$scratch/source/inner/file"
printf '[备份设置]\r\n备份文件源地址=%s\r\n备份文件目的地址=%s\r\n定时时刻=8:30:00\r\n备份频率=星期一;\r\n备份个数=3\r\n' \
    "$scratch/source" "$scratch/copies" | iconv -f UTF-8 -t GB18030 >"$task/config.ini"
(cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    /usr/bin/tessivar --task "$task" --backup-now) || fail "--backup-now exit $?"
copy=$(echo "$scratch"/copies/source_??????)
[ "$(cat "$copy/inner/file")" = "content" ] || fail "no copy in $scratch/copies"
grep -q "成功备份至   $copy" <(iconv -f GB18030 -t UTF-8 "$task/Log/FileBackupLog.log") || fail "no log line"
echo "PASS: $deb installed, ran, and removed"
