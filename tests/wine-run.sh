#!/usr/bin/env bash
# Runs a Windows test program under Wine ($WINE: 64-bit by default, or the
# 32-bit loader) and passes only when the program itself reported a passing
# run: Wine can exit 0 and print nothing when an executable did not load, so
# the exit status alone proves nothing.
#
#   wine-run.sh --new-prefix
#       makes a fresh $WINEPREFIX (removing one that this script made before),
#       with Wine's fonts in its Fonts folder
#   wine-run.sh [--x11] [--free N]... [--sim "SIM OPTIONS"]... [--cable NULLMODEM A B FREE] PROGRAM.exe [ARGS...]
#       runs the program in $WINEPREFIX; with --x11, on an X display of its
#       own (Xvfb); each --free removes port N's link (Wine links COM1 to the
#       machine's own serial port); each --sim starts the host's board simulator with those
#       options, linked into the prefix's dosdevices; with --cable, ports A and
#       B are first joined like a null-modem cable by the host's
#       quorvel-nullmodem, and the free port's link is removed
#
# The program must end its output with the plain C++ tests' summary,
# "N passed, 0 failed, M skipped", with N at least 1.
set -euo pipefail

WINE=${WINE:-/usr/lib/wine/wine64}
# Debian's wrapper starts the server with no lingering (-p0), so that waiting
# for it at the end takes two seconds rather than five.
export WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and asking for them would stall.
export WINEDLLOVERRIDES="mscoree,mshtml="

fail() {
    echo "wine-run: $*" >&2
    exit 1
}

[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set"
[ -x "$WINE" ] || fail "no Wine at $WINE (install Debian's wine64)"

# Marks a prefix this script made, so that it never removes anyone else's.
marker=.quorvel-test-prefix

if [ "${1:-}" = "--new-prefix" ]; then
    if [ -e "$WINEPREFIX" ]; then
        [ -f "$WINEPREFIX/$marker" ] || fail "$WINEPREFIX was not made by this script; not removing it"
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$WINEPREFIX"
    touch "$WINEPREFIX/$marker"
    booted=$(DISPLAY= "$WINE" wineboot --init 2>&1) || true
    "$WINESERVER" -w
    [ -f "$WINEPREFIX/system.reg" ] || fail "wineboot did not make a prefix in $WINEPREFIX: $(tail -n 5 <<<"$booted")"
    # A fresh prefix has no fonts of its own, and the layout's "MS Sans Serif"
    # would fall back to a wider face: Wine's own, from fonts-wine.
    fonts="$WINEPREFIX/drive_c/windows/Fonts"
    mkdir -p "$fonts"
    cp /usr/share/wine/fonts/* "$fonts/" 2>/dev/null || fail "no Wine fonts in /usr/share/wine/fonts (install fonts-wine)"
    echo "wine-run: a fresh prefix in $WINEPREFIX ($("$WINE" --version 2>/dev/null || echo "Wine"))"
    exit 0
fi

helpers=()
output=$(mktemp)
cleanup() {
    for pid in "${helpers[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${helpers[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -f "$output" "$output".*
}
trap cleanup EXIT

# Waits (10 s at most, or QUORVEL_WAIT_SCALE times that) for a line in a helper's output file.
wait_for() {
    local file=$1 text=$2 what=$3 i
    for i in $(seq $((100 * ${QUORVEL_WAIT_SCALE:-1}))); do
        grep -q "$text" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    fail "$what did not start: $(cat "$file" 2>/dev/null)"
}

if [ "${1:-}" = "--x11" ]; then
    command -v Xvfb >/dev/null || fail "no Xvfb (install Debian's xvfb)"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$output.display" >/dev/null 2>&1 &
    helpers+=($!)
    wait_for "$output.display" "[0-9]" "Xvfb"
    export DISPLAY=":$(head -n 1 "$output.display")"
    shift
fi
while [ "${1:-}" = "--free" ]; do
    [ $# -ge 2 ] || fail "--free needs a port number"
    rm -f "$WINEPREFIX/dosdevices/com$2"
    shift 2
done
boards=0
while [ "${1:-}" = "--sim" ]; do
    [ $# -ge 2 ] || fail "--sim needs the simulator and its options"
    dosdevices="$WINEPREFIX/dosdevices"
    [ -d "$dosdevices" ] || fail "no prefix at $WINEPREFIX: run wine-run.sh --new-prefix first"
    boards=$((boards + 1))
    read -r -a sim <<<"$2"
    "${sim[@]}" --folder "$dosdevices" >"$output.sim$boards" 2>&1 &
    helpers+=($!)
    wait_for "$output.sim$boards" "board on port" "the simulator ($2)"
    shift 2
done

cable=()
if [ "${1:-}" = "--cable" ]; then
    [ $# -ge 6 ] || fail "--cable needs NULLMODEM A B FREE"
    [ -x "$2" ] || fail "no quorvel-nullmodem at $2"
    dosdevices="$WINEPREFIX/dosdevices"
    [ -d "$dosdevices" ] || fail "no prefix at $WINEPREFIX: run wine-run.sh --new-prefix first"
    rm -f "$dosdevices/com$5"
    cable=("$2" --folder "$dosdevices" "$3" "$4" --)
    shift 5
fi
[ $# -ge 1 ] || fail "no program given"
program=$1
shift
[ -f "$program" ] || fail "no program at $program"

# The server is started here, in the foreground of this session rather than
# as a session leader of its own: a leader takes the first terminal it opens
# for its own, so each simulated board unplugged would hang it up (and make
# it dump its objects into the output).
"$WINESERVER" -f -p0 &
helpers+=($!)

# The output is shown as it comes, so that a test that hangs shows how far it got.
set +e
"${cable[@]}" "$WINE" "$program" "$@" 2>&1 | tr -d '\r' | tee "$output"
status=${PIPESTATUS[0]}
set -e
# The server ends with the last program; a desktop that lingers is ended.
timeout 30 "$WINESERVER" -w || "$WINESERVER" -k || true

name=$(basename "$program")
# A board that failed the program, or did anything at all, can be read back.
if ! grep -qE '^[0-9]+ passed, 0 failed, [0-9]+ skipped$' "$output"; then
    for b in $(seq "$boards"); do
        echo "wine-run: the last of board $b's output:"
        tail -n 40 "$output.sim$b"
    done
fi
summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$output" | tail -n 1 || true)
[ -n "$summary" ] || fail "$name did not run to its end under Wine: no summary in its output (exit status $status)"
passed=${summary%% passed*}
[ "$passed" -ge 1 ] || fail "$name ran no test under Wine"
[[ "$summary" == *" 0 failed,"* ]] || fail "$name failed under Wine: $summary"
[ "$status" -eq 0 ] || fail "$name reported \"$summary\" but exited with status $status"
