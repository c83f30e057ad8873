#include "Win32Controls.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "Quorvel.h"
#include "Win32Application.h"

// What the window hands a control: its notifications and its timer's ticks.
class TWin32Window::Part {
public:
    virtual ~Part() = default;
    virtual void Notify(HWND from, WORD code) { (void)from, (void)code; }
    virtual void Tick() {}
};

namespace {

const int FirstId = 100;  // clear of IDOK and IDCANCEL, which the dialog manager sends

// Runs a control's handler through the frame, which reports a fault.
void Fire(const std::function<void()> &handler)
{
    if (handler) TApplication::Run(handler);
}

std::string WindowText(HWND hwnd)
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

class Win32Label : public Windowed<TLabel>, public TWin32Window::Part {
public:
    using Windowed::Windowed;
};
}  // namespace

// The parts are the window's own, so they reach its private Part.
class Win32Edit : public Windowed<TEdit>, public TWin32Window::Part, public Subclass<Win32Edit> {
public:
    explicit Win32Edit(HWND hwnd) : Windowed(hwnd) { Hook(hwnd); }
    std::string Text() const override { return WindowText(hwnd); }
    void SetText(const std::string &text) override { SetWindowTextA(hwnd, text.c_str()); }

    LRESULT Subclassed(HWND h, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_GETDLGCODE && lParam) {
            // Enter is the box's own key, not the dialog manager's default button.
            auto *msg = reinterpret_cast<MSG *>(lParam);
            if (msg->message == WM_KEYDOWN && msg->wParam == VK_RETURN) return Previous(h, message, wParam, lParam) | DLGC_WANTMESSAGE;
        }
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
};

// The log's text stays in the control's store; the view draws what is in sight.
class Win32Memo : public TMemo, public TWin32Window::Part {
public:
    Win32Memo(HWND parent, int id, DWORD style) : view(Lines, parent, id, style) {}
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
    void Notify(HWND, WORD code) override
    {
        if (editing) return;
        // Moving through the open list previews; the entry the list closes on
        // is the choice. In the closed box the arrow keys choose at once. (The
        // system sends the two notifications in either order.)
        if (code == CBN_SELCHANGE && !SendMessageA(hwnd, CB_GETDROPPEDSTATE, 0, 0)) Choose();
        if (code == CBN_CLOSEUP) Choose();
        // Edits that do not come through the typed keys (paste, cut, Delete) leave no entry selected.
        if (code == CBN_EDITCHANGE) ClearEntry();
    }

    LRESULT Subclassed(HWND h, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message != WM_CHAR) return Previous(h, message, wParam, lParam);
        const unsigned char typed = static_cast<unsigned char>(wParam);
        if (typed == VK_BACK) {
            ++editing;
            Previous(h, message, wParam, lParam);
            --editing;
            ClearEntry();
            return 0;
        }
        if (typed < ' ' || typed == 127) return Previous(h, message, wParam, lParam);
        DWORD from = 0, to = 0;
        SendMessageA(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
        std::string text = WindowText(edit);
        std::string start = (from != to ? text.substr(0, std::min<std::size_t>(from, text.size())) : text) + char(typed);
        const int count = int(SendMessageA(hwnd, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            std::string entry = Entry(i);
            if (entry.size() < start.size() || CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, entry.data(), int(start.size()),
                                                              start.data(), int(start.size())) != CSTR_EQUAL)
                continue;
            // The first entry it begins: selected and shown whole, the completed part selected.
            ++editing;
            SendMessageA(hwnd, CB_SETCURSEL, WPARAM(i), 0);  // shows the entry's text
            SendMessageA(edit, EM_SETSEL, start.size(), entry.size());
            --editing;
            Choose();
            return 0;
        }
        ++editing;
        Previous(h, message, wParam, lParam);
        --editing;
        ClearEntry();
        return 0;
    }

    HWND edit = nullptr;

private:
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
        std::string text = WindowText(edit);
        ++editing;
        if (ItemIndex() != -1) {
            SendMessageA(hwnd, CB_SETCURSEL, WPARAM(-1), 0);
            if (WindowText(edit) != text) SetWindowTextA(edit, text.c_str());
            SendMessageA(edit, EM_SETSEL, from, to);
        }
        --editing;
        chosen = -1;
        Fire(OnChange);
    }
    // The entry now selected is the user's choice: the handler runs if it changed.
    void Choose()
    {
        if (ItemIndex() == chosen) return;
        chosen = ItemIndex();
        Fire(OnChange);
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

class Win32Timer : public TTimer, public TWin32Window::Part {
public:
    Win32Timer(HWND owner, UINT_PTR id, int interval) : owner(owner), id(id), interval(UINT(std::max(interval, 1))) {}
    ~Win32Timer() override
    {
        if (running && IsWindow(owner)) KillTimer(owner, id);
    }
    bool Enabled() const override { return running; }
    // A running timer is not restarted: its next tick keeps its schedule.
    void SetEnabled(bool enabled) override
    {
        if (enabled == running) return;
        if (!enabled) {
            KillTimer(owner, id);
            running = false;
            return;
        }
        // A window that is gone (closed while a handler still ran) ticks no more.
        if (!IsWindow(owner)) return;
        if (!SetTimer(owner, id, interval, nullptr)) throw std::runtime_error("Not enough timers available");
        running = true;
    }
    void Tick() override
    {
        if (running) Fire(OnTimer);
    }
    HWND const owner;
    UINT_PTR const id;
    UINT const interval;

private:
    bool running = false;
};

// ---------------------------------------------------------------- the window

namespace {

// "MS Sans Serif" at the design's height, scaled for the screen's resolution.
HFONT DesignFont(const char *family, int height, int dpi, double *scale)
{
    HFONT font = CreateFontA(-MulDiv(height, dpi, 96), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, family);
    *scale = 1.0;
    if (dpi != 96) {
        // Every position and size follows the text height the font really has, against 13 at 96 dpi.
        HDC dc = GetDC(nullptr);
        HGDIOBJ old = SelectObject(dc, font);
        TEXTMETRICA tm{};
        GetTextMetricsA(dc, &tm);
        SelectObject(dc, old);
        ReleaseDC(nullptr, dc);
        if (tm.tmHeight > 0) *scale = tm.tmHeight / 13.0;
    }
    return font;
}

int ScreenDpi()
{
    HDC dc = GetDC(nullptr);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? dpi : 96;
}

// No WS_CLIPCHILDREN: a group box draws only its frame, the window its inside.
const DWORD WindowStyle = WS_OVERLAPPEDWINDOW;

}  // namespace

TWin32Window::TWin32Window(int dpi) : dpi(dpi) {}

TWin32Window::~TWin32Window()
{
    ClearEvents();
    // The controls' windows go with the window; their parts after, so that no
    // notification on the way out reaches a part that is gone.
    if (hwnd) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
    controls.clear();
    if (font) DeleteObject(font);
}

int TWin32Window::live = 0;

void TWin32Window::FitLabels()
{
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font);
    for (Placed &p : placed) {
        if (std::find(labels.begin(), labels.end(), p.hwnd) == labels.end()) continue;
        char caption[256] = "";
        int n = GetWindowTextA(p.hwnd, caption, sizeof caption);
        SIZE extent{};
        GetTextExtentPoint32A(dc, caption, n, &extent);
        if (extent.cx <= p.rect.right - p.rect.left) continue;
        p.rect.right = p.rect.left + extent.cx;
        MoveWindow(p.hwnd, p.rect.left, p.rect.top, extent.cx, p.rect.bottom - p.rect.top, FALSE);
    }
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
}

TWin32Window *TWin32Window::Of(HWND h)
{
    HWND root = h ? GetAncestor(h, GA_ROOT) : nullptr;
    if (!root) return nullptr;
    char name[64] = "";
    GetClassNameA(root, name, sizeof name);
    if (std::string(name).rfind("TQuorvel", 0) != 0) return nullptr;
    return reinterpret_cast<TWin32Window *>(GetWindowLongPtrA(root, GWLP_USERDATA));
}

RECT TWin32Window::Scaled(int left, int top, int width, int height) const
{
    auto s = [this](int v) { return int(std::lround(v * scale)); };
    return {s(left), s(top), s(left) + s(width), s(top) + s(height)};
}

void TWin32Window::Build(const TFormDesign &design)
{
    if (dpi <= 0) dpi = ScreenDpi();
    font = DesignFont(design.FontName, design.FontHeight, dpi, &scale);

    // One class per form, named after it.
    const std::string className = std::string("TQuorvel") + design.Name;
    WNDCLASSA wc{};
    if (!GetClassInfoA(GetModuleHandleA(nullptr), className.c_str(), &wc)) {
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = className.c_str();
        if (!RegisterClassA(&wc)) throw std::runtime_error("the window class could not be registered");
    }
    RECT client = Scaled(design.Left, design.Top, design.ClientWidth, design.ClientHeight);
    designClient = {client.right - client.left, client.bottom - client.top};
    RECT outer{0, 0, designClient.cx, designClient.cy};
    AdjustWindowRectEx(&outer, WindowStyle, FALSE, 0);
    hwnd = CreateWindowExA(0, className.c_str(), design.Caption.c_str(), WindowStyle, client.left, client.top, outer.right - outer.left,
                           outer.bottom - outer.top, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    if (!hwnd) throw std::runtime_error("the window could not be made");
    ++live;

    // Children are made in tab order, which is the order the dialog manager
    // moves through them; controls that take no focus come after.
    std::vector<const TControlDesign *> rows;
    for (const TControlDesign &row : design.Controls) rows.push_back(&row);
    std::stable_sort(rows.begin(), rows.end(), [](const TControlDesign *a, const TControlDesign *b) {
        auto key = [](const TControlDesign *r) { return r->TabOrder < 0 ? 1 << 30 : r->TabOrder; };
        return key(a) < key(b);
    });
    int id = FirstId;
    for (const TControlDesign *row : rows) {
        HWND made = Make(*row, id++);
        if (made && row->TabOrder == 0) first = made;
    }
    for (const Placed &p : placed) SendMessageA(p.hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    FitLabels();
    if (auto *group = dynamic_cast<Win32RadioGroup *>(Find<TRadioGroup>("RadioGroup1"))) group->SetTabStop();
}

HWND TWin32Window::Child(const char *windowClass, const std::string &text, DWORD style, DWORD exStyle, const TControlDesign &row, int id,
                         int dropDown)
{
    RECT r = Scaled(row.Left, row.Top, row.Width, row.Height);
    if (!row.Enabled) style |= WS_DISABLED;
    if (row.TabOrder >= 0) style |= WS_TABSTOP;
    HWND child = CreateWindowExA(exStyle, windowClass, text.c_str(), style | WS_CHILD | WS_VISIBLE | WS_GROUP, r.left, r.top,
                                 r.right - r.left, r.bottom - r.top + dropDown, hwnd, reinterpret_cast<HMENU>(INT_PTR(id)),
                                 GetModuleHandleA(nullptr), nullptr);
    if (!child) throw std::runtime_error(std::string("the control ") + row.Name + " could not be made");
    placed.push_back({child, r, dropDown, row.Anchors});
    return child;
}

HWND TWin32Window::Make(const TControlDesign &row, int id)
{
    std::unique_ptr<TControl> control;
    Part *part = nullptr;
    HWND made = nullptr;
    switch (row.Kind) {
    case TControlKind::Label: {
        // One line, as wide as its caption needs: at another resolution the
        // font need not scale as the box does.
        made = Child("STATIC", row.Caption, SS_LEFTNOWORDWRAP, 0, row, id);
        labels.push_back(made);
        auto label = std::make_unique<Win32Label>(made);
        part = label.get(), control = std::move(label);
        break;
    }
    case TControlKind::Edit: {
        made = Child("EDIT", row.Caption, ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, row, id);
        if (row.MaxLength > 0) SendMessageA(made, EM_LIMITTEXT, WPARAM(row.MaxLength), 0);
        auto edit = std::make_unique<Win32Edit>(made);
        part = edit.get(), control = std::move(edit);
        break;
    }
    case TControlKind::Button: {
        made = Child("BUTTON", row.Caption, BS_PUSHBUTTON, 0, row, id);
        auto button = std::make_unique<Win32Button>(made);
        part = button.get(), control = std::move(button);
        break;
    }
    case TControlKind::Memo: {
        RECT r = Scaled(row.Left, row.Top, row.Width, row.Height);
        DWORD style = WS_VISIBLE | WS_GROUP | (row.TabOrder >= 0 ? WS_TABSTOP : 0) | (row.Enabled ? 0 : WS_DISABLED);
        auto memo = std::make_unique<Win32Memo>(hwnd, id, style);
        made = memo->view.Handle();
        MoveWindow(made, r.left, r.top, r.right - r.left, r.bottom - r.top, FALSE);
        placed.push_back({made, r, 0, row.Anchors});
        part = memo.get(), control = std::move(memo);
        break;
    }
    case TControlKind::ComboBox: {
        // Eight entries show when the list drops down.
        int dropDown = int(std::lround((8 * 13 + 2) * scale));
        made = Child("COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL, 0, row, id, dropDown);
        for (const std::string &item : row.Items) SendMessageA(made, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        SendMessageA(made, CB_SETCURSEL, WPARAM(row.ItemIndex), 0);
        if (row.ItemIndex < 0) SetWindowTextA(made, row.Caption.c_str());
        auto combo = std::make_unique<Win32ComboBox>(made);
        byWindow[combo->edit] = combo.get();
        part = combo.get(), control = std::move(combo);
        break;
    }
    case TControlKind::RadioGroup: {
        made = Child("BUTTON", row.Caption, BS_GROUPBOX, 0, TControlDesign{row.Kind, row.Name, row.Left, row.Top, row.Width, row.Height,
                                                                             row.Anchors, "", {}, row.Enabled, -1},
                     id);
        auto group = std::make_unique<Win32RadioGroup>(made);
        // Items share the space under the caption evenly, each centred in its share.
        const int count = int(row.Items.size());
        const int captionHeight = 13 + 2, cell = (row.Height - captionHeight - 4) / std::max(count, 1);
        const int itemHeight = std::min(cell, 17);
        for (int i = 0; i < count; ++i) {
            TControlDesign item{TControlKind::Button, row.Name, row.Left + 8, row.Top + captionHeight + i * cell + (cell - itemHeight) / 2,
                                row.Width - 16, itemHeight, row.Anchors, row.Items[std::size_t(i)], {}, row.Enabled,
                                i == 0 ? row.TabOrder : -1};
            DWORD style = BS_AUTORADIOBUTTON;
            HWND button = Child("BUTTON", item.Caption, style, 0, item, id + 1000 * (i + 1));
            // Only the first item opens the group; the arrow keys go round the rest.
            if (i > 0) SetWindowLongPtrA(button, GWL_STYLE, GetWindowLongPtrA(button, GWL_STYLE) & ~LONG_PTR(WS_GROUP));
            group->items.push_back(button);
            byWindow[button] = group.get();
        }
        if (row.ItemIndex >= 0) {
            SendMessageA(group->items.at(std::size_t(row.ItemIndex)), BM_SETCHECK, BST_CHECKED, 0);
            group->selected = row.ItemIndex;  // the initial selection runs nothing
        }
        part = group.get(), control = std::move(group);
        break;
    }
    case TControlKind::Timer: {
        auto timer = std::make_unique<Win32Timer>(hwnd, UINT_PTR(id), row.Interval);
        if (row.Enabled) timer->SetEnabled(true);
        byTimer[UINT_PTR(id)] = timer.get();
        controls[row.Name] = std::move(timer);
        return nullptr;
    }
    }
    byWindow[made] = part;
    controls[row.Name] = std::move(control);
    if (row.Kind == TControlKind::RadioGroup) return dynamic_cast<Win32RadioGroup *>(controls[row.Name].get())->items.front();
    return made;
}

TControl *TWin32Window::Control(const std::string &name)
{
    auto found = controls.find(name);
    return found == controls.end() ? nullptr : found->second.get();
}

std::string TWin32Window::LocaleDecimalSeparator() const
{
    char separator[8] = "";
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) <= 1) return ".";
    return separator;
}

void TWin32Window::ClearEvents()
{
    OnShow = OnClose = OnSettingChange = nullptr;
    for (auto &entry : controls) ClearControlEvents(entry.second.get());
}


void TWin32Window::Show(int how)
{
    ShowWindow(hwnd, how);
    UpdateWindow(hwnd);
    if (first) SetFocus(first);
}

void TWin32Window::Arrange(int width, int height)
{
    // Anchored edges keep their distance to the window's edges.
    const int dx = width - designClient.cx, dy = height - designClient.cy;
    HDWP moves = BeginDeferWindowPos(int(placed.size()));
    for (const Placed &p : placed) {
        RECT r = p.rect;
        if (p.anchors & akRight) {
            if (p.anchors & akLeft) r.right = std::max(r.left, r.right + dx);
            else OffsetRect(&r, dx, 0);
        }
        if (p.anchors & akBottom) {
            if (p.anchors & akTop) r.bottom = std::max(r.top, r.bottom + dy);
            else OffsetRect(&r, 0, dy);
        }
        if (moves)
            moves = DeferWindowPos(moves, p.hwnd, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top + p.dropDown,
                                   SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (moves) EndDeferWindowPos(moves);
}

LRESULT CALLBACK TWin32Window::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto *create = reinterpret_cast<CREATESTRUCTA *>(lParam);
        auto *self = static_cast<TWin32Window *>(create->lpCreateParams);
        self->hwnd = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto *self = reinterpret_cast<TWin32Window *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
    return Guarded([&] { return self->Message(message, wParam, lParam); });
}

LRESULT TWin32Window::Message(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND: {
        auto found = byWindow.find(reinterpret_cast<HWND>(lParam));
        if (lParam && found != byWindow.end() && found->second) found->second->Notify(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
        return 0;
    }
    case WM_TIMER: {
        auto found = byTimer.find(UINT_PTR(wParam));
        if (found != byTimer.end()) found->second->Tick();
        return 0;
    }
    case WM_SIZE:
        if (wParam != SIZE_MINIMIZED) Arrange(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_SHOWWINDOW:
        if (wParam && lParam == 0) Fire(OnShow);
        break;
    case WM_ACTIVATE:
        // The focus leaves with the window and comes back to where it was.
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            if (focus && IsChild(hwnd, focus)) lastFocus = focus;
            return 0;
        }
        if (!HIWORD(wParam)) {
            HWND to = lastFocus && IsWindow(lastFocus) && IsWindowEnabled(lastFocus) ? lastFocus : first;
            if (to) SetFocus(to);
            return 0;
        }
        break;
    case WM_SETCURSOR:
        if (TWin32Application::BusyCursor()) {
            SetCursor(LoadCursor(nullptr, IDC_WAIT));
            return TRUE;
        }
        break;
    case WM_SETTINGCHANGE:
        Fire(OnSettingChange);
        break;
    case WM_CLOSE:
        Fire(OnClose);
        closing = true;
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        // The window the user closed ends the program; one a test drops does not.
        if (closing) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        --live;
        HWND self = hwnd;
        hwnd = nullptr;
        SetWindowLongPtrA(self, GWLP_USERDATA, 0);
        return DefWindowProcA(self, message, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// ---------------------------------------------------------------- for tests

HWND Widget(TControl *control)
{
    if (auto *c = dynamic_cast<Windowed<TLabel> *>(control)) return c->hwnd;
    if (auto *c = dynamic_cast<Windowed<TEdit> *>(control)) return c->hwnd;
    if (auto *c = dynamic_cast<Windowed<TButton> *>(control)) return c->hwnd;
    if (auto *c = dynamic_cast<Windowed<TComboBox> *>(control)) return c->hwnd;
    if (auto *c = dynamic_cast<Windowed<TRadioGroup> *>(control)) return c->hwnd;
    if (auto *c = dynamic_cast<Win32Memo *>(control)) return c->view.Handle();
    return nullptr;
}

HWND RadioItem(TRadioGroup *control, int index)
{
    auto *group = dynamic_cast<Win32RadioGroup *>(control);
    return group && index >= 0 && std::size_t(index) < group->items.size() ? group->items[std::size_t(index)] : nullptr;
}

HWND ComboEdit(TComboBox *control)
{
    auto *combo = dynamic_cast<Win32ComboBox *>(control);
    return combo ? combo->edit : nullptr;
}

TWin32Log *LogView(TMemo *control)
{
    auto *memo = dynamic_cast<Win32Memo *>(control);
    return memo ? &memo->view : nullptr;
}
