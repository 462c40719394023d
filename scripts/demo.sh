#!/usr/bin/env bash
# Runs the tool against the local chart service with the demo account and two
# demo cards. Installs and builds what is missing first.
#
#   scripts/demo.sh            fresh demo cards, terms shown on the very first run
#   scripts/demo.sh --rq       start with the RQ card chosen instead of the legacy card
#   scripts/demo.sh --reset    also forget the demo's settings (terms, e-mail, tab)
#
# Everything lives in $QUORVEL_DEMO_DIR (default ~/.cache/quorvel-demo); the
# tool's own settings of a normal run are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

start_card=legacy
reset=0
for arg in "$@"; do
    case "$arg" in
        --rq) start_card=rq ;;
        --reset) reset=1 ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "Unknown option: $arg (try --help)" >&2; exit 2 ;;
    esac
done

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    cat >&2 <<'MSG'
No display found. The tool is a desktop application; run the demo inside a
virtual X server and look at it with a VNC viewer or screenshots, e.g.:

    xvfb-run -a -s "-screen 0 1400x900x24" scripts/demo.sh

(Debian: apt-get install xvfb xauth; scripts/screenshot.sh shows a way to take
a picture of the window.)
MSG
    exit 2
fi

source scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j"${JOBS:-2}" --target quorvel-download-tool quorvel-chart-service
tool="$root/$build/quorvel-download-tool"
service="$root/$build/tools/chart-service/quorvel-chart-service"

demo=${QUORVEL_DEMO_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-demo}
if [ "$reset" = 1 ]; then
    rm -rf "$demo"
fi
mkdir -p "$demo/data/SMN"

# Fresh cards every run: the service keeps its bindings in memory only, so
# cards from an earlier run would not match what it knows.
rm -rf "$demo/cards"
mkdir -p "$demo/cards"
"$service" make-card "$demo/cards/legacy" --kind velmora >/dev/null
"$service" make-card "$demo/cards/rq" --kind rq >/dev/null

case "$start_card" in
    rq) card="$demo/cards/rq/ENCRYPT.TXT"; tab=0 ;;
    *) card="$demo/cards/legacy/ENCRYPT.TXT"; tab=1 ;;
esac

config="$demo/data/SMN/config.ini"
if [ ! -f "$config" ]; then
    # First run: the terms are shown once, the e-mail is filled in.
    cat > "$config" <<INI
[General]
termsAgreed=0
email=demo@quorvel.test
Tab=$tab
mediaIdFile=$card
INI
else
    grep -v '^mediaIdFile=' "$config" > "$config.new" || true
    mv "$config.new" "$config"
    sed -i "/^\[General\]/a mediaIdFile=$card" "$config"
    grep -q '^\[General\]' "$config" || printf '[General]\nmediaIdFile=%s\n' "$card" >> "$config"
fi

"$service" --port 0 > "$demo/service.out" 2> "$demo/service.log" &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT

url=
for _ in $(seq 1 150); do
    url=$(head -n1 "$demo/service.out" 2>/dev/null || true)
    [ -n "$url" ] && break
    if ! kill -0 "$service_pid" 2>/dev/null; then
        echo "The local chart service did not start; see $demo/service.log" >&2
        exit 1
    fi
    sleep 0.1
done
if [ -z "$url" ]; then
    echo "The local chart service did not report its address; see $demo/service.log" >&2
    exit 1
fi

cat <<MSG
Local chart service: $url   (log: $demo/service.log)

Sign in with the demo account:
    e-mail:   demo@quorvel.test
    password: Demo-Pass-2024

Demo cards (choose one with "Select SD Card" and its ENCRYPT.TXT):
    legacy card (Velmora/Talvo, holds VM-ARD-01): $demo/cards/legacy/ENCRYPT.TXT
    RQ card (chart "  4321-1", an update waits):  $demo/cards/rq/ENCRYPT.TXT
Chosen at start: the $start_card card.
Try "VM-BRE-02" on the "Legacy Charts" tab, or "Update" on the "RQ Updates" tab.

Tool settings and log: $demo/data/SMN
MSG

set +e
XDG_DATA_HOME="$demo/data" QUORVEL_SERVICE_URL="$url" "$tool"
code=$?
set -e
echo "The tool exited with code $code; stopping the local chart service."
exit "$code"
