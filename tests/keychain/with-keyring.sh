#!/usr/bin/env bash
# with-keyring.sh PROGRAM [ARGUMENTS...]: runs PROGRAM in a private D-Bus session whose Secret
# Service is a throw-away gnome-keyring, so tests never touch the user's own keyring and parallel
# runs never share one. HOME, XDG_DATA_HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR point into a
# fresh temporary directory that is removed afterwards. The keyring's "login" collection is made
# and unlocked with a fixed password and is the default collection.
set -euo pipefail

for tool in dbus-run-session gnome-keyring-daemon gdbus; do
    if ! command -v "$tool" >/dev/null; then
        echo "with-keyring.sh: $tool is missing (scripts/install-deps.sh installs it)" >&2
        exit 1
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qmf-keyring.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/runtime"
export HOME="$scratch" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
    XDG_RUNTIME_DIR="$scratch/runtime"
unset DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL

# The daemon forks into the background, serves org.freedesktop.secrets on the session bus and
# ends with the bus when the program is done. Its output (the control variables) is not needed.
# It returns before it owns its name on the bus, so the program starts once the name is there.
dbus-run-session -- bash -c '
    printf "%s" qmf-test-keyring | gnome-keyring-daemon --unlock --components=secrets >/dev/null
    gdbus wait --session --timeout 30 org.freedesktop.secrets
    exec "$@"' with-keyring "$@" 2> >(grep -v "Failed to set fd limit" >&2)
