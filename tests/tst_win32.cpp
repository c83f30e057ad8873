// The console's real window on the Win32 controls, driven in-process by the
// messages a user's input makes (keys posted to the focus window and taken
// through the message loop, button clicks, the list's keys), read back with
// WM_GETTEXT. Under Wine, against the board simulator on COM5 (a silent one
// on COM6, one that echoes on COM8) and the null-modem cable COM3 <-> COM14,
// whose far end the test holds to see the exact bytes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>
#include <utility>

#include "Check.h"
#include "PortTableUse.h"
#include "Serial.h"
#include "Win32Application.h"
#include "Win32Form1.h"

#include <dlgs.h>  // the common dialogs' control ids, after windows.h

namespace {

TWin32Application *app;
const BYTE Board = 5, SilentBoard = 6, Cable = 3, FarEnd = 14, EchoBoard = 8, NoBoard = 19;

std::string Text(HWND h)
{
    int n = int(SendMessageA(h, WM_GETTEXTLENGTH, 0, 0));
    std::string text(std::size_t(n) + 1, '\0');
    n = int(SendMessageA(h, WM_GETTEXT, WPARAM(n + 1), reinterpret_cast<LPARAM>(text.data())));
    text.resize(std::size_t(n));
    return text;
}

// Takes messages until `done` holds or `ms` passed; whether it held.
bool PumpUntil(const std::function<bool()> &done, int ms)
{
    auto start = Clock::now();
    for (;;) {
        app->ProcessMessages();
        if (done()) return true;
        if (MsSince(start) >= ms) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
}
void Pump(int ms) { PumpUntil([] { return false; }, ms); }
// As PumpUntil, a message at a time: while a job runs, its timer's ticks (every
// 1 ms, each a slice of 30) would keep ProcessMessages from returning.
bool StepUntil(const std::function<bool()> &done, int ms)
{
    for (auto start = Clock::now();;) {
        if (done()) return true;
        if (MsSince(start) >= ms) return false;
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) TWin32Application::Dispatch(msg);
        else Sleep(1);
    }
}

// Keys as the keyboard driver posts them to the focus window; the loop translates them.
void Key(UINT vk)
{
    HWND focus = GetFocus();
    UINT scan = MapVirtualKeyA(vk, MAPVK_VK_TO_VSC);
    PostMessageA(focus, WM_KEYDOWN, vk, LPARAM(1 | (scan << 16)));
    PostMessageA(focus, WM_KEYUP, vk, LPARAM(1 | (scan << 16) | (3u << 30)));
    Pump(20);
}
void Type(const std::string &text)
{
    for (char c : text) PostMessageA(GetFocus(), WM_CHAR, static_cast<unsigned char>(c), 1);
    Pump(20);
}
void Click(HWND button)
{
    PostMessageA(button, BM_CLICK, 0, 0);
    Pump(20);
}
// Real input, as the keyboard and the mouse give it (behind every posted message):
// keys pressed in order and let go in reverse, to the foreground window's focus...
void Press(std::initializer_list<WORD> keys)
{
    std::vector<INPUT> input(2 * keys.size());
    auto key = input.begin();
    for (WORD vk : keys) key->type = INPUT_KEYBOARD, key->ki.wVk = vk, ++key;
    for (auto vk = keys.end(); vk != keys.begin(); ++key) key->type = INPUT_KEYBOARD, key->ki.wVk = *--vk, key->ki.dwFlags = KEYEVENTF_KEYUP;
    CHECK_EQ(SendInput(UINT(input.size()), input.data(), sizeof(INPUT)), UINT(input.size()));
}
// ...and a right click where the pointer is put.
void RightClick(POINT screen)
{
    SetCursorPos(screen.x, screen.y);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN, click[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    CHECK_EQ(SendInput(2, click, sizeof(INPUT)), 2u);
}

std::vector<std::string> Log(Win32Form1 &form)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < form.Memo1->Lines.LineCount(); ++i) lines.push_back(form.Memo1->Lines.Line(i));
    return lines;
}

RECT Placed(Win32Form1 &form, HWND h)
{
    RECT r;
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, form.Handle(), reinterpret_cast<POINT *>(&r), 2);
    return r;
}

// A window as the user meets it: shown, the focus where it starts.
struct Window {
    Win32Form1 form;
    Window() { form.Show(); Pump(50); }
    ~Window() { CloseAllPorts(); }
    void Choose(BYTE port)
    {
        SetFocus(ComboEdit(form.ComboBox1));
        SendMessageA(ComboEdit(form.ComboBox1), EM_SETSEL, 0, -1);
        Type(std::to_string(port));
    }
};

}  // namespace

TEST_CASE(start_state_layout_font_and_anchors)
{
    Window w;
    Win32Form1 &f = w.form;
    CHECK_EQ(Text(f.Handle()), std::string("Quorvel (Usb-Com)   vers 20-08-2013"));
    RECT client;
    GetClientRect(f.Handle(), &client);
    CHECK(client.right == 537 && client.bottom == 453);
    for (const TControlDesign &row : Form1Design.Controls) {
        if (row.Kind == TControlKind::Timer) continue;
        TControl *c = f.Window.Control(row.Name);
        RECT r = Placed(f, Widget(c));
        if (r.left != row.Left || r.top != row.Top || r.right - r.left != row.Width || r.bottom - r.top != row.Height)
            CHECK_EQ(std::string(row.Name) + " at " + std::to_string(r.left) + "," + std::to_string(r.top) + " " +
                         std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top),
                     std::string(row.Name) + " as designed");
        CHECK_EQ(c->Enabled(), row.Enabled);
        if (row.Kind == TControlKind::Label || row.Kind == TControlKind::Button) CHECK_EQ(Text(Widget(c)), row.Caption);
    }
    CHECK_EQ(Text(Widget(f.ComboBox1)), std::string("ComPort"));
    CHECK_EQ(f.ComboBox1->ItemIndex(), -1);
    CHECK_EQ(Text(Widget(f.RadioGroup1)), std::string(" Receive "));
    CHECK(SendMessageA(RadioItem(f.RadioGroup1, 1), BM_GETCHECK, 0, 0) == BST_CHECKED);
    CHECK(f.Timer1->Enabled() && f.Timer2->Enabled() && !f.Timer3->Enabled());
    CHECK(GetFocus() == Widget(f.Edit1));

    // The designed face, really there: the prefix has Wine's fonts.
    HFONT font = reinterpret_cast<HFONT>(SendMessageA(Widget(f.Edit1), WM_GETFONT, 0, 0));
    LOGFONTA lf{};
    GetObjectA(font, sizeof lf, &lf);
    CHECK_EQ(lf.lfHeight, LONG(-11));
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    char face[LF_FACESIZE] = "";
    GetTextFaceA(dc, sizeof face, face);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    CHECK_EQ(std::string(face), std::string("MS Sans Serif"));

    // Anchors: 100 wider and 50 taller.
    RECT outer;
    GetWindowRect(f.Handle(), &outer);
    SetWindowPos(f.Handle(), nullptr, 0, 0, outer.right - outer.left + 100, outer.bottom - outer.top + 50, SWP_NOMOVE | SWP_NOZORDER);
    Pump(20);
    const std::pair<TControl *, RECT> moved[] = {
        {f.Button1, {508, 40, 621, 65}}, {f.ComboBox1, {532, 8, 605, 29}}, {f.Memo1, {24, 88, 493, 475}},
        {f.Button2, {508, 450, 621, 475}}, {f.Button6, {408, 352, 521, 377}}, {f.Edit1, {24, 40, 329, 61}},
        {f.RadioGroup1, {508, 80, 621, 161}}};
    for (const auto &m : moved) {
        RECT r = Placed(f, Widget(m.first));
        CHECK(EqualRect(&r, &m.second));
    }
    RECT item = Placed(f, RadioItem(f.RadioGroup1, 0));
    CHECK(item.left == 516);

    // At another resolution the font grows, and the layout with its text height.
    Win32Form1 big(144);
    double s = big.Scale();
    CHECK(s > 1.3 && s < 1.7);
    RECT e = Placed(big, Widget(big.Edit1));
    CHECK(e.left == std::lround(24 * s) && e.right - e.left == std::lround(329 * s) - std::lround(24 * s));

    // Every label shows its whole caption on one line, at every resolution.
    for (int dpi : {96, 120, 144}) {
        Win32Form1 at(dpi);
        for (TLabel *label : {at.Label1, at.Label2, at.Label3}) {
            HWND h = Widget(label);
            HDC dc = GetDC(h);
            HGDIOBJ was = SelectObject(dc, at.Font());
            SIZE extent{};
            const std::string caption = Text(h);
            GetTextExtentPoint32A(dc, caption.c_str(), int(caption.size()), &extent);
            SelectObject(dc, was);
            ReleaseDC(h, dc);
            RECT r;
            GetClientRect(h, &r);
            CHECK((GetWindowLongA(h, GWL_STYLE) & SS_TYPEMASK) == SS_LEFTNOWORDWRAP);
            if (extent.cx > r.right) CHECK_EQ(caption + " at " + std::to_string(dpi) + " dpi", caption + " fits");
        }
    }
}

TEST_CASE(tab_order_and_choosing_a_port_by_typing_and_from_the_list)
{
    Window w;
    Win32Form1 &f = w.form;
    // Typing completes against the entries: 1 then 2 chooses port 1, then opens port 12;
    // port 1, which typing may still go past, is not opened on the way.
    SetFocus(Widget(f.Memo1));
    Key(VK_TAB);
    HWND combo = ComboEdit(f.ComboBox1);
    CHECK(GetFocus() == combo);
    Type("1");
    CHECK_EQ(int(f.ComPort), 1);
    CHECK(!PortIsOpen(1) && f.Timer4->Enabled());
    Type("2");
    CHECK_EQ(int(f.ComPort), 12);
    CHECK_EQ(Text(combo), std::string("12"));
    CHECK(f.Button1->Enabled() && f.Button4->Enabled() && f.Button5->Enabled() && f.Button6->Enabled());
    Key(VK_BACK);  // no entry selected any more
    CHECK_EQ(int(f.ComPort), 0);
    CHECK_EQ(Text(combo), std::string("1"));
    Type("x");  // begins no entry: goes in as typed
    CHECK_EQ(Text(combo), std::string("1x"));
    CHECK_EQ(f.ComboBox1->ItemIndex(), -1);
    w.Choose(Board);
    CHECK_EQ(int(f.ComPort), int(Board));
    CHECK(PortIsOpen(Board));
    // The list's own keys choose its next and previous entries.
    Key(VK_DOWN);
    CHECK_EQ(int(f.ComPort), int(SilentBoard));
    CHECK(!PortIsOpen(Board) && PortIsOpen(SilentBoard));
    Key(VK_UP);
    CHECK_EQ(int(f.ComPort), int(Board));
    CHECK_EQ(Text(combo), std::string("5"));
    // In the open list they only move through it; the entry it closes on is the choice.
    const std::size_t said = f.Memo1->Lines.LineCount();
    SendMessageA(Widget(f.ComboBox1), CB_SHOWDROPDOWN, TRUE, 0);
    // Open, it shows each number's device beside it, dimmed where nothing is there, wider than the box.
    CHECK_EQ(f.ComboBox1->Notes.size(), std::size_t(20));
    CHECK_EQ(f.ComboBox1->Notes.at(Board - 1).Text, std::string("COM5"));
    CHECK(!f.ComboBox1->Notes.at(Board - 1).Dimmed);
    CHECK(f.ComboBox1->Notes.at(18).Text == "COM19  (nothing there)" && f.ComboBox1->Notes.at(18).Dimmed);
    CHECK(SendMessageA(Widget(f.ComboBox1), CB_GETDROPPEDWIDTH, 0, 0) > Placed(f, Widget(f.ComboBox1)).right - Placed(f, Widget(f.ComboBox1)).left);
    Key(VK_DOWN), Key(VK_DOWN), Key(VK_UP);
    CHECK_EQ(int(f.ComPort), int(Board));
    SendMessageA(Widget(f.ComboBox1), CB_SHOWDROPDOWN, FALSE, 0);
    Pump(20);
    CHECK_EQ(int(f.ComPort), int(SilentBoard));
    CHECK(PortIsOpen(SilentBoard) && f.Memo1->Lines.LineCount() == said);  // port 7 was never tried
    Key(VK_UP);
    // Pasted over the chosen entry, the text stays as it is but is no choice: the port is let go.
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, 2);
        std::memcpy(GlobalLock(data), "7", 2);
        GlobalUnlock(data);
        SetClipboardData(CF_TEXT, data);
        CloseClipboard();
    }
    SetFocus(combo);
    SendMessageA(combo, EM_SETSEL, 0, -1);
    SendMessageA(combo, WM_PASTE, 0, 0);
    Pump(20);
    CHECK(Text(combo) == "7" && f.ComboBox1->ItemIndex() == -1);
    CHECK(f.ComPort == 0 && !PortIsOpen(Board));
    w.Choose(Board);

    // Tab goes round in the designed order, past what is disabled; the group is its checked item.
    SetFocus(Widget(f.Edit1));
    const HWND order[] = {Widget(f.Button1), Widget(f.Memo1), combo, Widget(f.Button2), RadioItem(f.RadioGroup1, 1),
                          Widget(f.Edit2), Widget(f.Button4), Widget(f.Button5), Widget(f.Button6), Widget(f.Edit1)};
    for (HWND next : order) {
        Key(VK_TAB);
        CHECK(GetFocus() == next);
    }
}

std::string menuCaption;
std::vector<std::string> menuItems;  // as the menu showed them: "-" a separator, " (off)" greyed, " (on)" checked
POINT menuAt;  // its top left corner, on the screen

// Runs inside a popup menu's loop: reads its items, then reaches the item with
// `menuCaption` by the keyboard and chooses it (Escape where there is none).
void CALLBACK ChooseFromMenu(HWND, UINT, UINT_PTR id, DWORD)
{
    HWND popup = FindWindowA("#32768", nullptr);
    HMENU menu = popup && IsWindowVisible(popup) ? reinterpret_cast<HMENU>(SendMessageA(popup, MN_GETHMENU, 0, 0)) : nullptr;
    if (!menu) return;
    KillTimer(nullptr, id);
    RECT r;
    GetWindowRect(popup, &r);
    menuAt = {r.left, r.top};
    menuItems.clear();
    int downs = 0, chosen = 0;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        char caption[128] = "";
        GetMenuStringA(menu, UINT(i), caption, sizeof caption, MF_BYPOSITION);
        const UINT state = GetMenuState(menu, UINT(i), MF_BYPOSITION);
        menuItems.push_back(state & MF_SEPARATOR ? std::string("-")
                                                 : caption + std::string(state & MF_GRAYED ? " (off)" : "") + (state & MF_CHECKED ? " (on)" : ""));
        if (state & MF_SEPARATOR) continue;
        ++downs;
        if (menuCaption == caption && !chosen) chosen = downs;
    }
    for (int k = 0; k < chosen; ++k) PostMessageA(popup, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageA(popup, WM_KEYDOWN, chosen ? VK_RETURN : VK_ESCAPE, 0);
}

// Opens a control's context menu with a message (by default the one the menu key
// brings) and chooses `caption` in it from the keyboard; returns once it is done,
// whether a menu showed.
bool ChooseInMenu(HWND at, const std::string &caption, UINT message = WM_CONTEXTMENU, WPARAM wParam = 0, LPARAM lParam = -1)
{
    menuCaption = caption;
    const UINT_PTR reader = SetTimer(nullptr, 0, 20, ChooseFromMenu);
    SendMessageA(at, message, message == WM_CONTEXTMENU ? WPARAM(at) : wParam, lParam);
    return !KillTimer(nullptr, reader);  // the reader ends itself in a menu
}
// The same with the menu opened by real input, which the loop takes.
bool ChooseInMenuBy(const std::function<void()> &input, const std::string &caption)
{
    menuCaption = caption;
    menuItems.clear();
    const UINT_PTR reader = SetTimer(nullptr, 0, 20, ChooseFromMenu);
    input();
    StepUntil([] { return !menuItems.empty(); }, 3000);
    return !KillTimer(nullptr, reader);
}

TEST_CASE(sending_by_button_and_by_enter_and_reception_in_both_modes)
{
    Window w;
    Win32Form1 &f = w.form;
    // No port yet: Enter sends nothing and shows 0.
    SetFocus(Widget(f.Edit1));
    Type("hello");
    Key(VK_RETURN);
    CHECK_EQ(Text(Widget(f.Edit2)), std::string("0"));

    w.Choose(Cable);
    CHECK(OpenConsoleWay(FarEnd));
    Click(Widget(f.Button1));
    CHECK_EQ(Text(Widget(f.Edit2)), std::string("5"));
    CHECK_EQ(Receive(FarEnd, 5), std::string("hello"));
    SetFocus(Widget(f.Edit1));
    SetWindowTextA(Widget(f.Edit2), "");
    Key(VK_RETURN);
    CHECK_EQ(Text(Widget(f.Edit2)), std::string("5"));
    CHECK_EQ(Text(Widget(f.Edit1)), std::string("hello"));
    // One byte a character, the code page's: what is typed goes as it is.
    SetWindowTextA(Widget(f.Edit1), "");
    Type("\xE9\xFC!");
    Key(VK_RETURN);
    CHECK_EQ(Drain(FarEnd, 300), std::string("hello\xE9\xFC!"));
    // The box's context menu (the system's message for a right click, the item reached by the
    // keyboard): CR LF after each send, then hex; Up recalls what was sent, Escape what was typed.
    HWND edit = Widget(f.Edit1);
    auto choose = [&](const char *caption) {
        RECT r;
        GetWindowRect(edit, &r);
        ChooseInMenu(edit, caption, WM_CONTEXTMENU, 0, MAKELPARAM(r.left + 5, r.top + 5));
    };
    auto send = [&](const char *typed) {
        SetWindowTextA(edit, "");
        Type(typed);
        Key(VK_RETURN);
    };
    choose("Line End: CR LF");
    send("AT");
    CHECK_EQ(Text(Widget(f.Edit2)), std::string("4"));
    choose("Send as &Hex");
    send("41 0d0A 00 ff");
    CHECK_EQ(Drain(FarEnd, 300), std::string("AT\r\nA\r\n\0\xff\r\n", 11));
    send("41 0G");
    CHECK_EQ(f.Memo1->Lines.Line(f.Memo1->Lines.LineCount() - 1),
             std::string("Not sent: \"G\" at character 5 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A)."));
    CHECK_EQ(Drain(FarEnd, 100), std::string());
    for (const auto &[key, shown] : {std::make_pair(VK_UP, "41 0d0A 00 ff"), std::make_pair(VK_UP, "AT"), std::make_pair(VK_DOWN, "41 0d0A 00 ff"),
                                    std::make_pair(VK_ESCAPE, "41 0G")}) {
        Key(UINT(key));
        CHECK_EQ(Text(edit), std::string(shown));
    }
    choose("Send as &Hex");
    choose("Line End: None");
    Click(Widget(f.Button2));

    // By timer (the start): the board's bytes come as a count line and a data line.
    CHECK(Send(FarEnd, std::string("A\0B\xE9", 4)));
    CHECK(PumpUntil([&] { return f.Memo1->Lines.LineCount() >= 2; }, 2000));
    CHECK(Log(f) == std::vector<std::string>({"# BytesReceived: 4", "AB\xE9"}));
    CHECK_EQ(Text(Widget(f.Memo1)), std::string("# BytesReceived: 4\r\nAB\xE9"));
    // Ctrl+T: the read's time of day on its count line; again: gone.
    SendMessageA(Widget(f.Memo1), WM_CHAR, 20, 0);
    const std::string timed = Text(Widget(f.Memo1));
    CHECK(timed.size() == 38 && timed.compare(0, 21, "# BytesReceived: 4   ") == 0 && timed.compare(33, 5, "\r\nAB\xE9") == 0);
    CHECK(timed[23] == ':' && timed[26] == ':' && timed[29] == '.');
    SendMessageA(Widget(f.Memo1), WM_CHAR, 20, 0);
    CHECK_EQ(Text(Widget(f.Memo1)), std::string("# BytesReceived: 4\r\nAB\xE9"));

    // By hand: nothing until "Receive Manually".
    Click(RadioItem(f.RadioGroup1, 0));
    CHECK(!f.Timer1->Enabled() && f.Button3->Enabled());
    CHECK(Send(FarEnd, "xyz"));
    Pump(300);
    CHECK_EQ(f.Memo1->Lines.LineCount(), std::size_t(2));
    Click(Widget(f.Button3));
    CHECK(Log(f).back() == "xyz");
    Click(RadioItem(f.RadioGroup1, 1));
    CHECK(f.Timer1->Enabled() && !f.Button3->Enabled());

    Click(Widget(f.Button2));
    CHECK_EQ(f.Memo1->Lines.LineCount(), std::size_t(0));
    CHECK_EQ(Text(Widget(f.Memo1)), std::string());

    // The heartbeat: a "^" a second while on, none once off.
    Drain(FarEnd, 50);
    Click(Widget(f.Button6));
    Pump(2500);
    std::string beats = Drain(FarEnd, 50);
    CHECK(beats == "^^" || beats == "^^^");
    Click(Widget(f.Button6));
    CHECK(!f.Timer2->Enabled());
    Pump(1200);
    CHECK_EQ(Drain(FarEnd, 50), std::string());
    CHECK_EQ(Text(Widget(f.Button6)), std::string("Start/Stop  ^"));
}

TEST_CASE(both_speed_tests_and_a_silent_board_that_ends_in_time)
{
    Window w;
    Win32Form1 &f = w.form;
    // The user's decimal separator, changed while the program runs.
    char before[8] = ".";
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, before, sizeof before);
    SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, ",");
    SendMessageA(f.Handle(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("intl"));
    CHECK_EQ(f.DecimalSeparator, std::string(","));
    w.Choose(Board);
    Click(Widget(f.Button4));
    CHECK(PumpUntil([&] { return f.Memo1->Lines.LineCount() >= 1; }, 15000));
    Click(Widget(f.Button5));
    CHECK(PumpUntil([&] { return f.Memo1->Lines.LineCount() >= 3; }, 15000));
    std::vector<std::string> lines = Log(f);
    CHECK(lines.size() == 3 && lines[0].rfind("Speed PC -> PIC (KB/s): ", 0) == 0 && lines[2].rfind("Speed PIC -> PC (KB/s): ", 0) == 0);
    CHECK(lines.size() == 3 && lines[1].rfind("Speed PC -> PIC to the board (KB/s): ", 0) == 0);
    for (const std::string &line : {lines.front(), lines.back()}) {
        std::string speed = line.substr(line.find(": ") + 2);
        CHECK(speed.size() >= 4 && speed[speed.size() - 3] == ',' && std::atoi(speed.c_str()) > 0);
    }
    SetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, before);
    SendMessageA(f.Handle(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>("intl"));
    CHECK_EQ(f.DecimalSeparator, std::string(before));
    CHECK(f.Timer1->Enabled() && !TWin32Application::BusyCursor());

    // The board that never answers: each test gives up within its limit, and says so.
    // Through both (10 s, which nothing else interrupts), the window is seen alive: a
    // message sent from another thread, as the system's hung-window probe sends one, is answered at once.
    w.Choose(SilentBoard);
    std::atomic<bool> probing{true};
    std::atomic<long long> longest{0};
    std::atomic<int> probes{0};
    std::thread probe([&] {
        while (probing) {
            auto sent = Clock::now();
            DWORD_PTR result = 0;
            SendMessageTimeoutA(f.Handle(), WM_NULL, 0, 0, SMTO_NORMAL, 6000, &result);
            longest = std::max<long long>(longest, MsSince(sent));
            ++probes;
            Sleep(100);
        }
    });
    auto start = Clock::now();
    Click(Widget(f.Button4));
    CHECK(PumpUntil([&] { return f.Memo1->Lines.LineCount() >= 5; }, 15000));
    CHECK(MsSince(start) < StallLimit.count() + 4000);
    CHECK(Log(f).at(3).find("no \"*\" came back") != std::string::npos);
    Click(Widget(f.Button5));
    CHECK(PumpUntil([&] { return f.Memo1->Lines.LineCount() >= 6; }, 15000));
    probing = false;
    probe.join();
    std::printf("    %d probes in %lld ms of tests, the longest answered in %lld ms\n", int(probes), MsSince(start), (long long)longest);
    CHECK(MsSince(start) >= 2 * StallLimit.count() && longest < 1000);
    CHECK(f.Timer1->Enabled() && f.Button4->Enabled());
}

TEST_CASE(a_close_asked_during_a_speed_test_waits_for_its_end)
{
    Window w;
    Win32Form1 &f = w.form;
    w.Choose(SilentBoard);
    // Sent from another thread, as another program asks: the test looks at the queue meanwhile.
    std::thread asker([&] { Sleep(1000), SendMessageA(f.Handle(), WM_CLOSE, 0, 0); });
    Click(Widget(f.Button5));
    asker.join();
    // The port was not closed under it: the test says what the board did, not that the line dropped.
    CHECK_EQ(Log(f).back(), std::string("Speed PIC -> PC: nothing came for 5 s; 0 of 262144 bytes came."));
    PumpUntil([] { return app->Terminated; }, 2000);
    CHECK(app->Terminated && !IsWindow(f.Handle()) && !PortIsOpen(SilentBoard));
    app->Terminated = false;
}

TEST_CASE(the_poll_ticks_each_millisecond_and_a_board_pulled_out_is_noticed_in_either_mode)
{
    Window w;
    Win32Form1 &f = w.form;
    w.Choose(Cable);
    CHECK(PortIsOpen(Cable));
    // SetTimer's finest is 10 ms, on the system's tick: the poll has a timer of its own.
    int ticks = 0;
    const std::function<void()> poll = f.Timer1->OnTimer;
    f.Timer1->OnTimer = [&] { ++ticks, poll(); };
    Pump(1000);
    f.Timer1->OnTimer = poll;
    std::printf("    Timer1 ticked %d times in 1 s\n", ticks);
    CHECK(ticks > 500);
    if (!CableListens()) return;
    // "Manually", no heartbeat: nothing polls, but the system's word that a device went is enough.
    Click(RadioItem(f.RadioGroup1, 0));
    TellCable("unplug", Cable);
    Pump(300);
    CHECK(Log(f).empty());
    SendMessageA(f.Handle(), WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0);
    CHECK(Log(f).size() == 1 && Log(f)[0].find("the board went away") != std::string::npos);
    TellCable("plug", Cable);
    CHECK(PumpUntil([&] { return Log(f).size() == 2; }, 3000));
}

std::string Clipboard()
{
    std::string copied;
    if (OpenClipboard(nullptr)) {
        if (HANDLE data = GetClipboardData(CF_TEXT)) {
            copied = static_cast<const char *>(GlobalLock(data));
            GlobalUnlock(data);
        }
        CloseClipboard();
    }
    return copied;
}

TEST_CASE(the_log_wraps_follows_the_end_selects_and_copies)
{
    Window w;
    Win32Form1 &f = w.form;
    TWin32Log *log = LogView(f.Memo1);
    HWND view = Widget(f.Memo1);
    f.Memo1->Append("first line");
    f.Memo1->Append(std::string(300, 'w') + " tail");  // wider than the control: wrapped
    UpdateWindow(view);
    CHECK(log->RowsShown() >= 4);
    RECT client;
    GetClientRect(view, &client);
    RECT last = log->Where({1, 300});
    CHECK(last.right > 0 && last.right <= client.right);

    // Dragging from "line" to the third w selects across the line break.
    auto at = [](RECT r) { return MAKELPARAM((r.left + r.right) / 2 - 1, (r.top + r.bottom) / 2); };
    SendMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, at(log->Where({0, 6})));
    SendMessageA(view, WM_MOUSEMOVE, MK_LBUTTON, at(log->Where({1, 3})));
    SendMessageA(view, WM_LBUTTONUP, 0, at(log->Where({1, 3})));
    CHECK_EQ(log->SelectedText(), std::string("line\r\nwww"));
    CHECK(GetFocus() == view);
    SendMessageA(view, WM_CHAR, 1, 0);  // Ctrl+A
    CHECK_EQ(log->SelectedText(), log->Text());
    SendMessageA(view, WM_CHAR, 3, 0);  // Ctrl+C
    CHECK_EQ(Clipboard(), "first line\r\n" + std::string(300, 'w') + " tail");
    // The context menu (here from the keyboard) shows the view's items; Copy chosen by its keys copies.
    if (OpenClipboard(nullptr)) EmptyClipboard(), CloseClipboard();
    ChooseInMenu(view, "&Copy\tCtrl+C");
    CHECK(menuItems == std::vector<std::string>({"&Copy\tCtrl+C", "-", "Select &All\tCtrl+A", "-", "&Find...\tCtrl+F", "Find &Next\tF3 (off)", "-",
                                                 "Te&xt (on)", "&Hex\tCtrl+H", "&Times\tCtrl+T", "-", "&Save Log As...\tCtrl+S",
                                                 "Save &Received Bytes As...", "-", "Ca&pture to File..."}));
    CHECK_EQ(Clipboard(), "first line\r\n" + std::string(300, 'w') + " tail");

    // At the end it follows new lines; scrolled up, it stays where it is.
    for (int i = 0; i < 100; ++i) f.Memo1->Append("line " + std::to_string(i));
    CHECK(log->AtEnd());
    SendMessageA(view, WM_VSCROLL, SB_LINEUP, 0);
    CHECK(!log->AtEnd());
    std::size_t top = log->TopLine();
    f.Memo1->Append("more");
    CHECK_EQ(log->TopLine(), top);
    SendMessageA(view, WM_VSCROLL, SB_BOTTOM, 0);
    CHECK(log->AtEnd());

    // No height is too low to draw it, down to none at all.
    RECT was = Placed(f, view);
    for (int h = 0; h <= 130; ++h) {
        MoveWindow(view, was.left, was.top, was.right - was.left, h, TRUE);
        UpdateWindow(view);
        SendMessageA(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, h / 2));
        SendMessageA(view, WM_LBUTTONUP, 0, MAKELPARAM(5, h / 2));
    }
    CHECK(IsWindow(view));
}

std::string boxText, boxTitle;

// Runs inside the box's own loop: reads it, then presses OK.
void CALLBACK ReadTheBox(HWND, UINT, UINT_PTR id, DWORD)
{
    HWND box = FindWindowA("#32770", nullptr);
    if (!box) return;
    KillTimer(nullptr, id);
    char text[256] = "", title[256] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    GetWindowTextA(box, title, sizeof title);
    boxText = text, boxTitle = title;
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

std::string dialogPath;

// Runs inside an open or save dialog's own loop: types the name into it and takes it.
void CALLBACK AnswerTheFileDialog(HWND, UINT, UINT_PTR id, DWORD)
{
    HWND dialog = GetActiveWindow();
    char kind[16] = "";
    if (!dialog || !GetClassNameA(dialog, kind, sizeof kind) || std::strcmp(kind, "#32770") != 0 || !GetDlgItem(dialog, cmb13)) return;
    KillTimer(nullptr, id);
    SetDlgItemTextA(dialog, cmb13, dialogPath.c_str());
    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
}

// Under Wine, runs a program of the host (Linux) on a file's host name (and `more` of
// the host's own path after it, for what is not there yet); false elsewhere.
bool OnHost(const std::string &program, const std::string &arguments, const std::string &path, const std::string &more = "")
{
    using ToUnix = char *(CDECL *)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    const std::wstring wide(path.begin(), path.end());
    char *unix = toUnix ? toUnix(wide.c_str()) : nullptr;
    if (!unix) return false;
    std::string command = program + " " + arguments + " " + unix + more;
    HeapFree(GetProcessHeap(), 0, unix);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(("Z:" + program).c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread), CloseHandle(pi.hProcess);
    return true;
}

// A link at `path` to `target` (a name beside it): under Wine the host's own
// (Wine follows them as Linux does, and its DeleteFile leaves them), else the
// system's. False where none can be made (Windows without the right to).
// The host's program ends apart from its process handle: the link is looked for.
bool MakeLink(const std::string &path, const std::string &target)
{
    std::string hostTarget = target;
    std::replace(hostTarget.begin(), hostTarget.end(), '\\', '/');
    if (!OnHost("/bin/ln", "-sfn " + hostTarget, path)) return CreateSymbolicLinkA(path.c_str(), target.c_str(), 2 /* unprivileged */) != 0;
    return PumpUntil([&] { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }, 5000);
}
void RemoveLink(const std::string &path)
{
    if (!OnHost("/bin/rm", "-f", path)) DeleteFileA(path.c_str());
    PumpUntil([&] { return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES; }, 5000);
}

// Runs inside a dialog's loop while a box asks of a name that is there: "Yes" (a save replaces it, a capture adds to it).
void CALLBACK SayYes(HWND, UINT, UINT_PTR, DWORD)
{
    HWND box = GetActiveWindow();
    char kind[16] = "";
    if (box && GetClassNameA(box, kind, sizeof kind) && std::strcmp(kind, "#32770") == 0 && !GetDlgItem(box, cmb13) && GetDlgItem(box, IDYES))
        PostMessageA(box, WM_COMMAND, IDYES, 0);
}

TEST_CASE(the_log_shows_hex_finds_and_saves_through_the_systems_dialogs)
{
    Window w;
    Win32Form1 &f = w.form;
    TWin32Log *log = LogView(f.Memo1);
    HWND view = Widget(f.Memo1);
    const std::string bytes("ok\r\n\0\xff\x7f" "abcdefghijklmnopq", 24);
    f.Memo1->AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 0, 0);
    f.Memo1->Append("Speed PIC -> PC: 99.50 KB/s");
    SetFocus(view);
    // Ctrl+H: the character Backspace also gives, taken as the key only with Ctrl down.
    SendMessageA(view, WM_CHAR, 8, 0);
    CHECK(!log->View().Hex());
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    SendMessageA(view, WM_CHAR, 8, 0);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    CHECK_EQ(log->Text(), std::string("# BytesReceived: 24\r\n0000  6F 6B 0D 0A 00 FF 7F 61 62 63 64 65 66 67 68 69  ok.....abcdefghi\r\n"
                                      "0010  6A 6B 6C 6D 6E 6F 70 71                          jklmnopq\r\nSpeed PIC -> PC: 99.50 KB/s"));

    // Ctrl+F: the system's find dialog; Find Next selects the match, F3 the next one in the log.
    SendMessageA(view, WM_CHAR, 6, 0);
    HWND find = log->FindDialog();
    CHECK(find && IsWindowVisible(find));
    SetDlgItemTextA(find, edt1, "6c");
    PostMessageA(find, WM_COMMAND, IDOK, 0);
    CHECK(PumpUntil([&] { return log->SelectedText() == "6C"; }, 2000));
    PostMessageA(find, WM_COMMAND, IDCANCEL, 0);
    CHECK(PumpUntil([&] { return !log->FindDialog(); }, 2000));
    CHECK(GetFocus() == view);
    log->View().Find("speed");
    Pump(50);
    CHECK_EQ(log->SelectedText(), std::string("Speed"));
    Key(VK_F3);  // the only match: found again, round the end
    CHECK_EQ(log->SelectedText(), std::string("Speed"));

    // Both saves through the save dialog, the name typed into it.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    for (bool received : {false, true}) {
        dialogPath = std::string(temp) + (received ? "quorvel-bytes.bin" : "quorvel-log.txt");
        DeleteFileA(dialogPath.c_str());
        SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
        if (received) log->View().Command(TLogCommand::SaveReceived);
        else SendMessageA(view, WM_CHAR, 19, 0);  // Ctrl+S
        CHECK(PumpUntil([&] { return !log->View().Working() && !log->View().Status().empty(); }, 5000));
        CHECK(FileBytes(dialogPath) == (received ? bytes : log->Text() + "\r\n"));
        CHECK_EQ(log->View().Status().compare(0, 6, "Saved "), 0);
        DeleteFileA(dialogPath.c_str());
    }

    // A link at the name: the file it points to gets the bytes. A link planted where a
    // save once made its temporary file (the name and the process's id) is never written
    // through, by a save stopped (Escape as it starts) or whole, and no temporary file stays.
    const std::string dir(temp), victim = dir + "quorvel-victim.txt", planted = dir + "quorvel-log.txt.quorvel-" + std::to_string(GetCurrentProcessId()) + ".tmp";
    if (std::FILE *file = std::fopen(victim.c_str(), "wb")) std::fputs("keep", file), std::fclose(file);
    if (MakeLink(dir + "quorvel-link.txt", "quorvel-victim.txt") && MakeLink(planted, "quorvel-victim.txt")) {
        const std::pair<const char *, bool> saves[] = {{"quorvel-log.txt", true}, {"quorvel-log.txt", false}, {"quorvel-link.txt", false}};
        for (const auto &[name, stop] : saves) {
            dialogPath = dir + name;
            SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
            const UINT_PTR replacing = SetTimer(nullptr, 0, 50, SayYes);
            log->View().Command(TLogCommand::SaveLog);
            KillTimer(nullptr, replacing);
            if (stop) SendMessageA(view, WM_KEYDOWN, VK_ESCAPE, 0), SendMessageA(view, WM_KEYUP, VK_ESCAPE, 0);
            CHECK(PumpUntil([&] { return !log->View().Working() && !log->View().Status().empty(); }, 5000));
            CHECK_EQ(log->View().Status().substr(0, 6), std::string(stop ? "Save s" : "Saved "));
            CHECK_EQ(FileBytes(victim), std::strcmp(name, "quorvel-link.txt") == 0 ? log->Text() + "\r\n" : std::string("keep"));
        }
        CHECK(FileBytes(dir + "quorvel-link.txt") == log->Text() + "\r\n" && FileBytes(dir + "quorvel-log.txt") == log->Text() + "\r\n");
        WIN32_FIND_DATAA found;
        const HANDLE left = FindFirstFileA((dir + ".quorvel-*.tmp").c_str(), &found);
        CHECK(left == INVALID_HANDLE_VALUE);
        if (left != INVALID_HANDLE_VALUE) FindClose(left);
        // A link to a file deeper than MAX_PATH, whose name the system does not give: said, and
        // the file and the link stay (a save used to replace the link and delete the file).
        const std::string deep = dir + "quorvel-deep\\" + std::string(70, 'd') + "\\" + std::string(70, 'e') + "\\" + std::string(70, 'f') + "\\" + std::string(70, 'g');
        std::string tail = deep.substr(dir.size() - 1);
        std::replace(tail.begin(), tail.end(), '\\', '/');
        if (OnHost("/bin/mkdir", "-p", dir, tail)) {  // under Wine
            // The file is made once the host's mkdir has made its folder.
            CHECK(PumpUntil([&] {
                std::FILE *file = std::fopen(("\\\\?\\" + deep + "\\t.txt").c_str(), "wb");
                return file && std::fputs("keep", file) >= 0 && std::fclose(file) == 0;
            }, 5000));
            CHECK(MakeLink(dir + "quorvel-link.txt", deep.substr(dir.size()) + "\\t.txt"));
            dialogPath = dir + "quorvel-link.txt";
            SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
            const UINT_PTR replacing = SetTimer(nullptr, 0, 50, SayYes);
            log->View().Command(TLogCommand::SaveLog);
            KillTimer(nullptr, replacing);
            CHECK(PumpUntil([&] { return !log->View().Working() && !log->View().Status().empty(); }, 5000));
            // (Windows gives the long name, and the save goes through; Wine does not, and it is said.)
            const bool saved = log->View().Status().compare(0, 6, "Saved ") == 0;
            const std::string refused = "Could not save " + dialogPath + ": ";
            CHECK_EQ(log->View().Status().substr(0, saved ? 0 : refused.size()), saved ? std::string() : refused);
            CHECK(FileBytes("\\\\?\\" + deep + "\\t.txt") == (saved ? log->Text() + "\r\n" : std::string("keep")));
            CHECK(FileBytes(dir + "quorvel-link.txt") == FileBytes("\\\\?\\" + deep + "\\t.txt"));
            OnHost("/bin/rm", "-rf", dir + "quorvel-deep");
        }
    } else {
        std::printf("    (no link could be made here: saving through one is not tried)\n");
    }
    RemoveLink(dir + "quorvel-link.txt"), RemoveLink(planted);
    DeleteFileA((dir + "quorvel-log.txt").c_str()), DeleteFileA(victim.c_str());
    Key(VK_ESCAPE);
    CHECK(log->View().Status().empty() && IsWindow(f.Handle()));
}

TEST_CASE(a_capture_from_the_logs_menu_keeps_every_byte_and_asks_before_adding_to_a_file)
{
    Window w;
    Win32Form1 &f = w.form;
    HWND view = Widget(f.Memo1);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dialogPath = std::string(temp) + "quorvel-capture.bin";
    DeleteFileA(dialogPath.c_str());
    w.Choose(Board);
    auto send = [&](const char *typed) {
        SetWindowTextA(Widget(f.Edit1), typed);
        Click(Widget(f.Button1));
    };
    // Through the save dialog: on disk within a second, the status line showing the file and its size.
    SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
    CHECK(ChooseInMenu(view, "Ca&pture to File..."));
    CHECK(f.Capture->Running());
    send("hello");
    CHECK(PumpUntil([&] { return FileBytes(dialogPath) == "hello"; }, 1500));
    CHECK(PumpUntil([&] { return LogView(f.Memo1)->View().Status() == "Capture: " + dialogPath + ", 5 bytes"; }, 1000));
    CHECK(ChooseInMenu(view, "Stop Ca&pture"));
    CHECK_EQ(Log(f).back(), "Capture stopped: 5 bytes went to " + dialogPath + ".");
    // Again into it: the box asks, and "Yes" adds to its end; closing the window writes out what was gathered.
    SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
    const UINT_PTR yes = SetTimer(nullptr, 0, 50, SayYes);
    CHECK(ChooseInMenu(view, "Ca&pture to File..."));
    KillTimer(nullptr, yes);
    CHECK(f.Capture->Running());
    send("more");
    CHECK(PumpUntil([&] { return Log(f).back() == "more"; }, 1500));
    SendMessageA(f.Handle(), WM_CLOSE, 0, 0);
    CHECK_EQ(FileBytes(dialogPath), std::string("hellomore"));
    PumpUntil([] { return app->Terminated; }, 2000);
    app->Terminated = false;
    DeleteFileA(dialogPath.c_str());
}

TEST_CASE(a_fault_shows_the_error_box_then_the_window_goes_on_and_closing_closes_the_port)
{
    Window w;
    Win32Form1 &f = w.form;
    // A handler that faults: the system's box, its text and title, read while it is up.
    boxText = boxTitle = "";
    f.Button2->OnClick = [] { FloatDivide(1, 0); };
    SetTimer(nullptr, 0, 200, ReadTheBox);
    SendMessageA(Widget(f.Button2), BM_CLICK, 0, 0);  // returns once the box is closed
    CHECK_EQ(boxText, std::string("Floating point division by zero."));
    CHECK_EQ(boxTitle, TApplication::FaultTitle(TApplication::ProgramFile()));
    f.Button2->OnClick = [&f] { f.Button2Click(); };
    f.Memo1->Append("still here");
    Click(Widget(f.Button2));
    CHECK_EQ(f.Memo1->Lines.LineCount(), std::size_t(0));

    // Closing the window closes its port and ends the loop.
    w.Choose(Board);
    CHECK(PortIsOpen(Board));
    PostMessageA(f.Handle(), WM_CLOSE, 0, 0);
    PumpUntil([] { return app->Terminated; }, 2000);
    CHECK(!PortIsOpen(Board));
    CHECK(app->Terminated && !IsWindow(f.Handle()));
    app->Terminated = false;

    // Closed while a test drains its messages, the heartbeat on: nothing
    // shows once the window is gone.
    Window other;
    other.Choose(Board);
    Click(Widget(other.form.Button6));
    boxText = "";
    UINT_PTR reader = SetTimer(nullptr, 0, 200, ReadTheBox);
    PostMessageA(other.form.Handle(), WM_CLOSE, 0, 0);
    SendMessageA(Widget(other.form.Button4), BM_CLICK, 0, 0);
    Pump(500);
    KillTimer(nullptr, reader);
    CHECK_EQ(boxText, std::string());
    CHECK(!IsWindow(other.form.Handle()) && !PortIsOpen(Board));
    app->Terminated = false;
}

// The modem lines' changes, as "<ms> DTR on", where the host's shim keeps them
// (tests/lines-shim.c, preloaded into the 64-bit Wine run); none without it.
std::vector<std::string> LineChanges()
{
    const char *record = std::getenv("QUORVEL_LINES_RECORD");
    const std::string all = record ? FileBytes(std::string("Z:") + record) : "";
    std::vector<std::string> changes;
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) changes.push_back(all.substr(at, end - at));
    return changes;
}

TEST_CASE(the_port_lists_menu_sets_the_modem_lines_and_a_file_goes_through_the_open_dialog)
{
    Window w;
    Win32Form1 &f = w.form;
    HWND list = ComboEdit(f.ComboBox1), combo = Widget(f.ComboBox1);
    // No port: the list's items follow its edit's, greyed, from Shift+F10 in its edit and a
    // right click on its button; the send box's "Send File..." is greyed too.
    RECT button;
    GetClientRect(combo, &button);
    const LPARAM onButton = MAKELPARAM(button.right - 5, button.bottom / 2);
    const std::vector<std::string> idle{"-", "&DTR (off) (on)", "&RTS (off) (on)", "-", "&Pulse DTR (off)", "Send &Break (off)"};
    BYTE keys[256];
    for (bool shiftF10 : {true, false}) {
        GetKeyboardState(keys);
        keys[VK_SHIFT] = shiftF10 ? 0x80 : 0;
        SetKeyboardState(keys);
        menuItems.clear();
        if (shiftF10) ChooseInMenu(list, "", WM_SYSKEYDOWN, VK_F10, 1);
        else ChooseInMenu(combo, "", WM_RBUTTONUP, 0, onButton);
        CHECK(menuItems.size() == 14 && menuItems.front() == "&Undo (off)");
        CHECK(menuItems.size() >= idle.size() && std::equal(idle.begin(), idle.end(), menuItems.end() - long(idle.size())));
    }
    ChooseInMenu(Widget(f.Edit1), "");
    CHECK_EQ(menuItems.back(), std::string("Send &File... (off)"));

    // Port 5 open: DTR, a pulse of DTR and a break, as the log says them and (under the shim) as the lines went.
    const char *record = std::getenv("QUORVEL_LINES_RECORD");
    if (record) DeleteFileA((std::string("Z:") + record).c_str());
    w.Choose(Board);
    ChooseInMenu(combo, "&DTR", WM_RBUTTONUP, 0, onButton);
    const std::string refused = "Port 5: dropping DTR failed (error 50";  // Wine's answer on a pseudo-terminal
    CHECK_EQ(Log(f).back().substr(0, record ? std::string::npos : refused.size()), std::string(record ? "Port 5: DTR off." : refused));
    if (record) {
        ChooseInMenu(list, "&DTR");
        CHECK_EQ(Log(f).back(), std::string("Port 5: DTR on."));
        ChooseInMenu(list, "&Pulse DTR");
        CHECK(PumpUntil([&] { return Log(f).back() == "Port 5: DTR on: the pulse is over."; }, 2000));
    }
    ChooseInMenu(list, "Send &Break");
    CHECK_EQ(Log(f).back(), std::string("Port 5: break for 250 ms."));
    CHECK(PumpUntil([&] { return Log(f).back() == "Port 5: the break is over."; }, 2000));
    if (record) {
        const std::vector<std::string> changes = LineChanges();
        std::string names;
        for (const std::string &change : changes) names += change.substr(change.find(' ')) + "|";
        CHECK_EQ(names, std::string(" DTR on| RTS on| DTR off| DTR on| DTR off| DTR on| break on| break off|"));
        auto ms = [&](std::size_t i) { return i < changes.size() ? std::atoll(changes[i].c_str()) : 0; };
        CHECK(ms(5) - ms(4) >= 100 && ms(7) - ms(6) >= 250);
    } else {
        std::printf("    (no shim for the modem lines: Wine's refusal on a pseudo-terminal is checked)\n");
    }

    // A file through the open dialog to the cable's far end, a slice at a time: every byte as it was.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    dialogPath = std::string(temp) + "quorvel-send.bin";
    std::string bytes;
    for (int i = 0; i < 300000; ++i) bytes += char('!' + (i * 7 + i / 94) % 94);
    if (std::FILE *file = std::fopen(dialogPath.c_str(), "wb")) std::fwrite(bytes.data(), 1, bytes.size(), file), std::fclose(file);
    w.Choose(Cable);
    CHECK(OpenConsoleWay(FarEnd));
    auto sendFile = [&] {
        SetTimer(nullptr, 0, 20, AnswerTheFileDialog);
        ChooseInMenu(Widget(f.Edit1), "Send &File...");
    };
    sendFile();
    // A message at a time, the far end read between them: ProcessMessages would take
    // the sending timer's ticks (every 1 ms, each a slice of 30) for as long as they come.
    std::string got, status;
    for (auto start = Clock::now(); (f.Job || got.size() < bytes.size()) && MsSince(start) < 30000;) {
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        got += Drain(FarEnd, 1);
        if (f.Job && status.empty()) status = LogView(f.Memo1)->View().Status();
    }
    CHECK(got == bytes);
    CHECK_EQ(status.substr(0, 29), std::string("Send File: quorvel-send.bin: "));
    CHECK_EQ(Log(f).back().substr(0, 50), std::string("Send File: quorvel-send.bin, 300000 bytes sent in "));
    // A larger file to a far end that reads slowly, as a board at 400 KB/s: Escape in the log
    // stops it. The key comes as the keyboard gives it, behind every posted message: the
    // slices, each as long as the writes take, leave room for it.
    if (std::FILE *file = std::fopen(dialogPath.c_str(), "wb")) {
        const std::string mb(1 << 20, 'y');
        for (int i = 0; i < 4; ++i) std::fwrite(mb.data(), 1, mb.size(), file);
        std::fclose(file);
    }
    std::atomic<bool> reading{true};
    std::thread board([&] {
        while (reading) Receive(FarEnd, 4096, 10), Sleep(10);
    });
    sendFile();
    CHECK(f.Job != nullptr);
    StepUntil([] { return false; }, 300);
    SetForegroundWindow(f.Handle());
    SetFocus(Widget(f.Memo1));
    Press({VK_ESCAPE});
    const auto pressed = Clock::now();
    StepUntil([&] { return !f.Job; }, 4000);
    reading = false;
    board.join();
    std::printf("    Escape stopped the send after %lld ms\n", MsSince(pressed));
    CHECK(!f.Job && MsSince(pressed) < 1000 && LogView(f.Memo1)->View().Status().empty());
    CHECK_EQ(Log(f).back().substr(0, 37), std::string("Send File: quorvel-send.bin stopped: "));
    Drain(FarEnd, 300);
    DeleteFileA(dialogPath.c_str());
}

TEST_CASE(the_speed_test_buttons_menu_runs_the_link_tests_and_escape_on_a_button_stops_one)
{
    Window w;
    Win32Form1 &f = w.form;
    SetForegroundWindow(f.Handle());
    HWND button4 = Widget(f.Button4), button5 = Widget(f.Button5);
    RECT r4;
    GetWindowRect(button4, &r4);
    const POINT pointer{r4.left + 20, r4.top + 7};
    // A port with nothing there: the buttons are on, the link tests greyed, from a right click
    // (at the pointer) and from Shift+F10 and the menu key on the button that has the focus
    // (at the button). A button with no items shows no menu.
    w.Choose(NoBoard);
    CHECK(!ChooseInMenu(Widget(f.Button1), ""));
    const std::vector<std::string> greyed{"&Loopback Test (off)", "L&atency Test (off)", "&Packet Size Test (off)"};
    const struct {
        HWND button;
        bool mouse;
        std::function<void()> input;
    } ways[] = {{button4, true, [&] { RightClick(pointer); }}, {button5, false, [] { Press({VK_SHIFT, VK_F10}); }},
                {button4, false, [] { Press({VK_APPS}); }}};
    for (const auto &way : ways) {
        SetFocus(way.button);
        CHECK(ChooseInMenuBy(way.input, ""));
        CHECK(menuItems == greyed);
        RECT r;
        GetWindowRect(way.button, &r);
        const POINT at = way.mouse ? pointer : POINT{r.left + 2, r.bottom - 2};
        CHECK_EQ(std::to_string(menuAt.x) + "," + std::to_string(menuAt.y), std::to_string(at.x) + "," + std::to_string(at.y));
    }

    // On the board that echoes: a loopback from a right click, stopped by a real Escape at once
    // where the focus is on a control that does not take it (a button, the group: the window's
    // own Escape) and in the send box (the box's); its figures said, no error, and nothing of its
    // echo left to come into the log.
    w.Choose(EchoBoard);
    // The last line that begins with `start`, and the one after it ("" for none).
    auto said = [&f](const std::string &start) {
        const std::vector<std::string> lines = Log(f);
        for (std::size_t i = lines.size(); i-- > 0;)
            if (lines[i].rfind(start, 0) == 0) return std::make_pair(lines[i], i + 1 < lines.size() ? lines[i + 1] : "");
        return std::make_pair(std::string(), std::string());
    };
    for (HWND focus : {button4, RadioItem(f.RadioGroup1, 1), Widget(f.Edit1)}) {
        CHECK(ChooseInMenuBy([&] { RightClick(pointer); }, "&Loopback Test"));
        StepUntil([] { return false; }, 1000);
        CHECK_EQ(LogView(f.Memo1)->View().Status().substr(0, 10), std::string("Loopback: "));
        SetFocus(focus);
        Press({VK_ESCAPE});
        const auto pressed = Clock::now();
        CHECK(StepUntil([&] { return !f.Job; }, 4000));
        std::printf("    Escape stopped the loopback after %lld ms\n", MsSince(pressed));
        CHECK(MsSince(pressed) < 1000 && LogView(f.Memo1)->View().Status().empty());
        const std::string summary = said("Loopback: stopped.").second;
        CHECK(summary.find(" bytes sent, ") != std::string::npos && summary.size() > 10 && summary.substr(summary.size() - 10) == "no errors.");
        StepUntil([] { return false; }, 300);
        CHECK_EQ(Log(f).back(), summary);
    }
    // The latency, from the menu key, run to its end.
    SetFocus(button5);
    CHECK(ChooseInMenuBy([] { Press({VK_APPS}); }, "L&atency Test"));
    CHECK(StepUntil([&] { return !f.Job; }, 20000));
    CHECK(!said("Latency, 1 byte, 100 round trips (ms): min ").first.empty());
}

int main()
{
    TWin32Application application;
    app = &application;
    return check::RunAll();
}
