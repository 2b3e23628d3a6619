#!/usr/bin/env bash
# Installs everything QMFoundation needs to build, test, fuzz and benchmark on Debian 12.
# Idempotent and quiet when every package is already present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-tools-dev qt6-l10n-tools libssl-dev libicu-dev tzdata
    libgtest-dev libgmock-dev googletest libbenchmark-dev libdtl-dev
    # The URL encoding tests compare with Python's urllib.parse.quote().
    python3
    # MIME types by file name (platform/QMFileManager) come from the shared MIME database.
    shared-mime-info
    clang libclang-rt-14-dev clang-format
    # The fuzz preset checks the libraries with clazy while compiling them (QMF_CLAZY).
    clazy
    openssl
    # The reachability tests set up links and routes in network namespaces of their own with ip.
    iproute2
    # qmf-explorer's widget tests: one run in a real X server, and fonts for its screenshots.
    xvfb xauth fonts-dejavu-core
    # The credential store: the desktop keyring (libsecret) and keychain files (libsodium); its
    # tests run a throw-away gnome-keyring in a private D-Bus session (dbus-run-session), wait for
    # it with gdbus, and check that secret-tool and the library see each other's items.
    libsecret-1-dev libsodium-dev dbus gnome-keyring libglib2.0-bin libsecret-tools
    # The object store: Qt SQL's SQLite driver, and SQLite's own header for the functions the
    # store adds to its connections (the driver and the library share one libsqlite3).
    libqt6sql6-sqlite libsqlite3-dev
    # The PostgreSQL store: Qt SQL's PostgreSQL driver; its tests start a throw-away server.
    libqt6sql6-psql postgresql
    # The API reference (the docs target) from the public headers.
    doxygen
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
