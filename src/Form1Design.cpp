// The window's layout: every control, where it stands, and how it starts.
#include "Unit1.h"

std::vector<std::string> PortNumbers()
{
    std::vector<std::string> entries;
    for (int port = 1; port <= PortCount; ++port) entries.push_back(std::to_string(port));
    return entries;
}

namespace {

constexpr int akTopRight = akTop | akRight;
using K = TControlKind;

}  // namespace

// Positions are client pixels at 96 dots per inch; the widget set scales them.
const TFormDesign Form1Design = {
    "Form1", "Quorvel (Usb-Com)   vers 20-08-2013", 340, 223, 537, 453, "MS Sans Serif", 11,
    {
        // kind, name, left, top, width, height, anchors, caption or text, entries, enabled, tab order, ...
        {K::Label, "Label2", 24, 24, 59, 13, akDefault, "Text to send", {}, true, -1},
        // At most what one send takes, so that the whole text always goes.
        {K::Edit, "Edit1", 24, 40, 305, 21, akDefault, "", {}, true, 0, -1, 0, int(PortTextLimit)},
        {K::Label, "Label1", 360, 24, 29, 13, akDefault, "#Sent", {}, true, -1},
        {K::Edit, "Edit2", 352, 40, 41, 21, akDefault, "", {}, true, 7},
        {K::Button, "Button1", 408, 40, 113, 25, akTopRight, "Send", {}, false, 1},
        {K::ComboBox, "ComboBox1", 432, 8, 73, 21, akTopRight, "ComPort", PortNumbers(), true, 3},
        {K::Label, "Label3", 176, 72, 49, 13, akDefault, "Reception", {}, true, -1},
        {K::Memo, "Memo1", 24, 88, 369, 337, akLeft | akTop | akRight | akBottom, "", {}, true, 2},
        {K::RadioGroup, "RadioGroup1", 408, 80, 113, 81, akTopRight, " Receive ", {"Manually", "Timer"}, true, 6, 1},
        {K::Button, "Button3", 408, 176, 113, 25, akTopRight, "Receive Manually", {}, false, 5},
        {K::Button, "Button4", 408, 232, 113, 25, akTopRight, "Speed Test PC > PIC", {}, false, 8},
        {K::Button, "Button5", 408, 264, 113, 25, akTopRight, "Speed Test PIC > PC", {}, false, 9},
        {K::Button, "Button6", 408, 352, 113, 25, akDefault, "Start/Stop  ^", {}, false, 10},
        {K::Button, "Button2", 408, 400, 113, 25, akRight | akBottom, "Clear", {}, true, 4},
        {K::Timer, "Timer1", 0, 0, 0, 0, akDefault, "", {}, true, -1, -1, 1},
        {K::Timer, "Timer2", 0, 0, 0, 0, akDefault, "", {}, true, -1, -1, 1000},
        {K::Timer, "Timer3", 0, 0, 0, 0, akDefault, "", {}, false, -1, -1, 500},
        {K::Timer, "Timer4", 0, 0, 0, 0, akDefault, "", {}, false, -1, -1, 700},
        {K::Timer, "Timer5", 0, 0, 0, 0, akDefault, "", {}, false, -1, -1, 10},
        {K::Timer, "Timer6", 0, 0, 0, 0, akDefault, "", {}, false, -1, -1, 1},
        {K::Timer, "Timer7", 0, 0, 0, 0, akDefault, "", {}, false, -1, -1, 250},
    },
};

