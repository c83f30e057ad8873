// The controls a Win32 window is made of: each over a system control (or our
// log), hearing its notifications and timer ticks through the window. Only
// the window's own source includes this.
#ifndef QUORVEL_WIN32_WIN32PARTS_H
#define QUORVEL_WIN32_WIN32PARTS_H

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Completion.h"
#include "Quorvel.h"
#include "Win32Application.h"
#include "Win32Controls.h"
#include "Win32FineTimer.h"

// What the window hands a control: its notifications and its timer's ticks.
class TWin32Window::Part {
public:
    virtual ~Part() = default;
    virtual void Notify(HWND from, WORD code) { (void)from, (void)code; }
    virtual void Tick() {}
    virtual void DrawItem(const DRAWITEMSTRUCT &item) { (void)item; }
    // A context menu asked for on the control (`at` as WM_CONTEXTMENU has it); false: it has none.
    virtual bool Menu(LPARAM at) { return (void)at, false; }
};

const int FirstId = 100;  // clear of IDOK and IDCANCEL, which the dialog manager sends

// Runs a control's handler through the frame, which reports a fault.
inline void Fire(const std::function<void()> &handler)
{
    if (handler) TApplication::Run(handler);
}

inline std::string WindowText(HWND hwnd)
{
    int n = GetWindowTextLengthA(hwnd);
    std::string text(std::size_t(std::max(n, 0)) + 1, '\0');
    n = GetWindowTextA(hwnd, text.data(), n + 1);
    text.resize(std::size_t(std::max(n, 0)));
    return text;
}

template <typename Base>
class Windowed : public Base {
public:
    explicit Windowed(HWND hwnd) : hwnd(hwnd) {}
    bool Enabled() const override { return IsWindowEnabled(hwnd) != FALSE; }
    void SetEnabled(bool enabled) override { EnableWindow(hwnd, enabled); }
    HWND const hwnd;
};

// Subclasses a system control with an ANSI window procedure, so its
// characters stay bytes of the code page (comctl32's subclassing is Unicode).
template <typename Self>
class Subclass {
protected:
    void Hook(HWND hwnd)
    {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Proc)));
    }
    LRESULT Previous(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        return CallWindowProcA(previous, hwnd, message, wParam, lParam);
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = reinterpret_cast<Subclass *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        return Guarded([&] { return static_cast<Self *>(self)->Subclassed(hwnd, message, wParam, lParam); });
    }
    WNDPROC previous = nullptr;
};

// A control's own menu items, asked as its context menu opens.
inline std::vector<TMenuItem> MenuItems(const std::function<std::vector<TMenuItem>()> &ask)
{
    std::vector<TMenuItem> items;
    if (ask) TApplication::Run([&] { items = ask(); });
    return items;
}

// Shows `menu` with `items` after what it has, where the pointer is (or, from
// the keyboard, at `box`'s corner), and runs the item of them chosen; else
// returns the id of the menu's own item chosen (0: none). `menu` goes.
inline UINT TrackMenu(HMENU menu, const std::vector<TMenuItem> &items, HWND owner, HWND box, LPARAM at)
{
    const UINT own = 100;  // past the menu's own ids
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TMenuItem &item = items[i];
        if (item.Separator) AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        else AppendMenuA(menu, MF_STRING | (item.Checked ? MF_CHECKED : 0) | (item.Enabled ? 0 : MF_GRAYED), own + i, item.Caption.c_str());
    }
    POINT p{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
    if (at == LPARAM(-1)) {
        RECT r;
        GetWindowRect(box, &r);
        p = {r.left + 2, r.bottom - 2};
    }
    const UINT chosen = UINT(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, p.x, p.y, 0, owner, nullptr));
    DestroyMenu(menu);
    if (chosen < own || chosen - own >= items.size()) return chosen;
    if (items[chosen - own].OnClick) TApplication::Run(items[chosen - own].OnClick);
    return 0;
}

// An edit control's context menu: the system's edit items, then a control's
// own, where the pointer is (or, from the keyboard, at `box`'s corner).
inline void EditMenu(HWND edit, HWND box, LPARAM at, const std::function<std::vector<TMenuItem>()> &ask)
{
    const std::vector<TMenuItem> items = MenuItems(ask);
    HMENU menu = CreatePopupMenu();
    DWORD from = 0, to = 0;
    SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
    const bool selected = from != to, text = GetWindowTextLengthA(edit) > 0;
    const bool paste = IsClipboardFormatAvailable(CF_TEXT) != 0;
    enum { Undo = 1, Cut, Copy, Paste, Delete, SelectAll };
    AppendMenuA(menu, MF_STRING | (SendMessageA(edit, EM_CANUNDO, 0, 0) ? 0 : MF_GRAYED), Undo, "&Undo");
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING | (selected ? 0 : MF_GRAYED), Cut, "Cu&t");
    AppendMenuA(menu, MF_STRING | (selected ? 0 : MF_GRAYED), Copy, "&Copy");
    AppendMenuA(menu, MF_STRING | (paste ? 0 : MF_GRAYED), Paste, "&Paste");
    AppendMenuA(menu, MF_STRING | (selected ? 0 : MF_GRAYED), Delete, "&Delete");
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING | (text ? 0 : MF_GRAYED), SelectAll, "Select &All");
    SetFocus(edit);
    switch (TrackMenu(menu, items, edit, box, at)) {
    case Undo: SendMessageA(edit, EM_UNDO, 0, 0); break;
    case Cut: SendMessageA(edit, WM_CUT, 0, 0); break;
    case Copy: SendMessageA(edit, WM_COPY, 0, 0); break;
    case Paste: SendMessageA(edit, WM_PASTE, 0, 0); break;
    case Delete: SendMessageA(edit, WM_CLEAR, 0, 0); break;
    case SelectAll: SendMessageA(edit, EM_SETSEL, 0, -1); break;
    default: break;
    }
}

class Win32Label : public Windowed<TLabel>, public TWin32Window::Part {
public:
    using Windowed::Windowed;
};

// The parts are the window's own, so they reach its private Part.
class Win32Edit : public Windowed<TEdit>, public TWin32Window::Part, public Subclass<Win32Edit> {
public:
    explicit Win32Edit(HWND hwnd) : Windowed(hwnd) { Hook(hwnd); }
    std::string Text() const override { return WindowText(hwnd); }
    void SetText(const std::string &text) override
    {
        SetWindowTextA(hwnd, text.c_str());
        SendMessageA(hwnd, EM_SETSEL, WPARAM(text.size()), LPARAM(text.size()));
    }

    LRESULT Subclassed(HWND h, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_GETDLGCODE && lParam) {
            // Enter (and Escape, which recalls) are the box's own keys, not the dialog manager's.
            auto *msg = reinterpret_cast<MSG *>(lParam);
            if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || (msg->wParam == VK_ESCAPE && OnKeyDown)))
                return Previous(h, message, wParam, lParam) | DLGC_WANTMESSAGE;
        }
        if (message == WM_KEYDOWN && OnKeyDown && (wParam == VK_UP || wParam == VK_DOWN || wParam == VK_ESCAPE) &&
            !(GetKeyState(VK_CONTROL) & 0x8000) && !(GetKeyState(VK_SHIFT) & 0x8000) && !(GetKeyState(VK_MENU) & 0x8000)) {
            const TEditKey key = wParam == VK_UP ? TEditKey::Up : wParam == VK_DOWN ? TEditKey::Down : TEditKey::Escape;
            bool took = false;
            TApplication::Run([this, key, &took] { took = OnKeyDown(key); });
            if (took) return 0;
        }
        if (message == WM_CONTEXTMENU) return EditMenu(hwnd, hwnd, lParam, OnMenu), 0;
        if (message == WM_CHAR && OnKeyPress) {
            char key = char(wParam);
            TApplication::Run([this, &key] { OnKeyPress(key); });
            if (key == 0) return 0;
            wParam = static_cast<unsigned char>(key);
        }
        return Previous(h, message, wParam, lParam);
    }
};

class Win32Button : public Windowed<TButton>, public TWin32Window::Part {
public:
    using Windowed::Windowed;
    void Notify(HWND, WORD code) override
    {
        // A disabled button does nothing, whatever message reaches it.
        if (code == BN_CLICKED && Enabled()) Fire(OnClick);
    }
    // The button leaves its right click, Shift+F10 and the menu key to the window, which hands them here.
    bool Menu(LPARAM at) override
    {
        const std::vector<TMenuItem> items = MenuItems(OnMenu);
        if (items.empty()) return false;
        TrackMenu(CreatePopupMenu(), items, hwnd, hwnd, at);
        return true;
    }
};

// The log's text stays in the control's store; the view draws what is in sight.
class Win32Memo : public TMemo, public TWin32Window::Part {
public:
    Win32Memo(HWND parent, int id, DWORD style) : view(Lines, parent, id, style)
    {
        view.escape = [this] { return OnEscape && OnEscape(); };
        view.formItems = [this](HMENU menu, POINT at) {
            return TrackMenu(menu, MenuItems(OnMenu), view.Handle(), view.Handle(), MAKELPARAM(at.x, at.y));
        };
    }
    void SetStatus(const std::string &line) override
    {
        // A find or a save of the log's own keeps the line while it lasts.
        TLogView &shown = view.View();
        if (!shown.Working() && shown.Status() != line) shown.Say(line);
    }
    bool Enabled() const override { return IsWindowEnabled(view.Handle()) != FALSE; }
    void SetEnabled(bool enabled) override { EnableWindow(view.Handle(), enabled); }
    TWin32Log view;

protected:
    void Changed() override { view.StoreChanged(); }
};

// The editable drop-down list. Win32's does not complete typed text by
// itself: its edit part is subclassed to complete against the entries.
class Win32ComboBox : public Windowed<TComboBox>, public TWin32Window::Part, public Subclass<Win32ComboBox> {
public:
    explicit Win32ComboBox(HWND hwnd) : Windowed(hwnd)
    {
        COMBOBOXINFO info{};
        info.cbSize = sizeof info;
        GetComboBoxInfo(hwnd, &info);
        edit = info.hwndItem;
        Hook(edit);
    }
    int ItemIndex() const override { return int(SendMessageA(hwnd, CB_GETCURSEL, 0, 0)); }
    void SetItemIndex(int index) override
    {
        chosen = index;
        if (ItemIndex() == index) return;  // the shown text stays as it is
        ++editing;
        SendMessageA(hwnd, CB_SETCURSEL, WPARAM(index), 0);
        --editing;
    }
    // The list's rows are ours to draw (the notes beside the entries); the
    // box keeps the heights a plain one has with this font.
    void FitHeights(HFONT font)
    {
        HWND plain = CreateWindowExA(0, "COMBOBOX", "", CBS_DROPDOWN | WS_CHILD, 0, 0, 10, 100, GetParent(hwnd), nullptr,
                                     GetModuleHandleA(nullptr), nullptr);
        SendMessageA(plain, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        const LRESULT field = SendMessageA(plain, CB_GETITEMHEIGHT, WPARAM(-1), 0);
        SendMessageA(hwnd, CB_SETITEMHEIGHT, WPARAM(-1), field);
        SendMessageA(hwnd, CB_SETITEMHEIGHT, 0, SendMessageA(plain, CB_GETITEMHEIGHT, 0, 0));
        // Some systems give an owner-drawn box a taller frame for the same item height.
        RECT mine, theirs;
        GetWindowRect(hwnd, &mine), GetWindowRect(plain, &theirs);
        const int over = int(mine.bottom - mine.top) - int(theirs.bottom - theirs.top);
        if (over != 0) SendMessageA(hwnd, CB_SETITEMHEIGHT, WPARAM(-1), field - over);
        DestroyWindow(plain);
    }
    void DrawItem(const DRAWITEMSTRUCT &item) override
    {
        if (int(item.itemID) < 0) return;
        const bool selected = item.itemState & ODS_SELECTED;
        FillRect(item.hDC, &item.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
        SetBkMode(item.hDC, TRANSPARENT);
        SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        RECT r = item.rcItem;
        r.left += 2;
        const std::string entry = Entry(int(item.itemID));
        DrawTextA(item.hDC, entry.c_str(), int(entry.size()), &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
        if (item.itemID >= Notes.size()) return;
        const TItemNote &note = Notes[item.itemID];
        if (note.Dimmed && !selected) SetTextColor(item.hDC, GetSysColor(COLOR_GRAYTEXT));
        r.left += ComboNoteLeft(WidthOf20(item.hDC));
        DrawTextA(item.hDC, note.Text.c_str(), int(note.Text.size()), &r, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
    }
    void Notify(HWND, WORD code) override
    {
        if (code == CBN_DROPDOWN) return DropDown();
        if (editing) return;
        // Moving through the open list previews; the entry the list closes on
        // is the choice. In the closed box the arrow keys choose at once. (The
        // system sends the two notifications in either order.)
        if (code == CBN_SELCHANGE && !SendMessageA(hwnd, CB_GETDROPPEDSTATE, 0, 0)) Choose();
        if (code == CBN_CLOSEUP) Choose();
        // Edits that do not come through the typed keys (paste, cut, Delete) leave no entry selected.
        if (code == CBN_EDITCHANGE) ClearEntry();
    }

    // On the edit part or on the box itself (the window hears the box's): the edit's menu.
    bool Menu(LPARAM at) override
    {
        EditMenu(edit, hwnd, at, OnMenu);
        return true;
    }

    LRESULT Subclassed(HWND h, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_CONTEXTMENU) return Menu(lParam), 0;
        if (message != WM_CHAR) return Previous(h, message, wParam, lParam);
        const unsigned char typed = static_cast<unsigned char>(wParam);
        if ((typed < ' ' && typed != VK_BACK) || typed == 127) return Previous(h, message, wParam, lParam);
        std::vector<std::string> entries;
        const int count = int(SendMessageA(hwnd, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) entries.push_back(Entry(i));
        DWORD from = 0, to = 0;
        SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
        TComboText box{WindowText(edit), int(from), int(to), chosen};
        const bool change = ComboType(entries, box, typed == VK_BACK ? ComboBackspace : char(typed));
        ++editing;
        if (ItemIndex() != box.index) SendMessageA(hwnd, CB_SETCURSEL, WPARAM(box.index), 0);  // shows an entry's text
        if (WindowText(edit) != box.text) SetWindowTextA(edit, box.text.c_str());
        SendMessageA(edit, EM_SETSEL, WPARAM(box.selFrom), LPARAM(box.selTo));
        --editing;
        chosen = box.index;
        if (change) Changed(true);
        return 0;
    }

    HWND edit = nullptr;

private:
    static int WidthOf20(HDC dc)
    {
        SIZE size{};
        GetTextExtentPoint32A(dc, "20", 2, &size);
        return size.cx;
    }
    // The notes are read as the list opens; the list grows as wide as they need.
    void DropDown()
    {
        Fire(OnDropDown);
        HDC dc = GetDC(hwnd);
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0)));
        LONG width = 0;
        for (const TItemNote &note : Notes) {
            SIZE size{};
            GetTextExtentPoint32A(dc, note.Text.c_str(), int(note.Text.size()), &size);
            width = std::max(width, size.cx);
        }
        const int total = ComboRowWidth(WidthOf20(dc), int(width)) + GetSystemMetrics(SM_CXVSCROLL);
        SelectObject(dc, old);
        ReleaseDC(hwnd, dc);
        SendMessageA(hwnd, CB_SETDROPPEDWIDTH, WPARAM(total), 0);
    }
    std::string Entry(int i) const
    {
        int n = int(SendMessageA(hwnd, CB_GETLBTEXTLEN, WPARAM(i), 0));
        std::string entry(std::size_t(std::max(n, 0)) + 1, '\0');
        n = int(SendMessageA(hwnd, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(entry.data())));
        entry.resize(std::size_t(std::max(n, 0)));
        return entry;
    }
    void ClearEntry()
    {
        // Dropping the selected entry would also empty the text; keep what the user sees.
        DWORD from = 0, to = 0;
        SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
        TComboText box{WindowText(edit), int(from), int(to), ItemIndex()};
        const bool change = ComboEdited(box);
        ++editing;
        if (ItemIndex() != box.index) {
            SendMessageA(hwnd, CB_SETCURSEL, WPARAM(box.index), 0);
            if (WindowText(edit) != box.text) SetWindowTextA(edit, box.text.c_str());
            SendMessageA(edit, EM_SETSEL, WPARAM(box.selFrom), LPARAM(box.selTo));
        }
        --editing;
        chosen = box.index;
        if (change) Changed(true);
    }
    // The entry now selected is the user's choice: the handler runs if it changed.
    void Choose()
    {
        if (ItemIndex() == chosen) return;
        chosen = ItemIndex();
        Changed(false);
    }
    void Changed(bool typed)
    {
        Typed = typed;
        Fire(OnChange);
        Typed = false;
    }
    int editing = 0;  // inside our own changes: the combo box's notifications are ours
    int chosen = -1;  // the entry the handler last ran for
};

// The framed group and its buttons, siblings in the window so that the
// dialog manager moves through them with the arrow keys.
class Win32RadioGroup : public Windowed<TRadioGroup>, public TWin32Window::Part {
public:
    explicit Win32RadioGroup(HWND frame) : Windowed(frame) {}
    int ItemIndex() const override
    {
        for (std::size_t i = 0; i < items.size(); ++i)
            if (SendMessageA(items[i], BM_GETCHECK, 0, 0) == BST_CHECKED) return int(i);
        return -1;
    }
    void SetItemIndex(int index) override
    {
        for (std::size_t i = 0; i < items.size(); ++i)
            SendMessageA(items[i], BM_SETCHECK, int(i) == index ? BST_CHECKED : BST_UNCHECKED, 0);
        Changed();
    }
    void SetEnabled(bool enabled) override
    {
        Windowed::SetEnabled(enabled);
        for (HWND item : items) EnableWindow(item, enabled);
    }
    void Notify(HWND, WORD code) override
    {
        if (code == BN_CLICKED) Changed();
    }
    // The group is one tab stop, its checked item; the arrow keys move within it.
    void SetTabStop()
    {
        int checked = std::max(ItemIndex(), 0);
        for (std::size_t i = 0; i < items.size(); ++i) {
            LONG_PTR style = GetWindowLongPtrA(items[i], GWL_STYLE);
            style = int(i) == checked ? style | WS_TABSTOP : style & ~LONG_PTR(WS_TABSTOP);
            SetWindowLongPtrA(items[i], GWL_STYLE, style);
        }
    }
    std::vector<HWND> items;
    int selected = -1;

private:
    void Changed()
    {
        // Only a change of selection counts, however it is made (mouse, arrow keys, code).
        int now = ItemIndex();
        SetTabStop();
        if (now == selected) return;
        selected = now;
        if (now >= 0) Fire(OnClick);
    }
};

// The window's message for a fine timer's tick (wParam: the timer's id).
constexpr UINT WM_FINETICK = WM_APP + 1;

class Win32Timer : public TTimer, public TWin32Window::Part {
public:
    // Below SetTimer's 10 ms (the log's 1 ms poll), a fine timer where the system has one.
    Win32Timer(HWND owner, UINT_PTR id, int interval) : owner(owner), id(id), interval(UINT(std::max(interval, 1)))
    {
        if (this->interval < USER_TIMER_MINIMUM) fine = std::make_unique<TFineTimer>(owner, WM_FINETICK, id, this->interval);
    }
    ~Win32Timer() override
    {
        fine.reset();
        if (running && IsWindow(owner)) KillTimer(owner, id);
    }
    bool Enabled() const override { return running; }
    // A running timer is not restarted: its next tick keeps its schedule.
    void SetEnabled(bool enabled) override
    {
        if (enabled == running) return;
        if (!enabled) {
            if (fine) fine->Stop();
            KillTimer(owner, id);
            running = resuming = false;
            return;
        }
        // A window that is gone (closed while a handler still ran) ticks no more.
        if (!IsWindow(owner)) return;
        if (fine && !fine->Start()) fine.reset();
        if (!fine && !SetTimer(owner, id, interval, nullptr)) throw std::runtime_error("Not enough timers available");
        running = true;
    }
    void Tick() override
    {
        if (running) Fire(OnTimer);
        if (!fine) return;
        // Posted ticks come before keys, clicks and drawing: while any of those
        // waits, the next tick comes as an ordinary timer's, which Windows
        // gives only to a queue that has nothing else (a file's 30-ms slices
        // would otherwise leave no room for the Escape that stops them).
        if (running && HIWORD(GetQueueStatus(QS_INPUT | QS_PAINT)) && IsWindow(owner)) {
            resuming = SetTimer(owner, id, USER_TIMER_MINIMUM, nullptr) != 0;
            if (resuming) return;
        }
        if (resuming) KillTimer(owner, id), resuming = false;
        fine->Taken();
    }
    bool Fine() const { return fine != nullptr; }
    HWND const owner;
    UINT_PTR const id;
    UINT const interval;

private:
    bool running = false;
    bool resuming = false;  // the fine timer's next tick waits for an idle queue (SetTimer's)
    std::unique_ptr<TFineTimer> fine;
};

#endif
