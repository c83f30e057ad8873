#!/usr/bin/env bash
# Installs what is missing, builds the console in Release and starts it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "quorvel: no display available (DISPLAY and WAYLAND_DISPLAY are unset); start it from a desktop session, or try it with xvfb-run ./run.sh" >&2
    exit 1
fi

quorvel_install_missing
quorvel_build build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
exec build/release/quorvel "$@"
