#include "Win32Log.h"

#include <windowsx.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "Win32Application.h"

namespace {

const char *const ClassName = "TQuorvelLog";

UINT FindMessage()
{
    static const UINT message = RegisterWindowMessageA(FINDMSGSTRINGA);
    return message;
}

void Register()
{
    static bool done = false;
    if (done) return;
    WNDCLASSA wc{};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = DefWindowProcA;  // replaced per window once it is ours
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_IBEAM);
    wc.hbrBackground = nullptr;  // drawn whole in WM_PAINT
    wc.lpszClassName = ClassName;
    RegisterClassA(&wc);
    done = true;
}

}  // namespace

TWin32Log::TWin32Log(const TLogStore &store, HWND parent, int id, DWORD style) : store(store), view(store, *this, "\r\n")
{
    Register();
    hwnd = CreateWindowExA(WS_EX_CLIENTEDGE, ClassName, "", style | WS_CHILD | WS_VSCROLL, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(INT_PTR(id)), GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc));
    SetFont(static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)));
}

void TWin32Log::FreeBuffer()
{
    if (!buffer) return;
    SelectObject(buffer, bufferBitmap);
    DeleteObject(bitmap);
    DeleteDC(buffer);
    buffer = nullptr, bitmap = nullptr;
}

TWin32Log::~TWin32Log()
{
    FreeBuffer();
    if (findDialog) DestroyWindow(findDialog);
    if (fixed) DeleteObject(fixed);
    if (hwnd && IsWindow(hwnd)) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
}

void TWin32Log::SetFont(HFONT f)
{
    font = f;
    if (fixed) DeleteObject(fixed), fixed = nullptr;
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    // The hex rows' font: fixed pitch, as tall as the control's.
    fixed = CreateFontA(-std::max(1, int(tm.tmHeight - tm.tmInternalLeading)), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, ANSI_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, "Courier New");
    Measure();
}

void TWin32Log::SetFixedPitch(bool on)
{
    fixedPitch = on;
    Measure();
}

void TWin32Log::Measure()
{
    drawn = fixedPitch && fixed ? fixed : font;
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, drawn);
    int glyphs[256];
    if (!GetCharWidth32A(dc, 0, 255, glyphs)) std::fill(std::begin(glyphs), std::end(glyphs), 6);
    // Each byte is as wide as what it shows as.
    for (int i = 0; i < 256; ++i) widths[i] = glyphs[static_cast<unsigned char>(TLogView::Shown(static_cast<unsigned char>(i)))];
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    lineHeight = std::max(1, int(tm.tmHeight));
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    view.SetMetrics(widths, lineHeight, Margin);
}

void TWin32Log::StoreChanged()
{
    // Lines may still come after the window went (a speed test that ends
    // after its window was closed): they stay in the store, nothing is drawn.
    if (hwnd) view.StoreChanged();
}

void TWin32Log::Invalidate()
{
    if (hwnd) InvalidateRect(hwnd, nullptr, FALSE);
}

void TWin32Log::SetScrollBar(std::size_t rows, std::size_t page, std::size_t position)
{
    if (!hwnd) return;
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    si.nMin = 0;
    si.nMax = int(std::min<std::size_t>(rows, std::size_t(INT_MAX / 2))) - 1;
    si.nPage = UINT(std::min<std::size_t>(page, std::size_t(INT_MAX / 2)));
    si.nPos = int(std::min<std::size_t>(position, std::size_t(INT_MAX / 2)));
    if (si.nMax == bar.nMax && si.nPage == bar.nPage && si.nPos == bar.nPos) return;
    bar = si;
    // Drawing the bar is dear (under Wine, several times what the text costs):
    // while the log streams it is drawn ten times a second, what the user moves at once.
    SetScrollInfo(hwnd, SB_VERT, &si, FALSE);
    if (barNow || GetTickCount() - barDrawn >= BarEveryMs) {
        DrawBar();
    } else if (!barPending) {
        barPending = true;
        ::SetTimer(hwnd, BarTimer, BarEveryMs, nullptr);
    }
}

void TWin32Log::DrawBar()
{
    if (barPending) KillTimer(hwnd, BarTimer);
    barPending = false;
    barDrawn = GetTickCount();
    RedrawWindow(hwnd, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOINTERNALPAINT);
}

void TWin32Log::SetClipboard(const std::string &text)
{
    if (!OpenClipboard(hwnd)) return;
    EmptyClipboard();
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1)) {
        if (void *p = GlobalLock(memory)) {
            std::memcpy(p, text.c_str(), text.size() + 1);
            GlobalUnlock(memory);
            if (!SetClipboardData(CF_TEXT, memory)) GlobalFree(memory);
        } else {
            GlobalFree(memory);
        }
    }
    CloseClipboard();
}

void TWin32Log::CaptureMouse(bool on)
{
    if (on) SetCapture(hwnd);
    else if (GetCapture() == hwnd) ReleaseCapture();
}

void TWin32Log::SetTimer(int ms)
{
    if (ms > 0) ::SetTimer(hwnd, DragTimer, UINT(ms), nullptr);
    else KillTimer(hwnd, DragTimer);
}

void TWin32Log::SetWorking(bool on)
{
    if (!hwnd) return;
    if (on) ::SetTimer(hwnd, WorkTimer, USER_TIMER_MINIMUM, nullptr);
    else KillTimer(hwnd, WorkTimer);
}

void TWin32Log::AskFind()
{
    if (findDialog) {
        SetActiveWindow(findDialog);
        return;
    }
    if (!findWhat[0]) lstrcpynA(findWhat, view.Sought().c_str(), int(sizeof findWhat));
    find = {};
    find.lStructSize = sizeof find;
    find.hwndOwner = hwnd;  // its FINDMSGSTRING comes here
    find.Flags = FR_DOWN | FR_HIDEWHOLEWORD | FR_HIDEMATCHCASE;
    find.lpstrFindWhat = findWhat;
    find.wFindWhatLen = WORD(sizeof findWhat);
    findDialog = FindTextA(&find);
}

void TWin32Log::Found(const FINDREPLACEA &request)
{
    if (request.Flags & FR_DIALOGTERM) {
        findDialog = nullptr;
        SetFocus(hwnd);
        return;
    }
    if (request.Flags & FR_FINDNEXT) view.Find(request.lpstrFindWhat, (request.Flags & FR_DOWN) != 0);
}

std::string TWin32Log::AskSavePath(bool receivedBytes)
{
    char path[MAX_PATH] = {};
    OPENFILENAMEA ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = GetAncestor(hwnd, GA_ROOT);
    ofn.lpstrFilter = receivedBytes ? "All files (*.*)\0*.*\0" : "Text files (*.txt)\0*.txt\0All files (*.*)\0*.*\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrTitle = receivedBytes ? "Save Received Bytes As" : "Save Log As";
    ofn.lpstrDefExt = receivedBytes ? nullptr : "txt";
    ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY | OFN_EXPLORER;
    return GetSaveFileNameA(&ofn) ? std::string(path) : std::string();
}

RECT TWin32Log::Where(Position position) const
{
    const TLogBox box = view.Where(position);
    return box.Empty() ? RECT{0, 0, 0, 0} : RECT{box.left, box.top, box.right, box.bottom};
}

void TWin32Log::Paint()
{
    PAINTSTRUCT ps;
    HDC target = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    // Drawn off screen and put up at once, so the log never flickers while it streams.
    const int w = std::max(1, int(client.right)), h = std::max(1, int(client.bottom));
    if (!buffer || bufferSize.cx != w || bufferSize.cy != h) {
        FreeBuffer();
        buffer = CreateCompatibleDC(target);
        bitmap = CreateCompatibleBitmap(target, w, h);
        bufferBitmap = SelectObject(buffer, bitmap);
        bufferSize = {w, h};
    }
    HDC dc = buffer;
    HGDIOBJ oldFont = SelectObject(dc, drawn);
    const bool enabled = IsWindowEnabled(hwnd);
    FillRect(dc, &client, GetSysColorBrush(enabled ? COLOR_WINDOW : COLOR_BTNFACE));
    SetBkMode(dc, OPAQUE);
    const bool focused = GetFocus() == hwnd;
    const COLORREF text = GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT), back = GetSysColor(enabled ? COLOR_WINDOW : COLOR_BTNFACE);
    const COLORREF selText = GetSysColor(focused ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
    const COLORREF selBack = GetSysColor(focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
    for (const TLogView::Row &row : view.Rows()) {
        int x = Margin;
        auto draw = [&](int a, int b, COLORREF fg, COLORREF bg) {
            if (b <= a) return;
            SetTextColor(dc, fg);
            SetBkColor(dc, bg);
            shown.assign(row.text->data() + a, std::size_t(b - a));
            for (char &c : shown) c = TLogView::Shown(static_cast<unsigned char>(c));
            TextOutA(dc, x, row.top, shown.data(), b - a);
            x += view.Width(row, a, b);
        };
        draw(row.from, row.selFrom, text, back);
        draw(row.selFrom, row.selTo, selText, selBack);
        draw(row.selTo, row.to, text, back);
        // A selection that runs on past a line's end shows its line break as a blank.
        if (row.selectedBreak) {
            RECT mark{x, row.top, x + widths[' '], row.top + lineHeight};
            SetBkColor(dc, selBack);
            ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &mark, nullptr, 0, nullptr);
        }
        if (focused && row.caret >= 0) {
            const int cx = Margin + view.Width(row, row.from, row.caret);
            RECT caret{cx, row.top, cx + 1, row.top + lineHeight};
            FillRect(dc, &caret, GetSysColorBrush(COLOR_WINDOWTEXT));
        }
    }
    // What a find or a save says, below the rows.
    if (!view.Status().empty()) {
        RECT strip{0, client.bottom - view.StatusHeight(), client.right, client.bottom};
        SetBkColor(dc, GetSysColor(COLOR_INFOBK));
        SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
        ExtTextOutA(dc, Margin, strip.top + 1, ETO_OPAQUE | ETO_CLIPPED, &strip, view.Status().c_str(), UINT(view.Status().size()), nullptr);
    }
    BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldFont);
    EndPaint(hwnd, &ps);
    ++paints;
}

void TWin32Log::ContextMenu(POINT screen)
{
    // The view's items as they stand; an item's id is its command's number, from 1.
    HMENU menu = CreatePopupMenu();
    for (const TLogMenuItem &item : view.Menu()) {
        if (item.separator) {
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        const std::string caption = std::string(item.caption) + (*item.keys ? "\t" : "") + item.keys;
        AppendMenuA(menu, MF_STRING | (item.enabled ? 0 : MF_GRAYED) | (item.checked ? MF_CHECKED : 0),
                    UINT_PTR(item.command) + 1, caption.c_str());
    }
    if (screen.x == -1 && screen.y == -1) {  // from the keyboard: at the control
        RECT r;
        GetWindowRect(hwnd, &r);
        screen = {r.left + 8, r.top + 8};
    }
    int chosen;
    if (formItems) {
        chosen = int(formItems(menu, screen));
    } else {
        chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr);
        DestroyMenu(menu);
    }
    if (chosen > 0) view.Command(TLogCommand(chosen - 1));
}

LRESULT CALLBACK TWin32Log::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *self = reinterpret_cast<TWin32Log *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
    return Guarded([&] { return self->Message(message, wParam, lParam); });
}

bool TWin32Log::Key(WPARAM key)
{
    static const std::pair<WPARAM, TLogKey> keys[] = {
        {VK_LEFT, TLogKey::Left},     {VK_RIGHT, TLogKey::Right}, {VK_UP, TLogKey::Up},     {VK_DOWN, TLogKey::Down},
        {VK_PRIOR, TLogKey::PageUp},  {VK_NEXT, TLogKey::PageDown}, {VK_HOME, TLogKey::Home}, {VK_END, TLogKey::End},
        {VK_F3, TLogKey::FindNext},   {VK_ESCAPE, TLogKey::Escape},
    };
    const int modifiers = (GetKeyState(VK_SHIFT) < 0 ? lmShift : 0) | (GetKeyState(VK_CONTROL) < 0 ? lmControl : 0);
    if (key == VK_INSERT && (modifiers & lmControl)) return view.Key(TLogKey::Copy, 0);
    if (key == VK_ESCAPE && !view.Working() && escape && escape()) return true;
    for (const auto &k : keys)
        if (k.first == key) return view.Key(k.second, modifiers);
    return false;
}

LRESULT TWin32Log::Message(UINT message, WPARAM wParam, LPARAM lParam)
{
    // What the user moves shows at once, the bar too; only a stream waits for it.
    struct Restore {
        bool &flag;
        const bool was;
        ~Restore() { flag = was; }
    } restore{barNow, barNow};
    barNow = message == WM_VSCROLL || message == WM_MOUSEWHEEL || message == WM_KEYDOWN || message == WM_MOUSEMOVE ||
             message == WM_LBUTTONDOWN || (message == WM_TIMER && wParam == DragTimer);
    switch (message) {
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETFONT:
        SetFont(reinterpret_cast<HFONT>(wParam));
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(font);
    case WM_SIZE:
        view.Resize(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == BarTimer) DrawBar();
        if (wParam == DragTimer) view.Tick();
        if (wParam == WorkTimer) {
            // Timers come no faster than every 10 ms: the work goes on past a
            // slice while no input waits for the window.
            const DWORD start = GetTickCount();
            do view.Work(WorkMs);
            while (view.Working() && !HIWORD(GetQueueStatus(QS_INPUT)) && GetTickCount() - start < 100);
        }
        return 0;
    case WM_GETDLGCODE: {
        // Escape stops a find or a save, or puts away what it said, before the dialog manager sees it.
        const MSG *msg = reinterpret_cast<const MSG *>(lParam);
        if (msg && msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE && (view.Working() || !view.Status().empty()))
            return DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTMESSAGE;
        return DLGC_WANTARROWS | DLGC_WANTCHARS;
    }
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE:
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_GETTEXTLENGTH:
        return LRESULT(std::min<std::uint64_t>(view.TextLength(), INT_MAX));
    case WM_GETTEXT: {
        if (wParam == 0) return 0;
        std::string text = view.Range({0, 0}, view.End(), std::size_t(wParam) - 1);
        std::memcpy(reinterpret_cast<char *>(lParam), text.c_str(), text.size() + 1);
        return LRESULT(text.size());
    }
    case WM_SETTEXT:
        return FALSE;  // read-only: only the form appends
    case WM_COPY:
        view.Copy();
        return 0;
    case WM_CHAR:
        if (wParam == 1) view.Key(TLogKey::SelectAll, 0);  // Ctrl+A
        else if (wParam == 3) view.Key(TLogKey::Copy, 0);  // Ctrl+C
        // The menu's other keys: Ctrl and a letter, but for the letters that are
        // Tab and the line ends; Backspace is Ctrl+H only with Ctrl down.
        else if (wParam >= 1 && wParam <= 26 && wParam != 9 && wParam != 10 && wParam != 13 &&
                 (wParam != 8 || GetKeyState(VK_CONTROL) < 0))
            view.Shortcut(char('A' + wParam - 1));
        return 0;
    case WM_KEYDOWN:
        Key(wParam);
        return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
        SetFocus(hwnd);
        view.Press(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), (wParam & MK_SHIFT) ? lmShift : 0);
        return 0;
    case WM_MOUSEMOVE:
        view.Drag(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
        return 0;
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        view.Release();
        return 0;
    case WM_MOUSEWHEEL:
        view.Wheel(GET_WHEEL_DELTA_WPARAM(wParam));
        return 0;
    case WM_VSCROLL:
        switch (LOWORD(wParam)) {
        case SB_LINEUP: view.Scroll(TLogScroll::LineUp); break;
        case SB_LINEDOWN: view.Scroll(TLogScroll::LineDown); break;
        case SB_PAGEUP: view.Scroll(TLogScroll::PageUp); break;
        case SB_PAGEDOWN: view.Scroll(TLogScroll::PageDown); break;
        case SB_TOP: view.Scroll(TLogScroll::Top); break;
        case SB_BOTTOM: view.Scroll(TLogScroll::Bottom); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si{};
            si.cbSize = sizeof si;
            si.fMask = SIF_TRACKPOS;
            GetScrollInfo(hwnd, SB_VERT, &si);  // the whole 32 bits, not the message's 16
            view.ScrollTo(std::size_t(std::max(0, si.nTrackPos)));
            break;
        }
        default: break;
        }
        return 0;
    case WM_CONTEXTMENU:
        ContextMenu({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return 0;
    case WM_NCDESTROY: {
        HWND self = hwnd;
        SetWindowLongPtrA(self, GWLP_USERDATA, 0);
        hwnd = nullptr;
        return DefWindowProcA(self, message, wParam, lParam);
    }
    default:
        if (message == FindMessage() && lParam) {
            Found(*reinterpret_cast<const FINDREPLACEA *>(lParam));
            return 0;
        }
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
