#!/usr/bin/env bash
# Installs what building, running and testing need (Debian 12, as root), then builds.
# Idempotent: packages already present are not touched, and apt is not called at all when
# nothing is missing.
#   scripts/setup.sh run    packages to build and run the application
#   scripts/setup.sh test   those and what the tests need
#   scripts/setup.sh plasma those and KDE Plasma, for bench/plasma_host.py (about 600 MB)
set -euo pipefail

profile=${1:-run}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")

build_packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-svg-dev libxcb1-dev libgl-dev libpng-dev
    libsecret-1-dev libplist-dev libcurl4-gnutls-dev libssh2-1-dev libssl-dev nlohmann-json3-dev
    libsystemd-dev libglib2.0-dev libfontconfig-dev
    librsvg2-bin
)
run_packages=(
    gnome-keyring libsecret-tools dbus dbus-x11 xdg-utils fonts-noto-cjk ca-certificates
    qt6-qpa-plugins
    fonts-noto-color-emoji
)
test_packages=(
    googletest libgtest-dev libgmock-dev
    xvfb xauth x11-utils python3 python3-gi gir1.2-glib-2.0 openssl
    dpkg-dev file lintian desktop-file-utils appstream
    kwin-wayland qt6-wayland
    gnome-shell gnome-shell-extension-appindicator libglib2.0-bin at-spi2-core gir1.2-atspi-2.0
    xdotool python3-pil
    clang libclang-rt-14-dev
)

plasma_packages=(plasma-desktop plasma-workspace kded5 kactivitymanagerd)

wanted=("${build_packages[@]}" "${run_packages[@]}")
case $profile in
    test) wanted+=("${test_packages[@]}") ;;
    plasma) wanted+=("${test_packages[@]}" "${plasma_packages[@]}") ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    if [ "$status" != installed ]; then
        missing+=("$package")
    fi
done

# The local service runs on Node.js. A machine that already has node and npm (from whatever
# source) keeps them; Debian's own packages fill the gap otherwise.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: these Debian packages are missing; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
