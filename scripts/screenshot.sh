#!/usr/bin/env bash
# Photographs the main window with a product downloading, for the README:
# starts the local chart service (the download slowed down so that it is
# caught half-way), makes a demo card, lets tools/window-driver sign in and
# start the download under Xvfb, and takes the picture with ImageMagick.
#
#   scripts/screenshot.sh [output.png]   (default docs/screenshot-main-window.png)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-docs/screenshot-main-window.png}
case "$out" in /*) ;; *) out="$root/$out" ;; esac

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" xvfb xauth imagemagick

build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j"${JOBS:-2}" --target quorvel-window-driver quorvel-chart-service
driver="$root/$build/tools/window-driver/quorvel-window-driver"
service="$root/$build/tools/chart-service/quorvel-chart-service"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-shot.XXXXXX")
service_pid=
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$service" make-card "$work/card" --kind velmora >/dev/null
mkdir -p "$work/data/SMN"
cat > "$work/data/SMN/config.ini" <<INI
[General]
termsAgreed=1
Tab=1
mediaIdFile=$work/card/ENCRYPT.TXT
INI

"$service" --port 0 \
    --fault '{"kind":"throttle","path":"*/VMBRE02/*","count":-1,"bytes_per_second":120000}' \
    > "$work/service.out" 2> "$work/service.log" &
service_pid=$!
for _ in $(seq 1 150); do
    [ -s "$work/service.out" ] && break
    sleep 0.1
done
url=$(head -n1 "$work/service.out")
[ -n "$url" ] || { echo "The local chart service did not start" >&2; exit 1; }

mkdir -p "$(dirname "$out")"
export QUORVEL_SERVICE_URL="$url" XDG_DATA_HOME="$work/data" HOME="$work" \
       DRIVER="$driver" READY="$work/ready" OUT="$out"
xvfb-run -a -s "-screen 0 1190x667x24" bash -c '
    "$DRIVER" --product VM-BRE-02 --tab 1 --percent 25 --ready-file "$READY" &
    pid=$!
    for _ in $(seq 1 900); do
        [ -f "$READY" ] && break
        kill -0 $pid 2>/dev/null || exit 1
        sleep 0.1
    done
    [ -f "$READY" ] || { kill $pid; exit 1; }
    sleep 0.5
    import -window root "$OUT"
    kill $pid
    wait $pid 2>/dev/null
    exit 0
'
echo "Wrote $out"
