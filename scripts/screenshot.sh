#!/usr/bin/env bash
# Photographs the main window for the README: starts the local chart service
# (the download slowed down so that it is caught half-way), starts the tool
# under Xvfb with no card chosen, "inserts" a demo card a few seconds later
# into a folder the card watcher looks at, and lets tools/window-driver sign
# in, wait for the watcher to choose the card, and start a download.
#
#   scripts/screenshot.sh [folder]   (default docs/)
#
# Writes screenshot-card-found.png (the card chosen by the watcher),
# screenshot-main-window.png (default size, downloading),
# screenshot-maximised.png (the window as large as a 1920x1080 screen) and
# screenshot-close-confirmation.png (closing while the download runs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-docs}
case "$out" in /*) ;; *) out="$root/$out" ;; esac

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" xvfb xauth

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

mkdir -p "$work/data/SMN" "$work/cards" "$work/shots"
cat > "$work/data/SMN/config.ini" <<INI
[General]
termsAgreed=1
Tab=1
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

export QUORVEL_SERVICE_URL="$url" XDG_DATA_HOME="$work/data" HOME="$work" \
       QUORVEL_CARD_WATCH_DIRS="$work/cards" \
       DRIVER="$driver" SERVICE="$service" WORK="$work"
xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
    "$DRIVER" --wait-card --product VM-BRE-02 --tab 1 --percent 25 --shots "$WORK/shots" \
        --ready-file "$WORK/ready" &
    pid=$!
    # The card goes in once the window is up, as a user would put it in.
    sleep 4
    "$SERVICE" make-card "$WORK/cards/CARD" --kind velmora >/dev/null
    for _ in $(seq 1 900); do
        [ -f "$WORK/ready" ] && break
        kill -0 $pid 2>/dev/null || exit 1
        sleep 0.1
    done
    [ -f "$WORK/ready" ] || { kill $pid; exit 1; }
    kill $pid
    wait $pid 2>/dev/null
    exit 0
'
mkdir -p "$out"
cp "$work/shots/main-card-found.png" "$out/screenshot-card-found.png"
cp "$work/shots/main-downloading.png" "$out/screenshot-main-window.png"
cp "$work/shots/main-maximised.png" "$out/screenshot-maximised.png"
cp "$work/shots/close-confirmation.png" "$out/screenshot-close-confirmation.png"
cp "$work"/shots/*.png "$out/" 2>/dev/null || true
echo "Wrote the screenshots to $out"
