#include "LogMenu.h"

#include <string>

std::vector<TLogMenuItem> LogMenu(const TLogMenuState &s)
{
    auto item = [](TLogCommand command, const char *caption, const char *keys, bool enabled, bool checked = false) {
        TLogMenuItem it;
        it.command = command, it.caption = caption, it.keys = keys, it.enabled = enabled, it.checked = checked;
        return it;
    };
    TLogMenuItem line;
    line.separator = true;
    return {item(TLogCommand::Copy, "&Copy", "Ctrl+C", s.selection),
            line,
            item(TLogCommand::SelectAll, "Select &All", "Ctrl+A", s.lines),
            line,
            item(TLogCommand::Find, "&Find...", "Ctrl+F", s.lines && s.idle),
            item(TLogCommand::FindNext, "Find &Next", "F3", s.lines && s.idle && s.sought),
            line,
            item(TLogCommand::Text, "Te&xt", "", s.idle, !s.hex),
            item(TLogCommand::Hex, "&Hex", "Ctrl+H", s.idle, s.hex),
            item(TLogCommand::Times, "&Times", "Ctrl+T", s.idle, s.times),
            line,
            item(TLogCommand::SaveLog, "&Save Log As...", "Ctrl+S", s.idle),
            item(TLogCommand::SaveReceived, "Save &Received Bytes As...", "", s.idle)};
}

const TLogMenuItem *LogShortcut(const std::vector<TLogMenuItem> &menu, char letter)
{
    const std::string keys = std::string("Ctrl+") + letter;
    for (const TLogMenuItem &item : menu)
        if (!item.separator && keys == item.keys) return &item;
    return nullptr;
}
