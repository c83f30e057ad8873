#!/usr/bin/env bash
# Installs what is missing, builds the console in Release and starts it beside
# a simulated board on port 20.
#   ./run.sh                    console and simulator
#   ./run.sh --rate 256 ...     simulator options (see build/release/quorvel-sim --help)
#   ./run.sh --no-sim           console alone, for real boards
#   ./run.sh --wine [...]       the Windows console, Quorvel.exe, under Wine
#                               beside the simulator (options as above)
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "quorvel: no display available (DISPLAY and WAYLAND_DISPLAY are unset); start it from a desktop session, or try it with xvfb-run ./run.sh" >&2
    exit 1
fi

wine=no
if [ "${1:-}" = "--wine" ]; then
    wine=yes
    shift
    quorvel_install_missing g++-mingw-w64-x86-64-posix wine64
else
    quorvel_install_missing
fi
quorvel_build build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

if [ "${1:-}" = "--no-sim" ] && [ "$wine" = no ]; then
    exec build/release/quorvel
fi

# start_board LINK [SIMULATOR OPTIONS...]: the simulated board on port 20,
# linked as LINK, until this script ends.
port=20
start_board() {
    local link=$1
    shift
    rm -f "$link"
    build/release/quorvel-sim --port "$port" "$@" &
    sim=$!
    trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        [ -L "$link" ] && return 0
        kill -0 "$sim" 2>/dev/null || { echo "quorvel: the simulator did not start" >&2; exit 1; }
        sleep 0.1
    done
    echo "quorvel: the simulator did not link $link" >&2
    exit 1
}

if [ "$wine" = yes ]; then
    # The 64-bit Quorvel.exe in a Wine prefix of its own, the board linked
    # into the prefix's dosdevices as COM20.
    quorvel_build build/mingw-x86_64-release -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    export WINEPREFIX=${WINEPREFIX:-$PWD/build/wineprefix}
    export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
    [ -f "$WINEPREFIX/system.reg" ] || tests/wine-run.sh --new-prefix
    if [ "${1:-}" = "--no-sim" ]; then
        exec /usr/lib/wine/wine64 build/mingw-x86_64-release/Quorvel.exe
    fi
    start_board "$WINEPREFIX/dosdevices/com$port" --folder "$WINEPREFIX/dosdevices" "$@"
    echo "quorvel: a simulated board is on COM$port: choose \"$port\" in the port list at the top right."
    /usr/lib/wine/wine64 build/mingw-x86_64-release/Quorvel.exe
    exit 0
fi

link="${XDG_CONFIG_HOME:-$HOME/.config}/quorvel/ports/com$port"
case "${XDG_CONFIG_HOME:-}" in /*) ;; *) link="$HOME/.config/quorvel/ports/com$port" ;; esac
start_board "$link" "$@"
echo "quorvel: a simulated board is on port $port: choose \"$port\" in the port list at the top right."
build/release/quorvel
