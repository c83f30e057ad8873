# Sourced by the scripts that drive a real console window by X key presses
# (xdotool): the window shows, the focus is in "Text to send", and the board
# is on port 20. They have `work` (a folder of the run's), `pids` (what the
# run started, to end) and `fail`.

# Waits up to `tenths` tenths of a second for `test` to hold.
wait_for() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# An X display of the run's own (Xvfb), as DISPLAY.
start_display() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    pids+=($!)
    wait_for 100 grep -q "[0-9]" "$work/display" || fail "Xvfb did not start"
    export DISPLAY=":$(head -n 1 "$work/display")"
}

press() { xdotool key --delay 60 "$@"; sleep 0.3; }

# The Qt console's window, once it shows, as `window`.
find_window() { window=$(xdotool search --onlyvisible --name "^Quorvel" 2>/dev/null | head -n 1); [ -n "$window" ]; }

# Port 20 chosen by typing, from "Text to send".
choose_port_20() {
    press Tab Tab          # past the disabled Send and the log, into the port list
    xdotool type --delay 80 20
    sleep 0.5
}

# Port 20 chosen by typing, "hello" sent with Enter, both speed tests run
# from the keyboard, each given `seconds` to end.
drive_window() {
    local seconds=$1
    choose_port_20
    press shift+Tab shift+Tab shift+Tab  # the log, Send (enabled now), the text box
    xdotool type --delay 60 hello
    press Return
    sleep 1
    press Tab Tab Tab Tab Tab Tab Tab  # round to "Speed Test PC > PIC"
    press space
    sleep "$seconds"
    press Tab space        # "Speed Test PIC > PC"
    sleep "$seconds"
}
