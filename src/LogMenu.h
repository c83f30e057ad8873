// The log's context menu, as every widget set shows it, and the keys that
// choose its items.
#ifndef QUORVEL_LOGMENU_H
#define QUORVEL_LOGMENU_H

#include <vector>

// What the log's context menu can do.
enum class TLogCommand { Copy, SelectAll, Find, FindNext, Text, Hex, Times, SaveLog, SaveReceived };

// One item: a separator, or a command with its caption ("&" before the
// access key), the keys that do the same ("Ctrl+C"), and whether it can be chosen now.
struct TLogMenuItem {
    bool separator = false;
    TLogCommand command = TLogCommand::Copy;
    const char *caption = "";
    const char *keys = "";
    bool enabled = false;
    bool checked = false;
};

// What the menu depends on.
struct TLogMenuState {
    bool selection = false;  // something is selected
    bool lines = false;      // the log has a line
    bool idle = true;        // no find or save is under way
    bool sought = false;     // a find was made: F3 repeats it
    bool hex = false, times = false;
};

std::vector<TLogMenuItem> LogMenu(const TLogMenuState &state);
// The item Ctrl and `letter` ('A' to 'Z') choose; nullptr when none has those keys.
const TLogMenuItem *LogShortcut(const std::vector<TLogMenuItem> &menu, char letter);

#endif
