#include "LogView.h"

#include <algorithm>

TLogView::TLogView(const TLogStore &store, TLogHost &host, std::string lineBreak)
    : store(store), host(host), lineBreak(std::move(lineBreak))
{
    std::fill(std::begin(widths), std::end(widths), 1);
}

void TLogView::SetMetrics(const int w[256], int h, int m)
{
    for (int i = 0; i < 256; ++i) widths[i] = std::max(0, w[i]);
    rowHeight = std::max(1, h);
    margin = std::max(0, m);
    maxTopStale = true;
    tailRows.clear();
    StoreChanged();
}

void TLogView::Resize(int w, int h)
{
    if (w != width) tailRows.clear();
    width = std::max(0, w), height = std::max(0, h);
    maxTopStale = true;
    StoreChanged();
}

int TLogView::Page() const { return std::max(1, (height - 2 * margin) / rowHeight); }

std::size_t TLogView::MaxTop() const
{
    // The first line from which the rest fits in sight: at the end the view
    // shows them all, and scrolled one line up, what is above them. (A bare
    // count of lines would leave lines that wrap beyond reach.)
    if (!maxTopStale && maxTopVersion == store.Version()) return maxTop;
    maxTopStale = false, maxTopVersion = store.Version();
    const std::size_t count = store.LineCount();
    const std::size_t page = std::size_t(Page());
    // The rows of the last page and one lines, kept as lines come: lines
    // never change once in, so a streaming log wraps each new one once.
    const std::size_t from = count > page + 1 ? count - page - 1 : 0;
    if (rowsGeneration != store.Generation() || tailFirst + tailRows.size() > count || tailFirst + tailRows.size() < from)
        tailRows.clear(), tailFirst = from, rowsGeneration = store.Generation();
    auto rows = [this](std::size_t line) {
        store.Line(line, scratchText);
        Wrap(scratchText, scratchRows);
        return int(scratchRows.size());
    };
    while (tailFirst + tailRows.size() < count) tailRows.push_back(rows(tailFirst + tailRows.size()));
    for (; tailFirst < from; ++tailFirst) tailRows.pop_front();
    while (tailFirst > from) tailRows.push_front(rows(--tailFirst));
    std::size_t line = count;
    for (std::size_t used = 0; line > from; --line) {
        used += std::size_t(tailRows[line - 1 - tailFirst]);
        if (used > page) break;
    }
    // A last line taller than the view is the end by itself.
    maxTop = count == 0 ? 0 : std::min(line, count - 1);
    return maxTop;
}

void TLogView::Changed()
{
    stale = true;
    // The bar's page is what the end shows, so that its end is the view's.
    const std::size_t count = store.LineCount(), end = MaxTop();
    host.SetScrollBar(count, end == 0 ? std::max(count, std::size_t(Page())) : count - end, TopLine());
    host.Invalidate();
}

void TLogView::StoreChanged()
{
    if (AtEnd()) following = true, top = MaxTop();
    top = std::min(top, MaxTop());
    anchor = Clamp(anchor), caret = Clamp(caret);
    Changed();
}

void TLogView::ScrollTo(std::size_t line)
{
    top = std::min(line, MaxTop());
    following = top >= MaxTop();
    Changed();
}

void TLogView::Scroll(TLogScroll action)
{
    const std::size_t from = TopLine(), page = std::size_t(Page());
    switch (action) {
    case TLogScroll::LineUp: ScrollTo(from ? from - 1 : 0); break;
    case TLogScroll::LineDown: ScrollTo(from + 1); break;
    case TLogScroll::PageUp: ScrollTo(from > page ? from - page : 0); break;
    case TLogScroll::PageDown: ScrollTo(from + page); break;
    case TLogScroll::Top: ScrollTo(0); break;
    case TLogScroll::Bottom: ScrollTo(MaxTop()); break;
    }
}

void TLogView::Wheel(int delta)
{
    // Fine-grained wheels (touchpads) send parts of a notch: they add up.
    wheelRest += delta;
    const int lines = wheelRest * WheelLines / 120;
    if (lines == 0) return;
    wheelRest -= lines * 120 / WheelLines;
    const std::size_t from = TopLine(), step = std::size_t(lines > 0 ? lines : -lines);
    ScrollTo(lines > 0 ? (from > step ? from - step : 0) : from + step);
}

TLogView::Position TLogView::Clamp(Position p) const
{
    const std::size_t count = store.LineCount();
    if (count == 0) return {};
    if (p.line >= count) return {count - 1, int(store.LineLength(count - 1))};
    p.offset = std::clamp(p.offset, 0, int(store.LineLength(p.line)));
    return p;
}

void TLogView::Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const
{
    // After the last blank in the row, else wherever the row is full; a row
    // holds one character at least, however narrow the view.
    out.clear();
    const int room = std::max(1, width - 2 * margin);
    const int n = int(text.size());
    int whole = 0;  // most lines fit: one quick sum says so
    for (char c : text) whole += widths[static_cast<unsigned char>(c)];
    if (whole <= room) return out.push_back({0, n});
    int start = 0;
    while (true) {
        int used = 0, blank = -1, i = start;
        for (; i < n; ++i) {
            const int w = widths[static_cast<unsigned char>(text[std::size_t(i)])];
            if (used + w > room && i > start) {
                // Blanks at a row's end may hang past the edge, as in any text view.
                if (text[std::size_t(i)] == ' ') {
                    while (i + 1 < n && text[std::size_t(i + 1)] == ' ') ++i;
                    blank = i;
                }
                break;
            }
            used += w;
            if (text[std::size_t(i)] == ' ') blank = i;
        }
        if (i >= n) {
            out.push_back({start, n});
            return;
        }
        const int end = blank >= start ? blank + 1 : i;
        out.push_back({start, end});
        if (end >= n) return;  // the line's last blanks hung past the edge
        start = end;
    }
}

const std::vector<TLogView::Row> &TLogView::Rows() const
{
    if (stale || laidOutVersion != store.Version()) LayOut();
    return rows;
}

void TLogView::LayOut() const
{
    stale = false;
    laidOutVersion = store.Version();
    rows.clear();
    texts.clear();
    const std::size_t count = store.LineCount();
    if (count == 0 || height <= 0) return;
    std::vector<std::pair<int, int>> wrapped;
    auto add = [&](std::size_t line, const std::pair<int, int> &part, int y) {
        rows.push_back({line, part.first, part.second, y, part.second, part.second, false, -1, &texts.back()});
    };
    if (AtEnd()) {
        // From the last line up, until the view is full.
        int bottom = height - margin;
        for (std::size_t line = count; line-- > 0 && bottom > 0;) {
            texts.push_back(store.Line(line));
            Wrap(texts.back(), wrapped);
            for (std::size_t k = wrapped.size(); k-- > 0 && bottom > 0;) {
                bottom -= rowHeight;
                add(line, wrapped[k], bottom);
            }
        }
        std::reverse(rows.begin(), rows.end());
        // Short logs start at the top, as text does.
        const int shift = rows.empty() ? 0 : rows.front().top - margin;
        if (shift > 0)
            for (Row &row : rows) row.top -= shift;
    } else {
        int y = margin;
        for (std::size_t line = top; line < count && y < height; ++line) {
            texts.push_back(store.Line(line));
            Wrap(texts.back(), wrapped);
            for (const auto &part : wrapped) {
                if (y >= height) break;
                add(line, part, y);
                y += rowHeight;
            }
        }
    }
    // What of each row is selected, and where the caret is.
    const Position from = std::min(anchor, caret), to = std::max(anchor, caret);
    for (Row &row : rows) {
        const int length = int(row.text->size());
        if (from < to && row.line >= from.line && row.line <= to.line) {
            row.selFrom = std::clamp(row.line == from.line ? from.offset : 0, row.from, row.to);
            row.selTo = std::clamp(row.line == to.line ? to.offset : row.to, row.from, row.to);
            row.selectedBreak = row.line < to.line && row.to == length;
        }
        if (row.line == caret.line && caret.offset >= row.from && (caret.offset < row.to || (caret.offset == row.to && row.to == length)))
            row.caret = caret.offset;
    }
}

int TLogView::Width(const Row &row, int from, int to) const
{
    int w = 0;
    for (int i = from; i < to; ++i) w += widths[static_cast<unsigned char>((*row.text)[std::size_t(i)])];
    return w;
}

TLogView::Position TLogView::At(int x, int y) const
{
    const std::vector<Row> &shown = Rows();
    if (shown.empty()) return Clamp({TopLine(), 0});
    const Row *hit = &shown.front();
    for (const Row &row : shown)
        if (y >= row.top) hit = &row;
    int left = margin, i = hit->from;
    for (; i < hit->to; ++i) {
        const int w = widths[static_cast<unsigned char>((*hit->text)[std::size_t(i)])];
        if (2 * x < 2 * left + w) break;  // the nearer edge of the character
        left += w;
    }
    return {hit->line, i};
}

TLogBox TLogView::Where(Position p) const
{
    for (const Row &row : Rows()) {
        const int length = int(row.text->size());
        if (row.line != p.line || p.offset < row.from || p.offset > row.to) continue;
        if (p.offset == row.to && row.to < length) continue;  // in the next row
        const int left = margin + Width(row, row.from, p.offset);
        const int w = p.offset < length ? widths[static_cast<unsigned char>((*row.text)[std::size_t(p.offset)])] : widths[' '];
        return {left, row.top, left + std::max(1, w), row.top + rowHeight};
    }
    return {};
}

std::string TLogView::Range(Position from, Position to, std::size_t limit) const
{
    std::string out;
    for (std::size_t line = from.line; line <= to.line && line < store.LineCount() && out.size() < limit; ++line) {
        const std::string text = store.Line(line);
        const std::size_t a = line == from.line ? std::min(std::size_t(std::max(from.offset, 0)), text.size()) : 0;
        const std::size_t b = line == to.line ? std::min(std::size_t(std::max(to.offset, 0)), text.size()) : text.size();
        if (a < b) out.append(text, a, b - a);
        if (line != to.line) out += lineBreak;
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::string TLogView::Text() const
{
    const std::size_t count = store.LineCount();
    return count ? Range({0, 0}, {count - 1, int(store.LineLength(count - 1))}) : std::string();
}

std::uint64_t TLogView::TextLength() const
{
    const std::size_t count = store.LineCount();
    return count ? store.Bytes() + (count - 1) * lineBreak.size() : 0;
}

std::string TLogView::SelectedText() const
{
    const Position from = std::min(anchor, caret), to = std::max(anchor, caret);
    return from < to ? Range(from, to) : std::string();
}

void TLogView::Copy() const
{
    if (HasSelection()) host.SetClipboard(SelectedText());
}

void TLogView::Select(Position a, Position c)
{
    anchor = Clamp(a), caret = Clamp(c);
    stale = true;
    host.Invalidate();
}

void TLogView::SelectAll()
{
    const std::size_t count = store.LineCount();
    if (count) Select({0, 0}, {count - 1, int(store.LineLength(count - 1))});
}

void TLogView::ShowCaret()
{
    // Brings the caret's line into sight, scrolling by whole lines.
    const std::size_t line = caret.line, page = std::size_t(Page());
    if (AtEnd() && line >= MaxTop()) return;
    const std::size_t from = TopLine();
    if (line < from) ScrollTo(line);
    else if (line >= from + page) ScrollTo(line - page + 1);
}

void TLogView::MoveCaret(Position to, bool extend)
{
    caret = Clamp(to);
    if (!extend) anchor = caret;
    ShowCaret();
    stale = true;
    host.Invalidate();
}

bool TLogView::Key(TLogKey key, int modifiers)
{
    if (key == TLogKey::Copy) return Copy(), true;
    if (key == TLogKey::SelectAll) return SelectAll(), true;
    const std::size_t count = store.LineCount();
    if (count == 0) return false;
    const bool far = modifiers & lmControl;
    const std::size_t page = std::size_t(Page());
    Position p = caret;
    switch (key) {
    case TLogKey::Left:
        if (p.offset > 0) --p.offset;
        else if (p.line > 0) p = {p.line - 1, int(store.LineLength(p.line - 1))};
        break;
    case TLogKey::Right:
        if (p.offset < int(store.LineLength(p.line))) ++p.offset;
        else if (p.line + 1 < count) p = {p.line + 1, 0};
        break;
    case TLogKey::Up: p.line = p.line > 0 ? p.line - 1 : 0; break;
    case TLogKey::Down: p.line = std::min(p.line + 1, count - 1); break;
    case TLogKey::PageUp: p.line = p.line > page ? p.line - page : 0; break;
    case TLogKey::PageDown: p.line = std::min(p.line + page, count - 1); break;
    case TLogKey::Home: p = far ? Position{0, 0} : Position{p.line, 0}; break;
    case TLogKey::End:
        if (far) p.line = count - 1;
        p.offset = int(store.LineLength(p.line));
        break;
    default: return false;
    }
    MoveCaret(p, modifiers & lmShift);
    return true;
}

void TLogView::Press(int x, int y, int modifiers)
{
    // The text under the pointer stays put: a click does not scroll.
    caret = At(x, y);
    if (!(modifiers & lmShift)) anchor = caret;
    dragging = true;
    dragX = x, dragY = y;
    host.CaptureMouse(true);
    stale = true;
    host.Invalidate();
}

void TLogView::DragScroll()
{
    // Past an edge the log scrolls on, a line a step, and the selection with it.
    if (dragY < 0) Scroll(TLogScroll::LineUp);
    else if (dragY > height) Scroll(TLogScroll::LineDown);
    caret = At(dragX, dragY);
    stale = true;
    host.Invalidate();
}

void TLogView::Drag(int x, int y)
{
    if (!dragging) return;
    dragX = x, dragY = y;
    DragScroll();
    const bool outside = y < 0 || y > height;
    if (outside != timing) host.SetTimer((timing = outside) ? DragScrollMs : 0);
}

void TLogView::Tick()
{
    if (dragging && timing) DragScroll();
}

void TLogView::Release()
{
    if (!dragging) return;
    dragging = false;
    if (timing) host.SetTimer(0), timing = false;
    host.CaptureMouse(false);
}
