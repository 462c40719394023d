#!/usr/bin/env bash
# Builds the .deb from this checkout, inspects it (dpkg-deb, lintian, the
# desktop and AppStream validators), installs it with apt-get into a fresh
# Debian 12 root made by debootstrap, and checks there that the installed tool
# answers --version and opens its window on a virtual X display.
#
# Slow (a few minutes; the debootstrap tarball is cached under build/), so not
# part of scripts/test.sh. Needs root for debootstrap, mount and chroot.
# NO_CHROOT=1 stops after the inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}" "${DEB_PACKAGES[@]}"

jobs=${JOBS:-2}
out=${DEB_BUILD_DIR:-build-deb}
cache=build/debootstrap
suite=bookworm
mirror=${MIRROR:-$(sed -n 's/^URIs: *\(http[^ ]*\/debian\)$/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)}
mirror=${mirror:-http://deb.debian.org/debian}

say() { echo "== $*"; }
fail() { echo "check-deb: FAILED: $*" >&2; exit 1; }

# --- build the package ------------------------------------------------------
generator=("-G" "Unix Makefiles")
command -v ninja >/dev/null && generator=("-G" "Ninja")
# One commit, one package: dates inside come from the commit, not the clock.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
say "building the package in $out"
cmake -S . -B "$out" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_TOOLS=OFF
cmake --build "$out" -j"$jobs"
rm -f "$out"/*.deb
(cd "$out" && cpack -G DEB)
deb=$(ls "$out"/quorvel-download-tool_*.deb)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
say "package: $deb"

# --- inspect it -------------------------------------------------------------
dpkg-deb --info "$deb"
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '/$' | sort)
echo "$contents"
expected=$(cat <<LIST | sort
./usr/bin/quorvel-cli
./usr/bin/quorvel-download-tool
./usr/share/applications/quorvel-download-tool.desktop
./usr/share/doc/quorvel-download-tool/changelog.gz
./usr/share/doc/quorvel-download-tool/copyright
./usr/share/icons/hicolor/128x128/apps/quorvel-download-tool.png
./usr/share/icons/hicolor/16x16/apps/quorvel-download-tool.png
./usr/share/icons/hicolor/256x256/apps/quorvel-download-tool.png
./usr/share/icons/hicolor/32x32/apps/quorvel-download-tool.png
./usr/share/icons/hicolor/48x48/apps/quorvel-download-tool.png
./usr/share/icons/hicolor/64x64/apps/quorvel-download-tool.png
./usr/share/man/man1/quorvel-cli.1.gz
./usr/share/man/man1/quorvel-download-tool.1.gz
./usr/share/metainfo/example.quorvel.DownloadTool.metainfo.xml
LIST
)
[ "$contents" = "$expected" ] || { diff <(echo "$expected") <(echo "$contents") || true; fail "unexpected package contents"; }
depends=$(dpkg-deb --field "$deb" Depends)
# The linked libraries come from dpkg-shlibdeps; the platform plugins are loaded
# at run time and must be named by hand.
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libjemalloc2 qt6-qpa-plugins; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

extract=$(mktemp -d)
trap 'rm -rf "$extract"' EXIT
dpkg-deb --extract "$deb" "$extract"
desktop-file-validate "$extract/usr/share/applications/quorvel-download-tool.desktop"
appstreamcli validate --no-net "$extract/usr/share/metainfo/example.quorvel.DownloadTool.metainfo.xml"

say "lintian"
# Errors fail the check; warnings are printed for a person to judge.
lintian --fail-on error --info --display-level ">=warning" "$deb"

if [ "${NO_CHROOT:-0}" = 1 ]; then
    say "inspection passed; install test skipped (NO_CHROOT=1)"
    exit 0
fi

# --- install it on a clean Debian 12 ----------------------------------------
[ "$(id -u)" -eq 0 ] || fail "the install test needs root (debootstrap, chroot); NO_CHROOT=1 skips it"
mkdir -p "$cache"
tarball=$repo/$cache/$suite-minbase.tgz
root=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-deb-root.XXXXXX")
# apt drops to its own user for downloads; it must be able to walk the root.
chmod 755 "$root"
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    for m in tmp/.X11-unix dev/pts dev proc sys; do
        mountpoint -q "$root/$m" && umount -l "$root/$m"
    done
    rm -rf "$root" "$extract"
}
trap cleanup EXIT

if [ ! -s "$tarball" ]; then
    say "making the debootstrap tarball (once): $tarball"
    debootstrap --variant=minbase --make-tarball="$tarball" "$suite" "$root/work" "$mirror"
    rm -rf "${root:?}/work"
fi
say "unpacking a fresh $suite root in $root"
debootstrap --variant=minbase --unpack-tarball="$tarball" "$suite" "$root" "$mirror" >/dev/null
cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
deb ${mirror%/debian}/debian-security $suite-security main
SOURCES
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

say "apt-get install ./$(basename "$deb") in the clean root"
in_root apt-get update -qq
# Without recommends: the package's own dependencies must be enough.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" </dev/null

say "quorvel-download-tool --version"
answer=$(in_root quorvel-download-tool --version)
echo "$answer"
[ "$answer" = "Quorvel Download Tool $version" ] || fail "--version said '$answer'"
say "quorvel-cli --version"
answer=$(in_root quorvel-cli --version)
echo "$answer"
[ "$answer" = "quorvel-cli $version" ] || fail "quorvel-cli --version said '$answer'"

say "starting the installed tool on a virtual display"
display=:$((90 + RANDOM % 100))
mkdir -p "$root/tmp/.X11-unix"
Xvfb "$display" -screen 0 1400x900x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -S "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.2; done
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
in_root sh -c "mkdir -p /tmp/home && cd /tmp/home && HOME=/tmp/home XDG_RUNTIME_DIR= DISPLAY=$display \
    QUORVEL_SERVICE_URL=http://127.0.0.1:9 QT_QPA_PLATFORM=xcb quorvel-download-tool >/tmp/tool.log 2>&1 & echo \$! >/tmp/tool.pid"
window=
for _ in $(seq 100); do
    window=$(DISPLAY=$display xwininfo -root -tree 2>/dev/null \
        | grep '("quorvel-download-tool"' | awk '{print $1}' | while read -r id; do
            DISPLAY=$display xwininfo -id "$id" | grep -q 'Map State: IsViewable' && echo "$id"
        done | head -1) || true
    [ -n "$window" ] && break
    sleep 0.3
done
shot=$repo/$out/installed-window.png
DISPLAY=$display import -window root "$shot" || true
[ -n "$window" ] && DISPLAY=$display xwininfo -id "$window" | sed -n '2p;/Width\|Height\|Map State/p'
tool_pid=$(cat "$root/tmp/tool.pid")
alive=no
kill -0 "$tool_pid" 2>/dev/null && alive=yes
kill "$tool_pid" 2>/dev/null || true
[ -n "$window" ] || { cat "$root/tmp/tool.log"; fail "no window of the installed tool appeared (alive: $alive)"; }
say "window $window shown; screenshot: $shot"
say "all checks passed"
