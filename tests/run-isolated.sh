#!/usr/bin/env bash
# Runs one test binary offscreen with throw-away HOME and XDG folders.
set -u
root=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-test.XXXXXX")
trap 'chmod -R u+w "$root" 2>/dev/null; rm -rf "$root"' EXIT
mkdir -p "$root/home" "$root/data" "$root/config" "$root/cache" "$root/runtime" "$root/tmp"
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_DATA_HOME="$root/data" XDG_CONFIG_HOME="$root/config" \
       XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" TMPDIR="$root/tmp" \
       QT_QPA_PLATFORM=offscreen QUORVEL_CARD_WATCH_MOUNTS=0
unset QUORVEL_SERVICE_URL
"$@"
