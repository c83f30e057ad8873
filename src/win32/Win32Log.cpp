#include "Win32Log.h"

#include <windowsx.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "Win32Application.h"

namespace {

const char *const ClassName = "TQuorvelLog";
enum { CmdCopy = 1, CmdSelectAll = 2 };

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

TWin32Log::TWin32Log(const TLogStore &store, HWND parent, int id, DWORD style) : store(store)
{
    Register();
    hwnd = CreateWindowExA(WS_EX_CLIENTEDGE, ClassName, "", style | WS_CHILD | WS_VSCROLL, 0, 0, 10, 10, parent,
                           reinterpret_cast<HMENU>(INT_PTR(id)), GetModuleHandleA(nullptr), nullptr);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Proc));
    SetFont(static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT)));
    UpdateScrollBar();
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
    if (hwnd && IsWindow(hwnd)) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        DestroyWindow(hwnd);
    }
}

void TWin32Log::SetFont(HFONT f)
{
    font = f;
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font);
    // Widths of the 8-bit characters, so that wrapping needs no call per character.
    if (!GetCharWidth32A(dc, 0, 255, widths)) std::fill(std::begin(widths), std::end(widths), 6);
    TEXTMETRICA tm{};
    GetTextMetricsA(dc, &tm);
    lineHeight = std::max(1, int(tm.tmHeight));
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
}

int TWin32Log::Lines() const
{
    RECT r;
    GetClientRect(hwnd, &r);
    return std::max(1, int(r.bottom - r.top - 2 * Margin) / lineHeight);
}

int TWin32Log::TextWidth() const
{
    RECT r;
    GetClientRect(hwnd, &r);
    return std::max(1, int(r.right - r.left) - 2 * Margin);
}

std::size_t TWin32Log::MaxTop() const
{
    std::size_t count = store.LineCount(), lines = std::size_t(Lines());
    return count > lines ? count - lines : 0;
}

bool TWin32Log::AtEnd() const { return atEnd || top >= MaxTop(); }

void TWin32Log::UpdateScrollBar(bool now_)
{
    // One step a line. At the end, the last line stands at the bottom however
    // its neighbours wrap; above it, the top line is the scroll position.
    std::size_t count = std::min<std::size_t>(store.LineCount(), std::size_t(INT_MAX / 2));
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    si.nMin = 0;
    si.nMax = int(count) - 1;
    si.nPage = UINT(Lines());
    si.nPos = int(std::min<std::size_t>(AtEnd() ? MaxTop() : top, std::size_t(INT_MAX / 2)));
    if (si.nMax == bar.nMax && si.nPage == bar.nPage && si.nPos == bar.nPos) return;
    bar = si;
    // Drawing the bar is dear (under Wine, several times what the text costs):
    // while the log streams it is drawn ten times a second, what the user
    // moves at once.
    SetScrollInfo(hwnd, SB_VERT, &si, FALSE);
    const DWORD now = GetTickCount();
    if (now_ || now - barDrawn >= BarEveryMs) {
        DrawBar();
    } else if (!barPending) {
        barPending = true;
        SetTimer(hwnd, BarTimer, BarEveryMs, nullptr);
    }
}

void TWin32Log::DrawBar()
{
    if (barPending) KillTimer(hwnd, BarTimer);
    barPending = false;
    barDrawn = GetTickCount();
    RedrawWindow(hwnd, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_NOINTERNALPAINT);
}

void TWin32Log::ScrollTo(std::size_t line)
{
    top = std::min(line, MaxTop());
    atEnd = top >= MaxTop();
    UpdateScrollBar(true);
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TWin32Log::StoreChanged()
{
    // Lines may still come after the window went (a speed test that ends
    // after its window was closed): they stay in the store, nothing is drawn.
    if (!hwnd) return;
    if (atEnd) top = MaxTop();
    top = std::min(top, MaxTop());
    anchor = Clamp(anchor), cursor = Clamp(cursor);
    UpdateScrollBar();
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TWin32Log::Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const
{
    // At a blank where one is in the row, else wherever the row is full.
    out.clear();
    const int width = TextWidth();
    const int n = int(text.size());
    int start = 0;
    while (true) {
        int used = 0, blank = -1, i = start;
        for (; i < n; ++i) {
            int w = widths[static_cast<unsigned char>(text[std::size_t(i)])];
            if (used + w > width && i > start) break;
            used += w;
            if (text[std::size_t(i)] == ' ') blank = i;
        }
        if (i >= n) {
            out.push_back({start, n});
            return;
        }
        int end = blank >= start ? blank + 1 : i;
        out.push_back({start, end});
        start = end;
    }
}

void TWin32Log::LayOutInSight() const
{
    rows.clear();
    texts.clear();
    textLines.clear();
    const std::size_t count = store.LineCount();
    if (count == 0) return;
    RECT r;
    GetClientRect(hwnd, &r);
    const int height = int(r.bottom);
    std::vector<std::pair<int, int>> wrapped;
    if (AtEnd()) {
        // From the last line up, until the view is full.
        int bottom = height - Margin;
        std::vector<Row> up;
        for (std::size_t line = count; line-- > 0 && bottom > Margin;) {
            texts.push_back(store.Line(line));
            textLines.push_back(line);
            Wrap(texts.back(), wrapped);
            for (std::size_t k = wrapped.size(); k-- > 0 && bottom > Margin;) {
                bottom -= lineHeight;
                up.push_back({line, wrapped[k].first, wrapped[k].second, bottom});
            }
        }
        rows.assign(up.rbegin(), up.rend());
        if (rows.empty()) return;  // a view too low for even one row
        // Short logs start at the top, as text does.
        int shift = rows.front().top - Margin;
        if (shift > 0)
            for (Row &row : rows) row.top -= shift;
    } else {
        int y = Margin;
        for (std::size_t line = top; line < count && y < height; ++line) {
            texts.push_back(store.Line(line));
            textLines.push_back(line);
            Wrap(texts.back(), wrapped);
            for (const auto &w : wrapped) {
                if (y >= height) break;
                rows.push_back({line, w.first, w.second, y});
                y += lineHeight;
            }
        }
    }
}

namespace {

const std::string &TextOf(const std::vector<std::string> &texts, const std::vector<std::size_t> &lines, std::size_t line)
{
    static const std::string none;
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == line) return texts[i];
    return none;
}

}  // namespace

void TWin32Log::Paint()
{
    PAINTSTRUCT ps;
    HDC target = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    // Drawn off screen and put up at once, so the log never flickers while it
    // streams; the buffer is kept while the size stays.
    const int w = std::max(1, int(client.right)), h = std::max(1, int(client.bottom));
    if (!buffer || bufferSize.cx != w || bufferSize.cy != h) {
        FreeBuffer();
        buffer = CreateCompatibleDC(target);
        bitmap = CreateCompatibleBitmap(target, w, h);
        bufferBitmap = SelectObject(buffer, bitmap);
        bufferSize = {w, h};
    }
    HDC dc = buffer;
    HGDIOBJ oldFont = SelectObject(dc, font);
    const bool enabled = IsWindowEnabled(hwnd);
    FillRect(dc, &client, GetSysColorBrush(enabled ? COLOR_WINDOW : COLOR_BTNFACE));
    SetBkMode(dc, OPAQUE);
    LayOutInSight();
    const bool focused = GetFocus() == hwnd;
    const Position from = std::min(anchor, cursor), to = std::max(anchor, cursor);
    const COLORREF text = GetSysColor(enabled ? COLOR_WINDOWTEXT : COLOR_GRAYTEXT), back = GetSysColor(enabled ? COLOR_WINDOW : COLOR_BTNFACE);
    const COLORREF selText = GetSysColor(focused ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
    const COLORREF selBack = GetSysColor(focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
    for (const Row &row : rows) {
        const std::string &line = TextOf(texts, textLines, row.line);
        int selFrom = row.to, selTo = row.to;
        if (from < to && row.line >= from.line && row.line <= to.line) {
            selFrom = std::clamp(row.line == from.line ? from.offset : 0, row.from, row.to);
            selTo = std::clamp(row.line == to.line ? to.offset : row.to, row.from, row.to);
        }
        int x = Margin;
        auto draw = [&](int a, int b, COLORREF fg, COLORREF bg) {
            if (b <= a) return;
            SetTextColor(dc, fg);
            SetBkColor(dc, bg);
            TextOutA(dc, x, row.top, line.data() + a, b - a);
            for (int i = a; i < b; ++i) x += widths[static_cast<unsigned char>(line[std::size_t(i)])];
        };
        draw(row.from, selFrom, text, back);
        draw(selFrom, selTo, selText, selBack);
        draw(selTo, row.to, text, back);
        // A selection that runs on past a line's end shows its line break as a blank.
        if (from < to && row.line >= from.line && row.line < to.line && row.to == int(line.size())) {
            RECT mark{x, row.top, x + widths[' '], row.top + lineHeight};
            SetBkColor(dc, selBack);
            ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &mark, nullptr, 0, nullptr);
        }
        if (focused && row.line == cursor.line && cursor.offset >= row.from &&
            (cursor.offset < row.to || (cursor.offset == row.to && row.to == int(line.size())))) {
            int cx = Margin;
            for (int i = row.from; i < cursor.offset; ++i) cx += widths[static_cast<unsigned char>(line[std::size_t(i)])];
            RECT caret{cx, row.top, cx + 1, row.top + lineHeight};
            FillRect(dc, &caret, GetSysColorBrush(COLOR_WINDOWTEXT));
        }
    }
    BitBlt(target, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    SelectObject(dc, oldFont);
    EndPaint(hwnd, &ps);
    ++paints;
}

TWin32Log::Position TWin32Log::Clamp(Position p) const
{
    std::size_t count = store.LineCount();
    if (count == 0) return {};
    if (p.line >= count) return {count - 1, int(store.LineLength(count - 1))};
    p.offset = std::clamp(p.offset, 0, int(store.LineLength(p.line)));
    return p;
}

TWin32Log::Position TWin32Log::At(POINT point) const
{
    if (rows.empty()) LayOutInSight();
    if (rows.empty()) return {};
    const Row *hit = &rows.front();
    if (point.y >= rows.back().top) hit = &rows.back();
    for (const Row &row : rows)
        if (point.y >= row.top && point.y < row.top + lineHeight) hit = &row;
    const std::string &line = TextOf(texts, textLines, hit->line);
    int x = Margin, i = hit->from;
    for (; i < hit->to; ++i) {
        int w = widths[static_cast<unsigned char>(line[std::size_t(i)])];
        if (point.x < x + w / 2) break;
        x += w;
    }
    return {hit->line, i};
}

RECT TWin32Log::Where(Position p) const
{
    for (const Row &row : rows) {
        if (row.line != p.line || p.offset < row.from || p.offset >= row.to) continue;
        const std::string &line = TextOf(texts, textLines, row.line);
        int x = Margin;
        for (int i = row.from; i < p.offset; ++i) x += widths[static_cast<unsigned char>(line[std::size_t(i)])];
        return {x, row.top, x + widths[static_cast<unsigned char>(line[std::size_t(p.offset)])], row.top + lineHeight};
    }
    return {0, 0, 0, 0};
}

std::string TWin32Log::Range(Position from, Position to, std::size_t limit) const
{
    std::string out;
    for (std::size_t line = from.line; line <= to.line && line < store.LineCount() && out.size() < limit; ++line) {
        std::string text = store.Line(line);
        std::size_t a = line == from.line ? std::size_t(from.offset) : 0;
        std::size_t b = line == to.line ? std::min(std::size_t(to.offset), text.size()) : text.size();
        if (a < b) out.append(text, a, b - a);
        if (line != to.line) out += "\r\n";
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::string TWin32Log::Text() const
{
    std::size_t count = store.LineCount();
    if (count == 0) return {};
    return Range({0, 0}, {count - 1, int(store.LineLength(count - 1))}, std::string::npos);
}

std::string TWin32Log::SelectedText() const
{
    Position from = std::min(anchor, cursor), to = std::max(anchor, cursor);
    return from < to ? Range(from, to, std::string::npos) : std::string();
}

void TWin32Log::Select(Position a, Position c)
{
    anchor = Clamp(a), cursor = Clamp(c);
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TWin32Log::SelectAll()
{
    std::size_t count = store.LineCount();
    if (count) Select({0, 0}, {count - 1, int(store.LineLength(count - 1))});
}

void TWin32Log::Copy() const
{
    std::string text = SelectedText();
    if (text.empty() || !OpenClipboard(hwnd)) return;
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

void TWin32Log::ShowCursor()
{
    // Brings the cursor's line into sight, scrolling by whole lines.
    std::size_t line = cursor.line, lines = std::size_t(Lines());
    if (AtEnd() && line + lines >= store.LineCount()) return;
    std::size_t from = AtEnd() ? MaxTop() : top;
    if (line < from) ScrollTo(line);
    else if (line >= from + lines) ScrollTo(line - lines + 1);
}

void TWin32Log::MoveCursor(Position to, bool extend)
{
    cursor = Clamp(to);
    if (!extend) anchor = cursor;
    ShowCursor();
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TWin32Log::ContextMenu(POINT screen)
{
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING | (SelectedText().empty() ? MF_GRAYED : 0), CmdCopy, "&Copy\tCtrl+C");
    AppendMenuA(menu, MF_STRING | (store.LineCount() ? 0 : MF_GRAYED), CmdSelectAll, "Select &All\tCtrl+A");
    if (screen.x == -1 && screen.y == -1) {  // from the keyboard: at the control
        RECT r;
        GetWindowRect(hwnd, &r);
        screen = {r.left + 8, r.top + 8};
    }
    int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd, nullptr);
    DestroyMenu(menu);
    if (chosen == CmdCopy) Copy();
    if (chosen == CmdSelectAll) SelectAll();
}

LRESULT CALLBACK TWin32Log::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *self = reinterpret_cast<TWin32Log *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, message, wParam, lParam);
    return Guarded([&] { return self->Message(message, wParam, lParam); });
}

LRESULT TWin32Log::Message(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        Paint();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETFONT:
        SetFont(reinterpret_cast<HFONT>(wParam));
        StoreChanged();
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(font);
    case WM_SIZE:
        StoreChanged();
        return 0;
    case WM_TIMER:
        if (wParam == BarTimer) DrawBar();
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE:
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_GETTEXTLENGTH: {
        std::size_t n = 0, count = store.LineCount();
        for (std::size_t i = 0; i < count && n < std::size_t(INT_MAX); ++i) n += store.LineLength(i) + (i + 1 < count ? 2 : 0);
        return LRESULT(std::min<std::size_t>(n, INT_MAX));
    }
    case WM_GETTEXT: {
        if (wParam == 0) return 0;
        std::size_t count = store.LineCount();
        std::string text = count ? Range({0, 0}, {count - 1, int(store.LineLength(count - 1))}, std::size_t(wParam) - 1) : "";
        std::memcpy(reinterpret_cast<char *>(lParam), text.c_str(), text.size() + 1);
        return LRESULT(text.size());
    }
    case WM_SETTEXT:
        return FALSE;  // read-only: only the form appends
    case WM_COPY:
        Copy();
        return 0;
    case WM_CHAR:
        if (wParam == 1) SelectAll();  // Ctrl+A
        if (wParam == 3) Copy();       // Ctrl+C
        return 0;
    case WM_KEYDOWN: {
        const bool shift = GetKeyState(VK_SHIFT) < 0, control = GetKeyState(VK_CONTROL) < 0;
        const std::size_t count = store.LineCount();
        if (count == 0) return 0;
        Position p = cursor;
        const std::size_t lines = std::size_t(Lines());
        switch (wParam) {
        case VK_LEFT:
            if (p.offset > 0) --p.offset;
            else if (p.line > 0) p = {p.line - 1, int(store.LineLength(p.line - 1))};
            break;
        case VK_RIGHT:
            if (p.offset < int(store.LineLength(p.line))) ++p.offset;
            else if (p.line + 1 < count) p = {p.line + 1, 0};
            break;
        case VK_UP: if (p.line > 0) --p.line; break;
        case VK_DOWN: if (p.line + 1 < count) ++p.line; break;
        case VK_PRIOR: p.line = p.line > lines ? p.line - lines : 0; break;
        case VK_NEXT: p.line = std::min(p.line + lines, count - 1); break;
        case VK_HOME: p = control ? Position{0, 0} : Position{p.line, 0}; break;
        case VK_END:
            p = control ? Position{count - 1, int(store.LineLength(count - 1))} : Position{p.line, int(store.LineLength(p.line))};
            break;
        case VK_INSERT:
            if (control) Copy();
            return 0;
        default: return 0;
        }
        MoveCursor(p, shift);
        return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        SetFocus(hwnd);
        SetCapture(hwnd);
        dragging = true;
        LayOutInSight();
        MoveCursor(At({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}), (wParam & MK_SHIFT) != 0);
        return 0;
    }
    case WM_MOUSEMOVE: {
        if (!dragging) return 0;
        POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        RECT r;
        GetClientRect(hwnd, &r);
        // Dragging past an edge scrolls the log on.
        if (pt.y < 0) ScrollTo((AtEnd() ? MaxTop() : top) > 0 ? (AtEnd() ? MaxTop() : top) - 1 : 0);
        else if (pt.y > r.bottom) ScrollTo((AtEnd() ? MaxTop() : top) + 1);
        LayOutInSight();  // once per move: the hit test uses it
        cursor = Clamp(At(pt));
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    }
    case WM_LBUTTONUP:
    case WM_CAPTURECHANGED:
        if (dragging) {
            dragging = false;
            if (message == WM_LBUTTONUP) ReleaseCapture();
        }
        return 0;
    case WM_MOUSEWHEEL: {
        int steps = GET_WHEEL_DELTA_WPARAM(wParam) / WHEEL_DELTA * 3;
        std::size_t from = AtEnd() ? MaxTop() : top;
        if (steps > 0) ScrollTo(from > std::size_t(steps) ? from - std::size_t(steps) : 0);
        else ScrollTo(from + std::size_t(-steps));
        return 0;
    }
    case WM_VSCROLL: {
        std::size_t from = AtEnd() ? MaxTop() : top, lines = std::size_t(Lines());
        switch (LOWORD(wParam)) {
        case SB_LINEUP: ScrollTo(from ? from - 1 : 0); break;
        case SB_LINEDOWN: ScrollTo(from + 1); break;
        case SB_PAGEUP: ScrollTo(from > lines ? from - lines : 0); break;
        case SB_PAGEDOWN: ScrollTo(from + lines); break;
        case SB_TOP: ScrollTo(0); break;
        case SB_BOTTOM: ScrollTo(MaxTop()); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
            SCROLLINFO si{};
            si.cbSize = sizeof si;
            si.fMask = SIF_TRACKPOS;
            GetScrollInfo(hwnd, SB_VERT, &si);  // the whole 32 bits, not the message's 16
            ScrollTo(std::size_t(std::max(0, si.nTrackPos)));
            break;
        }
        default: break;
        }
        return 0;
    }
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
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
