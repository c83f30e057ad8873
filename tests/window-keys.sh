# Sourced by the scripts that drive a real console window by X key presses
# (xdotool): the window shows, the focus is in "Text to send", and the board
# is on port 20.

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

# Port 20 chosen by typing, "hello" sent with Enter, both speed tests run
# from the keyboard, each given `seconds` to end.
drive_window() {
    local seconds=$1
    press() { xdotool key --delay 60 "$@"; sleep 0.3; }
    press Tab Tab          # past the disabled Send and the log, into the port list
    xdotool type --delay 80 20
    sleep 0.5
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
