#!/bin/sh
# Runs a test binary against a fresh gnome-keyring whose login keyring is unlocked with the
# password "pw". Meant to run inside `dbus-run-session`, so the bus and the daemon are private.
set -eu

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zandorin-keyring.XXXXXX")

keyring_pid() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.GetConnectionUnixProcessID org.freedesktop.secrets \
        2>/dev/null | sed -n 's/.*uint32 \([0-9]*\).*/\1/p'
}

cleanup() {
    # The test may have restarted or paused the daemon; whichever one owns the name now is ours.
    pid=$(keyring_pid)
    if [ -n "$pid" ]; then
        kill -CONT "$pid" 2>/dev/null || true
        kill -TERM "$pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

export HOME="$scratch/home"
export XDG_DATA_HOME="$scratch/data"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_CACHE_HOME="$scratch/cache"
# The daemon's control socket lives here; a shared one would let --unlock reach another daemon.
export XDG_RUNTIME_DIR="$scratch/run"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
# Without a display the unlock prompter gives up at once instead of waiting for a click.
unset DISPLAY WAYLAND_DISPLAY

# --unlock exits 0 whatever happens and before the daemon owns its name.
printf pw | gnome-keyring-daemon --unlock --components=secrets >/dev/null
gdbus wait --session --timeout 10 org.freedesktop.secrets

"$@"
