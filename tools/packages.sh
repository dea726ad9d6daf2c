#!/usr/bin/env bash
# Makes the packages from the linux and windows builds (cpack --preset linux,
# cpack --preset windows) into build/packages and checks them the way a
# technician meets them: lintian and desktop-file-validate on the Debian
# package, then apt-get install of it (as root, else with sudo), and the
# installed programs run from the PATH: --version, their man pages, the
# station's unit through systemd-analyze verify and its user, a whole
# download from the installed zerquill-flash into the installed simulator on a
# pty, and what a purge leaves. The Windows archive is unpacked and its zerquill-flash.exe run under
# wine. A package this script installed is purged again at the end.
#   tools/packages.sh     (after both builds, from anywhere)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
    echo "packages: $*" >&2
    exit 1
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
[ -n "$version" ] || fail "no version in build/linux: configure and build the linux preset first"
work=$(mktemp -d /tmp/zq-packages-XXXXXX)
sudo=
[ "$(id -u)" -ne 0 ] && sudo=sudo
installed_here=
cleanup() {
    if [ -n "$installed_here" ]; then
        DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q zerquill-updater >/dev/null || true
    fi
    [ -n "$wine_started" ] && cmake/wine-run.sh build/windows --teardown
    rm -rf "$work"
}
wine_started=
trap cleanup EXIT

out=build/packages
rm -rf "$out"
for preset in linux windows; do
    cpack --preset "$preset" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log" >&2; fail "cpack --preset $preset failed"; }
done
deb=$PWD/$out/zerquill-updater_${version}_$(dpkg --print-architecture).deb
tgz=$out/zerquill-updater-$version-linux-$(uname -m).tar.gz
zip=$out/zerquill-updater-$version-windows-x64.zip
installer=$out/zerquill-updater-$version-windows-x64.exe
for f in "$deb" "$tgz" "$zip" "$installer"; do
    [ -f "$f" ] || fail "cpack made no $f"
done
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is not $version"

# The archives: every program of the platform in one folder, with the README.
expect_listing() { # archive, the names expected in its folder
    local archive=$1 top
    shift
    top=$(basename "$archive" | sed 's/\.tar\.gz$//; s/\.zip$//')
    local want got
    want=$(printf "$top/%s\n" "$@" | sort)
    got=$(cmake -E tar tf "$archive" | grep -v '/$' | sort)
    [ "$got" = "$want" ] || fail "$archive holds"$'\n'"$got"$'\n'"instead of"$'\n'"$want"
}
expect_listing "$tgz" README.txt ZerquillUpdater ZerquillStation zerquill-flash zerquill-devsim zq-mkimage
expect_listing "$zip" README.txt ZerquillUpdater.exe ZerquillStation.exe zerquill-flash.exe zq-mkimage.exe
echo "packages: $tgz and $zip hold every program and the README"

echo "packages: lintian $(basename "$deb")"
status=0
lintian --fail-on error "$deb" >"$work/lintian.txt" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.txt" || true
[ "$status" -eq 0 ] || fail "lintian found errors"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/zerquill-station.desktop >"$work/station.desktop"
desktop-file-validate "$work/station.desktop" || fail "the desktop entry is not valid"

if ! dpkg-query -W -f='${Status}' zerquill-updater 2>/dev/null | grep -q "install ok installed"; then
    installed_here=1
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log" >&2; fail "apt-get install $deb failed"; }
echo "packages: installed $(basename "$deb")"

# Every installed program that answers --version gives the one version; the
# station window answers without a display.
for name in zerquill-flash ZerquillStation zerquill-devsim zq-mkimage; do
    [ "$(command -v "$name")" = "/usr/bin/$name" ] || fail "$name is not /usr/bin/$name on the PATH"
    if said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$name" --version 2>/dev/null); then
        [ "$said" = "$name $version" ] || fail "$name --version said '$said', not '$name $version'"
        echo "packages: $said"
    elif [ "$name" = zerquill-flash ] || [ "$name" = ZerquillStation ]; then
        fail "$name --version failed"
    fi
    page=$(man -w "$name") || fail "man -w $name found no page"
    [ "$page" = "/usr/share/man/man1/$name.1.gz" ] || fail "man -w $name gave $page"
done
echo "packages: man -w finds the page of every program"

# The station service: its unit as systemd reads it (for one instance: a
# template alone is not a unit), and the user the maintainer scripts made.
unit=/usr/lib/systemd/system/zerquill-station@.service
said=$(systemd-analyze verify "$unit:zerquill-station@check.service" 2>&1) ||
    fail "systemd-analyze verify rejects $unit:"$'\n'"$said"
[ -z "$said" ] || fail "systemd-analyze verify warns about $unit:"$'\n'"$said"
echo "packages: systemd-analyze verify $unit: no complaint"
id -nG zerquill | tr ' ' '\n' | grep -qx dialout || fail "the user zerquill is not in dialout: $(id zerquill 2>&1)"
[ "$(stat -c %U:%G:%a /var/lib/zerquill)" = zerquill:zerquill:750 ] ||
    fail "/var/lib/zerquill is $(stat -c %U:%G:%a /var/lib/zerquill)"
echo "packages: $(id zerquill), /var/lib/zerquill is its own"
tools/demo.sh --installed
if [ -n "$installed_here" ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -q zerquill-updater >/dev/null
    installed_here=
    getent passwd zerquill >/dev/null && fail "the purge left the user zerquill"
    [ ! -e /var/lib/zerquill ] || fail "the purge left /var/lib/zerquill"
    echo "packages: purged; the user zerquill and /var/lib/zerquill are gone"
fi

# The Windows archive, unpacked beside nothing else, under wine.
(cd "$work" && cmake -E tar xf "$OLDPWD/$zip")
folder=$work/$(basename "$zip" .zip)
wine_started=1
said=$(cmake/wine-run.sh build/windows "$folder/zerquill-flash.exe" --version | tr -d '\r')
[ "$said" = "zerquill-flash $version" ] || fail "zerquill-flash.exe --version said '$said' under wine"
echo "packages: $said (zerquill-flash.exe from the zip, under wine)"
for exe in zerquill-flash ZerquillStation zq-mkimage; do
    resource=$(strings -el "$folder/$exe.exe" | grep -A1 -x FileVersion | tail -1)
    [ "$resource" = "$version" ] || fail "$exe.exe's version resource says '$resource', not $version"
done
echo "packages: the version resources of zerquill-flash.exe, ZerquillStation.exe and zq-mkimage.exe say $version"
echo "packages: OK"
