#!/usr/bin/env bash
# Quorvel.exe as a person meets it under Wine: on an X display of its own
# (Xvfb), in Wine's virtual desktop, beside the board simulator on COM20, and
# driven by real X key presses (xdotool): choose port 20 by typing, send
# "hello" with Enter, run both speed tests. The board's own counts must show
# what the keys did, and the window is saved as a screenshot for a person to
# look at.
#
#   wine-screenshot.sh QUORVEL.EXE QUORVEL-SIM OUT.png
#
# $WINEPREFIX must be a prefix made by wine-run.sh --new-prefix.
set -euo pipefail

exe=$1 sim=$2 shot=$3
WINE=${WINE:-/usr/lib/wine/wine64}
export WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
fail() {
    echo "wine-screenshot: $*" >&2
    exit 1
}
[ -f "$WINEPREFIX/system.reg" ] || fail "no prefix at $WINEPREFIX"
for tool in Xvfb xdotool import; do command -v "$tool" >/dev/null || fail "no $tool (install xvfb, xdotool, imagemagick)"; done

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    "$WINESERVER" -k 2>/dev/null || true
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/window-keys.sh"

start_display

"$sim" --port 20 --folder "$WINEPREFIX/dosdevices" >"$work/sim" 2>&1 &
simpid=$!
pids+=($simpid)
wait_for 100 grep -q "board on port" "$work/sim" || fail "the simulator did not start: $(cat "$work/sim")"

# The desktop fills the screen, so its coordinates are the screen's.
"$WINE" explorer /desktop=quorvel,1024x768 "$exe" >"$work/wine" 2>&1 &
pids+=($!)
desktop=
find_desktop() { desktop=$(xdotool search --name "Wine desktop" 2>/dev/null | head -n 1); [ -n "$desktop" ]; }
wait_for 300 find_desktop || fail "Wine's desktop did not come up"
sleep 3  # the window draws itself

# Keys go to the window under the pointer (no window manager here); the focus starts in the text box.
xdotool mousemove 10 10
drive_window 4

import -window root "$work/screen.png"
convert "$work/screen.png" -crop 560x500+336+220 +repage "$shot"
kill -USR1 "$simpid"
wait_for 30 grep -q "received text" "$work/sim" || fail "the simulator gave no counts"
counts=$(grep "received text" "$work/sim" | tail -n 1)
echo "wine-screenshot: the board saw: $counts"
echo "wine-screenshot: the window is in $shot"
[[ "$counts" == *"received text 5,"* ]] || fail "the typed \"hello\" did not reach the board as 5 bytes"
[[ "$counts" == *"announces 1, upload 262144"* ]] || fail "the upload test did not run from the keyboard"
[[ "$counts" == *"requests 1;"* ]] || fail "the download test did not run from the keyboard"
