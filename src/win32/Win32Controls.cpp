#include "Win32Controls.h"

#include <dbt.h>

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "Win32Parts.h"

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
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    if (!GetClassInfoExA(GetModuleHandleA(nullptr), className.c_str(), &wc)) {
        HINSTANCE program = GetModuleHandleA(nullptr);
        wc = WNDCLASSEXA{};
        wc.cbSize = sizeof wc;
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = program;
        // The program's own icon, in the sizes the title bar and Alt+Tab ask
        // for; the system's where there is none (a test program).
        auto icon = [&](int x, int y) {
            HANDLE own = LoadImageA(program, MAKEINTRESOURCEA(1), IMAGE_ICON, GetSystemMetrics(x), GetSystemMetrics(y), LR_DEFAULTCOLOR);
            return own ? static_cast<HICON>(own) : LoadIcon(nullptr, IDI_APPLICATION);
        };
        wc.hIcon = icon(SM_CXICON, SM_CYICON);
        wc.hIconSm = icon(SM_CXSMICON, SM_CYSMICON);
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = className.c_str();
        if (!RegisterClassExA(&wc)) throw std::runtime_error("the window class could not be registered");
    }
    RECT client = Scaled(design.Left, design.Top, design.ClientWidth, design.ClientHeight);
    designClient = {client.right - client.left, client.bottom - client.top};
    RECT outer{0, 0, designClient.cx, designClient.cy};
    AdjustWindowRectEx(&outer, WindowStyle, FALSE, 0);
    hwnd = CreateWindowExA(0, className.c_str(), design.Caption.c_str(), WindowStyle, client.left, client.top, outer.right - outer.left,
                           outer.bottom - outer.top, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    if (!hwnd) throw std::runtime_error("the window could not be made");
    TWin32Application::AddWindow(hwnd);

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
    for (auto &control : controls)
        if (auto *combo = dynamic_cast<Win32ComboBox *>(control.second.get())) combo->FitHeights(font);
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
        made = Child("COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS, 0, row, id, dropDown);
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

std::string TWin32Window::AskOpenPath(const std::string &title)
{
    char path[MAX_PATH] = {};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = title.c_str();
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    return GetOpenFileNameA(&ofn) ? std::string(path) : std::string();
}

std::string TWin32Window::AskCapturePath(bool &text)
{
    // The file type chooses whether the log as text goes beside the bytes.
    char path[MAX_PATH] = {};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "Received bytes (*.*)\0*.*\0Received bytes, and the log as text with times beside (*.*)\0*.*\0";
    ofn.nFilterIndex = text ? 2 : 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = "Capture to File";
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY | OFN_EXPLORER;
    if (!GetSaveFileNameA(&ofn)) return std::string();
    text = ofn.nFilterIndex == 2;
    return path;
}

TFileThere TWin32Window::AskAppendOrReplace(const std::string &path)
{
    const std::string question = path + " is there already.\n\nYes: add what comes to its end.\nNo: replace what it holds.";
    switch (MessageBoxA(hwnd, question.c_str(), "Capture to File", MB_YESNOCANCEL | MB_ICONQUESTION)) {
    case IDYES: return TFileThere::Append;
    case IDNO: return TFileThere::Replace;
    default: return TFileThere::Cancel;
    }
}

std::string TWin32Window::LocaleDecimalSeparator() const
{
    char separator[8] = "";
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) <= 1) return ".";
    return separator;
}

void TWin32Window::ClearEvents()
{
    OnShow = OnClose = OnSettingChange = OnDeviceChange = OnEscape = nullptr;
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
        // Escape where the focus control did not take it (a button, the group):
        // the dialog manager's Cancel, as no control has that id.
        if (wParam == IDCANCEL && !lParam) return Fire(OnEscape), 0;
        auto found = byWindow.find(reinterpret_cast<HWND>(lParam));
        if (lParam && found != byWindow.end() && found->second) found->second->Notify(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
        return 0;
    }
    case WM_MEASUREITEM:
        // Until the box takes a plain one's heights, once the font is set.
        reinterpret_cast<MEASUREITEMSTRUCT *>(lParam)->itemHeight = UINT(std::lround(13 * scale));
        return TRUE;
    case WM_DRAWITEM: {
        const auto *item = reinterpret_cast<const DRAWITEMSTRUCT *>(lParam);
        auto found = byWindow.find(item->hwndItem);
        if (found != byWindow.end() && found->second) found->second->DrawItem(*item);
        return TRUE;
    }
    case WM_CONTEXTMENU: {
        // A child's that it left to its parent (the list's, from its button).
        auto found = byWindow.find(reinterpret_cast<HWND>(wParam));
        if (found != byWindow.end() && found->second && found->second->Menu(lParam)) return 0;
        break;
    }
    case WM_TIMER:
    case WM_FINETICK: {
        auto found = byTimer.find(UINT_PTR(wParam));
        if (found != byTimer.end()) found->second->Tick();
        return 0;
    }
    case WM_DEVICECHANGE:
        // A board plugged in or pulled out: its port's arrival or removal, or any device's.
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE || wParam == DBT_DEVNODES_CHANGED) Fire(OnDeviceChange);
        return TRUE;
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
        // Asked from another thread while a speed test looks at the queue
        // (KeepAlive): the window closes once the test has ended, not under it.
        if (TWin32Application::BusyCursor() && InSendMessage()) {
            PostMessageA(hwnd, WM_CLOSE, 0, 0);
            return 0;
        }
        Fire(OnClose);
        closing = true;
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        // The window the user closed ends the program; one a test drops does not.
        if (closing) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        TWin32Application::RemoveWindow(hwnd);
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
