#!/usr/bin/env bash
# Runs the tool against the local chart service with the demo account and two
# demo cards. Installs and builds what is missing first. The tool starts with
# no card; a few seconds later the legacy card is "inserted" into a folder the
# tool's card watcher looks at, and the tool chooses it by itself.
#
#   scripts/demo.sh            fresh demo cards, terms shown on the very first run
#   scripts/demo.sh --rq       insert the RQ card instead, on the "RQ Updates" tab
#   scripts/demo.sh --reset    also forget the demo's settings (terms, e-mail)
#   scripts/demo.sh --slow     the service sends files slowly (about 200 KB/s), so
#                              that pause, a pulled card and "Verifying Card" can
#                              be watched
#   scripts/demo.sh --h2       the tool talks HTTPS to a front server (nginx) that
#                              speaks HTTP/2, as the production file servers do
#   scripts/demo.sh --cli      no window, no display needed: a shell where
#                              quorvel-cli talks to the local service and finds
#                              the demo cards ($DEMO_LEGACY_CARD, $DEMO_RQ_CARD);
#                              commands may also come on standard input
#
# Everything lives in $QUORVEL_DEMO_DIR (default ~/.cache/quorvel-demo); the
# tool's own settings of a normal run are not touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

start_card=legacy
reset=0
slow=0
front=0
cli=0
for arg in "$@"; do
    case "$arg" in
        --rq) start_card=rq ;;
        --reset) reset=1 ;;
        --slow) slow=1 ;;
        --h2) front=1 ;;
        --cli) cli=1 ;;
        -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "Unknown option: $arg (try --help)" >&2; exit 2 ;;
    esac
done

if [ "$cli" = 0 ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
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
if [ "$front" = 1 ]; then
    ensure_packages nginx python3 curl
    source scripts/front.sh
fi

build=${BUILD_DIR:-build}
# The build's own output goes to a log: what the user needs to read is what
# follows it.
mkdir -p "$build"
buildlog="$build/demo-build.log"
echo "Building the tool and the local chart service (log: $buildlog) ..."
if ! { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; } >"$buildlog" 2>&1 \
    || ! cmake --build "$build" -j"${JOBS:-2}" --target quorvel-download-tool quorvel-cli quorvel-chart-service \
        >>"$buildlog" 2>&1; then
    tail -n 30 "$buildlog" >&2
    echo "The build failed; the whole log is in $buildlog" >&2
    exit 1
fi
tool="$root/$build/quorvel-download-tool"
service="$root/$build/tools/chart-service/quorvel-chart-service"

demo=${QUORVEL_DEMO_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel-demo}
if [ "$reset" = 1 ]; then
    rm -rf "$demo"
fi
mkdir -p "$demo/data/SMN"

# Fresh cards every run: the service keeps its bindings in memory only, so
# cards from an earlier run would not match what it knows. "slot" stands for
# the computer's card reader: the watcher looks at every folder in it.
rm -rf "$demo/cards" "$demo/slot"
mkdir -p "$demo/cards" "$demo/slot"
"$service" make-card "$demo/cards/legacy" --kind velmora >/dev/null
"$service" make-card "$demo/cards/rq" --kind rq >/dev/null

case "$start_card" in
    rq) tab=0 ;;
    *) tab=1 ;;
esac

config="$demo/data/SMN/config.ini"
if [ ! -f "$config" ]; then
    # First run: the terms are shown once, the e-mail is filled in.
    printf '[General]\ntermsAgreed=0\nemail=demo@quorvel.test\n' > "$config"
fi
# Each run opens on the tab of the card it inserts, with no card chosen yet.
grep -v -e '^mediaIdFile=' -e '^Tab=' "$config" > "$config.new" || true
mv "$config.new" "$config"
grep -q '^\[General\]' "$config" || sed -i '1i [General]' "$config"
sed -i "/^\[General\]/a Tab=$tab" "$config"

slow_fault=()
if [ "$slow" = 1 ]; then
    # Every file of a product paced, so that a download lasts long enough to
    # be paused, to have its card pulled, and to be seen verifying the card.
    slow_fault=(--fault '{"kind":"throttle","path":"*/origin/*","count":-1,"bytes_per_second":200000}'
                --fault '{"kind":"throttle","path":"*/cdn/*","count":-1,"bytes_per_second":200000}')
fi
tls_args=()
[ "$front" = 1 ] && tls_args=(--tls-dir "$demo/tls")
"$service" --port 0 "${slow_fault[@]}" "${tls_args[@]}" > "$demo/service.out" 2> "$demo/service.log" &
service_pid=$!
trap '[ "$front" = 1 ] && stop_front; kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true' EXIT

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
ca_env=()
if [ "$front" = 1 ]; then
    for _ in $(seq 1 50); do
        grep -q '^ca=' "$demo/service.out" && break
        sleep 0.1
    done
    start_front "$url" "$demo/tls" "$demo" || exit 1
    url=$front_base
    ca_env=(QUORVEL_EXTRA_CA_FILE="$demo/tls/ca.pem")
fi

if [ "$cli" = 1 ]; then
    cat <<MSG
Local chart service: $url   (log: $demo/service.log)
The demo account is signed in from the environment; the demo cards are
    \$DEMO_LEGACY_CARD  $demo/cards/legacy  (Velmora/Talvo, holds VM-ARD-01)
    \$DEMO_RQ_CARD      $demo/cards/rq      (RQ chart "4321-1", an update waits)
Try:
    quorvel-cli cards
    quorvel-cli products --card "\$DEMO_LEGACY_CARD"
    quorvel-cli download VM-BRE-02 --replace --card "\$DEMO_LEGACY_CARD"
                                 (replaces VM-ARD-01; Ctrl-C pauses, run it again)
    quorvel-cli verify VM-BRE-02 --card "\$DEMO_LEGACY_CARD"
    quorvel-cli update --card "\$DEMO_RQ_CARD"
Leave the shell (exit, or Ctrl-D) to stop the local chart service.
MSG
    set +e
    # The demo's own data folder, and only its cards: a card in the
    # computer's reader is not the demo's business.
    env "${ca_env[@]}" XDG_DATA_HOME="$demo/data" QUORVEL_SERVICE_URL="$url" \
        QUORVEL_EMAIL=demo@quorvel.test QUORVEL_PASSWORD=Demo-Pass-2024 \
        QUORVEL_CARD_WATCH_DIRS="$demo/cards" QUORVEL_CARD_WATCH_MOUNTS=0 \
        DEMO_LEGACY_CARD="$demo/cards/legacy" DEMO_RQ_CARD="$demo/cards/rq" \
        PATH="$root/$build/cli:$PATH" PS1='(quorvel demo) \$ ' bash --norc
    code=$?
    set -e
    echo "Stopping the local chart service."
    exit "$code"
fi

cat <<MSG
Local chart service: $url   (log: $demo/service.log)

Sign in with the demo account:
    e-mail:   demo@quorvel.test
    password: Demo-Pass-2024

A few seconds after you sign in, the $start_card card is put into
$demo/slot and the tool finds and chooses it by itself. Both cards can also be chosen
with "Select SD Card" and their ENCRYPT.TXT:
    legacy card (Velmora/Talvo, holds VM-ARD-01): $demo/cards/legacy/ENCRYPT.TXT
    RQ card (chart "4321-1", an update waits):    $demo/cards/rq/ENCRYPT.TXT
Try "VM-BRE-02" on the "Legacy Charts" tab, or "Update" on the "RQ Updates" tab.
Take a card out (rm -r $demo/slot/CARD) while it downloads: the download pauses.

Tool settings and log: $demo/data/SMN
MSG

case "$start_card" in
    rq) inserted="$demo/cards/rq" ;;
    *) inserted="$demo/cards/legacy" ;;
esac
# Put in a few seconds after "Sign In" is pressed (which stores "rememberMe"),
# once the main window is up; a copy, so the original stays for browsing to.
grep -v '^rememberMe=' "$config" > "$config.new" || true
mv "$config.new" "$config"
(
    for _ in $(seq 1 6000); do
        grep -q '^rememberMe=' "$config" 2>/dev/null && break
        sleep 0.2
    done
    sleep 4
    cp -r "$inserted" "$demo/slot/CARD.part" && mv "$demo/slot/CARD.part" "$demo/slot/CARD"
) &

set +e
# The tool watches only the demo's slot: a card in the computer's own reader
# is not the demo's business.
env "${ca_env[@]}" XDG_DATA_HOME="$demo/data" QUORVEL_SERVICE_URL="$url" QUORVEL_CARD_WATCH_DIRS="$demo/slot" \
    QUORVEL_CARD_WATCH_MOUNTS=0 "$tool"
code=$?
set -e
echo "The tool exited with code $code; stopping the local chart service."
exit "$code"
