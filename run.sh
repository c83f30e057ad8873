#!/usr/bin/env bash
# Installs what is missing, builds the console in Release and starts it beside
# a simulated board on port 20.
#   ./run.sh                    console and simulator
#   ./run.sh --rate 256 ...     simulator options (see build/release/quorvel-sim --help)
#   ./run.sh --no-sim           console alone, for real boards
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "quorvel: no display available (DISPLAY and WAYLAND_DISPLAY are unset); start it from a desktop session, or try it with xvfb-run ./run.sh" >&2
    exit 1
fi

quorvel_install_missing
quorvel_build build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

if [ "${1:-}" = "--no-sim" ]; then
    exec build/release/quorvel
fi

port=20
link="${XDG_CONFIG_HOME:-$HOME/.config}/quorvel/ports/com$port"
case "${XDG_CONFIG_HOME:-}" in /*) ;; *) link="$HOME/.config/quorvel/ports/com$port" ;; esac
rm -f "$link"
build/release/quorvel-sim --port "$port" "$@" &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -L "$link" ] && break
    kill -0 "$sim" 2>/dev/null || { echo "quorvel: the simulator did not start" >&2; exit 1; }
    sleep 0.1
done
echo "quorvel: a simulated board is on port $port: choose \"$port\" in the port list at the top right."
build/release/quorvel
