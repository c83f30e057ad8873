// The window's context menus, as items: what each shows and what it calls.
#include "Unit1.h"

namespace {

TMenuItem Item(const char *caption, bool enabled, std::function<void()> click, const bool *checked = nullptr)
{
    TMenuItem it;
    it.Caption = caption, it.Enabled = enabled, it.OnClick = std::move(click);
    if (checked) it.Checkable = true, it.Checked = *checked;
    return it;
}

TMenuItem Line()
{
    TMenuItem line;
    line.Separator = true;
    return line;
}

}  // namespace

std::vector<TMenuItem> SendBoxMenu(TLineEnd lineEnd, bool hex, bool fileMay, std::function<void(TLineEnd)> setLineEnd,
                                   std::function<void()> toggleHex, std::function<void()> sendFile)
{
    std::vector<TMenuItem> items = {Line()};
    for (TLineEnd end : {TLineEnd::None, TLineEnd::CR, TLineEnd::LF, TLineEnd::CRLF}) {
        const bool chosen = lineEnd == end;
        items.push_back(Item("", true, [setLineEnd, end] { setLineEnd(end); }, &chosen));
        items.back().Caption = std::string("Line End: ") + LineEndCaption(end);
    }
    items.insert(items.end(), {Line(), Item("Send as &Hex", true, std::move(toggleHex), &hex), Line(), Item("Send &File...", fileMay, std::move(sendFile))});
    return items;
}

std::vector<TMenuItem> LinesMenu(bool may, bool dtr, bool rts, std::function<void()> dtrClick, std::function<void()> rtsClick,
                                 std::function<void()> pulseClick, std::function<void()> breakClick)
{
    return {Line(), Item("&DTR", may, std::move(dtrClick), &dtr), Item("&RTS", may, std::move(rtsClick), &rts), Line(),
            Item("&Pulse DTR", may, std::move(pulseClick)), Item("Send &Break", may, std::move(breakClick))};
}

std::vector<TMenuItem> LinkTestsMenu(bool may, std::function<void()> loopback, std::function<void()> latency, std::function<void()> sizes)
{
    return {Item("&Loopback Test", may, std::move(loopback)), Item("L&atency Test", may, std::move(latency)),
            Item("&Packet Size Test", may, std::move(sizes))};
}

std::vector<TMenuItem> CaptureMenu(bool running, std::function<void()> start, std::function<void()> stop)
{
    return {Line(), running ? Item("Stop Ca&pture", true, std::move(stop)) : Item("Ca&pture to File...", true, std::move(start))};
}

std::string EscapeFailureLine(BYTE port, DWORD function, DWORD code)
{
    static const char *const what[] = {"", "", "", "raising RTS", "dropping RTS", "raising DTR", "dropping DTR", "", "starting a break", "ending a break"};
    // The usual refusals in words: a pseudo-terminal has no lines, a board may take no break.
    const char *why = code == ERROR_INVALID_FUNCTION ? ": the port has no modem lines" : code == ERROR_NOT_SUPPORTED ? ": the device does not support it" : "";
    return "Port " + std::to_string(port) + ": " + what[function < 10 ? function : 0] + " failed (error " + std::to_string(code) + why + ").";
}
