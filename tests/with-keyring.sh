#!/usr/bin/env bash
# Runs one test on a private session bus with a Secret Service of its own:
# gnome-keyring-daemon, its login keyring made and unlocked for the test in the
# test's own XDG folders (run-isolated.sh, which runs this, provides them).
set -u
if [ -z "${QUORVEL_KEYRING_BUS:-}" ]; then
    export QUORVEL_KEYRING_BUS=1
    exec dbus-run-session -- "$0" "$@"
fi
# The desktop decides which backend the keyring library picks; the test wants
# the Secret Service whatever desktop it was started from, and prompts that
# fail at once rather than windows on the developer's screen.
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID \
      DISPLAY WAYLAND_DISPLAY

# The password guards only this throw-away keyring.
printf '%s' quorvel-test-keyring | gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null' EXIT
if ! gdbus wait --session --timeout 30 org.freedesktop.secrets; then
    echo "with-keyring.sh: the keyring daemon did not come up on the bus" >&2
    exit 1
fi
"$@"
