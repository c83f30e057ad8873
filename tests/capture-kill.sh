#!/usr/bin/env bash
# A capture that the system kills: `quorvel --capture FILE` in a real X window
# (a private Xvfb) beside the simulator streaming text on port 20, the port
# chosen by X key presses, then SIGKILL mid-stream. The file must be a prefix
# of what the board sent, short by at most about a second of it.
#   capture-kill.sh SIM CONSOLE
set -uo pipefail
sim=$1 console=$2
rate=300  # KB/s
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "capture-kill: $*" >&2
    exit 1
}
source "$(dirname "$0")/window-keys.sh"
start_display
export XDG_CONFIG_HOME=$work/config  # the board linked in a ports folder of the run's own

"$sim" --port 20 --stream "$rate" >"$work/sim" 2>&1 &
simpid=$!
pids+=($simpid)
wait_for 100 grep -q "board on port" "$work/sim" || fail "the simulator did not start: $(cat "$work/sim")"
QT_QPA_PLATFORM=xcb "$console" --capture "$work/capture.bin" >"$work/console" 2>&1 &
console=$!
pids+=($console)
window=
wait_for 300 find_window || fail "the console's window did not map: $(cat "$work/console")"
sleep 1
xdotool windowfocus --sync "$window"
choose_port_20
size() { stat -c %s "$work/capture.bin" 2>/dev/null || echo 0; }
grown() { [ "$(size)" -gt $((2 * rate * 1024)) ]; }
wait_for 100 grown || fail "the file did not grow: $(size) bytes; $(cat "$work/console")"
# It grew just now, at a write: the kill comes just before the next one, where the most is missing.
sleep 0.45
kill -KILL "$console"
wait "$console" 2>/dev/null
kill -USR1 "$simpid"
wait_for 30 grep -q "received text" "$work/sim" || fail "the simulator gave no counts"
sent=$(grep "received text" "$work/sim" | tail -n 1 | sed 's/.*; sent //')
# What the board sends: numbered lines, the same every run. The pseudo-terminal
# holds up to 64 KB that the board counts as sent and the console never read.
python3 - "$work/capture.bin" "$sent" "$((rate * 1024))" <<'PY' || exit 1
import sys
got, sent, second = open(sys.argv[1], "rb").read(), int(sys.argv[2]), int(sys.argv[3])
stream, n = bytearray(), 0
while len(stream) < len(got):
    n += 1
    stream += b"line %08d the quick brown fox jumps over the lazy dog 0123456789\r\n" % n
short = sent - len(got)
print(f"capture-kill: {len(got)} bytes in the file of {sent} sent: short by {short} ({short / second:.2f} s of the stream)")
if bytes(stream[:len(got)]) != got:
    sys.exit("capture-kill: the file is not a prefix of what the board sent")
if short > second + 64 * 1024:
    sys.exit("capture-kill: more than a second of the stream is missing")
PY
