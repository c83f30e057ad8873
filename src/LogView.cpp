#include "LogView.h"

#include <algorithm>

TLogView::TLogView(const TLogStore &store, TLogHost &host, std::string lineBreak)
    : store(store), host(host), lineBreak(std::move(lineBreak)), lines(store), layout(store, lines)
{
}

TLogView::~TLogView()
{
    // The host is going too: a half-written file goes (with the work), and nothing is said.
}

void TLogView::SetMetrics(const int w[256], int h, int m)
{
    layout.SetWidths(w);
    rowHeight = std::max(1, h);
    margin = std::max(0, m);
    layout.SetRoom(width - 2 * margin);
    StoreChanged();
}

void TLogView::Resize(int w, int h)
{
    width = std::max(0, w), height = std::max(0, h);
    layout.SetRoom(width - 2 * margin);
    StoreChanged();
}

int TLogView::Page() const { return std::max(1, (RowsHeight() - 2 * margin) / rowHeight); }

void TLogView::SetStatus(const std::string &line)
{
    // The rows make room for the line, or take it back.
    if (line.empty() != status.empty()) stale = true;
    status = line;
}

TLogView::Place TLogView::MaxTop() const
{
    // The row from which the last page of rows fits in sight.
    const std::uint64_t epoch = layout.Epoch();
    const int page = Page();
    if (maxTopVersion == store.Version() && maxTopEpoch == epoch && maxTopPage == page) return maxTop;
    maxTopVersion = store.Version(), maxTopEpoch = epoch, maxTopPage = page;
    const std::size_t count = LineCount();
    if (count == 0) return maxTop = {};
    maxTop = layout.Back({count - 1, layout.RowsOf(count - 1) - 1}, std::uint64_t(page - 1));
    // The blocks the end shows are exact, so that the bar's end is the view's.
    layout.SettleFrom(maxTop.line);
    return maxTop;
}

void TLogView::Changed()
{
    stale = true;
    // The bar counts rows: its end is where the last page of them is in sight.
    const Place end = MaxTop();
    const std::uint64_t position = layout.RowIndex(AtEnd() ? end : top);
    host.SetScrollBar(std::size_t(layout.TotalRows()), std::size_t(Page()), std::size_t(position));
    host.Invalidate();
}

void TLogView::Redraw()
{
    stale = true;
    host.Invalidate();
}

void TLogView::StoreChanged()
{
    const std::uint64_t epoch = layout.Epoch();
    if (AtEnd()) following = true, top = MaxTop();
    // The top row is kept within its line only when rows were counted afresh
    // (a new width or font), not on every poll: its line may be one of thousands of rows.
    if (top.line >= LineCount()) top = {};
    else if (epoch != clampedEpoch) top.row = std::min(top.row, layout.RowsOf(top.line) - 1);
    clampedEpoch = epoch;
    anchor = Clamp(anchor), caret = Clamp(caret);
    Changed();
}

void TLogView::ScrollTo(Place place)
{
    const std::size_t count = LineCount();
    if (count && place.line < count) place.row = std::clamp(place.row, 0, layout.RowsOf(place.line) - 1);
    const Place end = MaxTop();
    following = count == 0 || place.line >= count || !(place < end);
    top = following ? end : place;
    Changed();
}

void TLogView::ScrollTo(std::uint64_t row) { ScrollTo(layout.RowAt(row)); }

void TLogView::Scroll(TLogScroll action)
{
    const Place from = Top();
    const std::uint64_t page = std::uint64_t(Page());
    switch (action) {
    case TLogScroll::LineUp: ScrollTo(layout.Back(from, 1)); break;
    case TLogScroll::LineDown: ScrollTo(layout.Forward(from, 1)); break;
    case TLogScroll::PageUp: ScrollTo(layout.Back(from, page)); break;
    case TLogScroll::PageDown: ScrollTo(layout.Forward(from, page)); break;
    case TLogScroll::Top: ScrollTo(Place{}); break;
    case TLogScroll::Bottom: ScrollTo(MaxTop()); break;
    }
}

void TLogView::Wheel(int delta)
{
    // Fine-grained wheels (touchpads) send parts of a notch: they add up.
    wheelRest += delta;
    const int n = wheelRest * WheelLines / 120;
    if (n == 0) return;
    wheelRest -= n * 120 / WheelLines;
    const Place from = Top();
    ScrollTo(n > 0 ? layout.Back(from, std::uint64_t(n)) : layout.Forward(from, std::uint64_t(-n)));
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
    const std::size_t count = LineCount();
    const int bottomEdge = RowsHeight();
    if (count == 0 || bottomEdge <= 0) return;
    std::vector<std::pair<int, int>> wrapped;
    auto add = [&](std::size_t line, const std::pair<int, int> &part, int y) {
        rows.push_back({line, part.first, part.second, y, part.second, part.second, false, -1, &texts.back()});
    };
    if (AtEnd()) {
        // From the last line up, until the view is full.
        int bottom = bottomEdge - margin;
        for (std::size_t line = count; line-- > 0 && bottom > 0;) {
            texts.emplace_back();
            Line(line, texts.back());
            layout.Wrap(texts.back(), wrapped);
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
        for (std::size_t line = top.line; line < count && y < bottomEdge; ++line) {
            texts.emplace_back();
            Line(line, texts.back());
            layout.Wrap(texts.back(), wrapped);
            for (std::size_t k = line == top.line ? std::size_t(top.row) : 0; k < wrapped.size() && y < bottomEdge; ++k) {
                add(line, wrapped[k], y);
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

TLogView::Position TLogView::At(int x, int y) const
{
    const std::vector<Row> &shown = Rows();
    if (shown.empty()) return Clamp({TopLine(), 0});
    const Row *hit = &shown.front();
    for (const Row &row : shown)
        if (y >= row.top) hit = &row;
    int left = margin, i = hit->from;
    for (; i < hit->to; ++i) {
        const int w = layout.CharWidth(static_cast<unsigned char>((*hit->text)[std::size_t(i)]));
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
        const int w = layout.CharWidth(p.offset < length ? static_cast<unsigned char>((*row.text)[std::size_t(p.offset)]) : ' ');
        return {left, row.top, left + std::max(1, w), row.top + rowHeight};
    }
    return {};
}

std::string TLogView::Text() const
{
    const std::size_t count = LineCount();
    return count ? Range({0, 0}, End()) : std::string();
}

void TLogView::SetTimes(bool on)
{
    if (on == Times() || work) return;
    lines.SetTimes(on);
    // Count lines change length: every row is counted again, the selection kept where it still fits.
    layout.Recount();
    StoreChanged();
}

void TLogView::SetHex(bool on)
{
    if (on == Hex() || work) return;
    // The same bytes stay at the top and under the selection: the bytes from
    // its start to its end, whichever way it was made; a caret stays after the
    // byte it followed (at a line's end, not the next line's start).
    const std::uint64_t topByte = lines.ByteUnder({TopLine(), 0});
    const bool selected = HasSelection(), backwards = caret < anchor;
    const Position from = std::min(anchor, caret), to = std::max(anchor, caret);
    const std::uint64_t first = lines.ByteFrom(from), end = std::max(first, lines.EndAt(to));
    // A caret after a byte of its line stays after that byte, not before the next one shown.
    const std::uint64_t followed = lines.EndAt(caret);
    const bool after = !selected && followed > lines.EndAt({caret.line, 0});
    lines.SetHex(on);
    top = {LineCount() ? lines.PlaceOf(topByte, false).line : 0, 0};
    Position a = after ? lines.PlaceOf(followed - 1, true) : lines.PlaceOf(first, false);
    Position c = selected && end > first ? lines.PlaceOf(end - 1, true) : a;
    if (backwards) std::swap(a, c);
    anchor = a, caret = c;
    host.SetFixedPitch(on);
    layout.Recount();
    StoreChanged();
}

std::vector<TLogMenuItem> TLogView::Menu() const
{
    TLogMenuState state;
    state.selection = HasSelection(), state.lines = LineCount() > 0, state.idle = !work;
    state.sought = !sought.empty(), state.hex = Hex(), state.times = Times();
    return LogMenu(state);
}

bool TLogView::Shortcut(char letter)
{
    const std::vector<TLogMenuItem> menu = Menu();
    const TLogMenuItem *item = LogShortcut(menu, letter);
    if (item && item->enabled) Command(item->command);
    return item != nullptr;
}

void TLogView::Command(TLogCommand command)
{
    switch (command) {
    case TLogCommand::Copy: return Copy();
    case TLogCommand::SelectAll: return SelectAll();
    case TLogCommand::Find:
        if (!work) host.AskFind();
        return;
    case TLogCommand::FindNext:
        if (!sought.empty()) Find(sought, true);
        return;
    case TLogCommand::Text: return SetHex(false);
    case TLogCommand::Hex: return SetHex(!Hex());
    case TLogCommand::Times: return SetTimes(!Times());
    case TLogCommand::SaveLog:
    case TLogCommand::SaveReceived: {
        if (work) return;
        const bool received = command == TLogCommand::SaveReceived;
        const std::string path = host.AskSavePath(received);
        if (!path.empty()) Save(path, received);
        return;
    }
    }
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
    Redraw();
}

void TLogView::SelectAll()
{
    if (LineCount()) Select({0, 0}, End());
}

void TLogView::Say(const std::string &line)
{
    SetStatus(line);
    Changed();
}

void TLogView::Find(const std::string &what, bool forward, const std::string &shown)
{
    if (what.empty() || work) return;
    if (what != sought || !shown.empty()) soughtShown = shown.empty() ? what : shown;
    sought = what;
    std::string bytes;
    const bool exact = Hex() && TLogWork::HexBytes(what, bytes);
    // After the selection's first byte going down, before it going up; from a
    // caret, what starts at or after it going down, before it going up.
    const std::uint64_t origin = HasSelection() ? lines.ByteUnder(std::min(anchor, caret)) + (forward ? 1 : 0) : lines.ByteFrom(caret);
    work = std::make_unique<TLogWork>(store, exact ? bytes : what, exact, forward, origin, soughtShown);
    SetStatus("");
    host.SetWorking(true);
}

void TLogView::Save(const std::string &path, bool receivedBytes)
{
    if (work) return;
    auto save = std::make_unique<TLogWork>(store, lines, path, receivedBytes, lineBreak);
    if (save->Failed()) return Say(save->Said());
    work = std::move(save);
    SetStatus("");
    host.SetWorking(true);
}

void TLogView::Finish(std::string said)
{
    work.reset();  // a file not yet named goes with it
    SetStatus(said);
    host.SetWorking(false);
    Changed();
}

void TLogView::Stop()
{
    if (work) Finish(work->Stopped());
}

void TLogView::Work(int ms)
{
    if (!work) return;
    switch (work->Slice(ms)) {
    case TLogWork::State::Ended: return Finish(work->Said());
    case TLogWork::State::Found: {
        const Position a = lines.PlaceOf(work->First(), false), c = lines.PlaceOf(work->Last(), true);
        Finish("");
        anchor = Clamp(a), caret = Clamp(c);
        ShowCaret();
        return Redraw();
    }
    case TLogWork::State::Going: {
        // Only the line changes: drawn again ten times a second, enough for a figure that moves
        // (a line that just came lays the rows out anew).
        const bool shown = !status.empty();
        SetStatus(work->Said());
        const auto now = std::chrono::steady_clock::now();
        if (!shown) Changed(), drawn = now;
        else if (now - drawn >= std::chrono::milliseconds(100)) host.Invalidate(), drawn = now;
        return;
    }
    }
}

void TLogView::ShowCaret()
{
    // Brings the caret's row into sight, a row at a time past either edge.
    const Place at = layout.RowOf(caret), from = Top();
    if (at < from) return ScrollTo(at);
    const Place last = layout.Forward(from, std::uint64_t(Page() - 1));
    if (last < at) ScrollTo(layout.Back(at, std::uint64_t(Page() - 1)));
}

void TLogView::MoveCaret(Position to, bool extend)
{
    caret = Clamp(to);
    if (!extend) anchor = caret;
    ShowCaret();
    Redraw();
}

bool TLogView::Key(TLogKey key, int modifiers)
{
    if (key == TLogKey::Copy) return Command(TLogCommand::Copy), true;
    if (key == TLogKey::SelectAll) return Command(TLogCommand::SelectAll), true;
    if (key == TLogKey::Escape) {
        if (!work && status.empty()) return false;
        if (work) Stop();
        else Say("");
        return true;
    }
    if (key == TLogKey::FindNext) {
        if (!sought.empty() && !work) Find(sought, !(modifiers & lmShift));
        return !sought.empty();
    }
    const std::size_t count = LineCount();
    if (count == 0) return false;
    const bool far = modifiers & lmControl;
    const std::uint64_t page = std::uint64_t(Page());
    Position p = caret;
    // Up and down go by rows, as drawn, keeping the caret's place across.
    auto rowsAway = [&](bool down, std::uint64_t n) {
        const Place at = layout.RowOf(caret);
        const int x = layout.XOf(caret);
        return layout.AtX(down ? layout.Forward(at, n) : layout.Back(at, n), x);
    };
    switch (key) {
    case TLogKey::Left:
        if (p.offset > 0) --p.offset;
        else if (p.line > 0) p = {p.line - 1, LineLength(p.line - 1)};
        break;
    case TLogKey::Right:
        if (p.offset < LineLength(p.line)) ++p.offset;
        else if (p.line + 1 < count) p = {p.line + 1, 0};
        break;
    case TLogKey::Up: p = rowsAway(false, 1); break;
    case TLogKey::Down: p = rowsAway(true, 1); break;
    case TLogKey::PageUp: p = rowsAway(false, page); break;
    case TLogKey::PageDown: p = rowsAway(true, page); break;
    case TLogKey::Home: p = far ? Position{0, 0} : Position{p.line, 0}; break;
    case TLogKey::End:
        if (far) p.line = count - 1;
        p.offset = LineLength(p.line);
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
    Redraw();
}

void TLogView::DragScroll()
{
    // Past an edge the log scrolls on, a line a step, and the selection with it.
    if (dragY < 0) Scroll(TLogScroll::LineUp);
    else if (dragY > RowsHeight()) Scroll(TLogScroll::LineDown);
    caret = At(dragX, dragY);
    Redraw();
}

void TLogView::Drag(int x, int y)
{
    if (!dragging) return;
    dragX = x, dragY = y;
    DragScroll();
    const bool outside = y < 0 || y > RowsHeight();
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
