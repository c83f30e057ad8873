#!/usr/bin/env bash
# Makes the documentation's pictures again from the real windows, each beside
# the simulated board on port 20, driven by real X key presses (xdotool): the
# port chosen by typing, "hello" sent with Enter, both speed tests run. The
# board is paced at 1000 KB/s, as a full-speed USB board might be.
#   docs/images/quorvel-linux.png     the Qt console in a real X11 window (a private Xvfb)
#   docs/images/quorvel-windows.png   Quorvel.exe under 64-bit Wine (tests/wine-screenshot.sh)
# Run it after the window changes; ./test.sh checks that both pictures are there.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

quorvel_install_missing "${QUORVEL_WINDOWS_PACKAGES[@]}"
quorvel_build build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
quorvel_build build/mingw-x86_64-release -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
images=$PWD/docs/images
mkdir -p "$images"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "screenshots: $*" >&2
    exit 1
}
source tests/window-keys.sh

# Linux: the board linked in a ports folder of this run's own, so that no
# link of the user's is touched.
Xvfb -displayfd 3 -screen 0 1024x768x24 -dpi 96 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
wait_for 100 grep -q "[0-9]" "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$work/display")" XDG_CONFIG_HOME=$work/config
sim=$PWD/build/release/quorvel-sim
"$sim" --port 20 --rate 1000 >"$work/sim" 2>&1 &
simpid=$!
pids+=($simpid)
wait_for 100 grep -q "board on port" "$work/sim" || fail "the simulator did not start: $(cat "$work/sim")"
QT_QPA_PLATFORM=xcb build/release/quorvel >"$work/console" 2>&1 &
pids+=($!)
window=
wait_for 100 find_window || fail "the console's window did not map: $(cat "$work/console")"
sleep 1
# No window manager here: the window is given the focus as one would give it.
xdotool windowfocus --sync "$window"
drive_window 3
import -window "$window" "$images/quorvel-linux.png"
kill -USR1 "$simpid"
wait_for 30 grep -q "received text" "$work/sim" || fail "the simulator gave no counts"
counts=$(grep "received text" "$work/sim" | tail -n 1)
[[ "$counts" == *"received text 5,"* && "$counts" == *"requests 1;"* ]] ||
    fail "the keys did not reach the console as meant (the board saw: $counts)"
echo "screenshots: $images/quorvel-linux.png (the board saw: $counts)"
cleanup
pids=()
work=$(mktemp -d)

# Windows: Quorvel.exe in Wine's virtual desktop, in a prefix of its own.
export WINEPREFIX=$PWD/build/mingw-x86_64-release/wineprefix
tests/wine-run.sh --new-prefix >/dev/null
paced=$work/quorvel-sim
printf '#!/bin/sh\nexec "%s" --rate 1000 "$@"\n' "$sim" >"$paced"
chmod +x "$paced"
tests/wine-screenshot.sh build/mingw-x86_64-release/Quorvel.exe "$paced" "$images/quorvel-windows.png"
