#include "LogView.h"

#include <cstdio>
#include <ctime>

#include <algorithm>
#include <climits>

void TRowSums::Push(std::uint64_t rows)
{
    // Node i sums the blocks after i less its lowest bit, up to i.
    const std::size_t i = tree.size(), low = i & (~i + 1);
    tree.push_back(rows + Before(i - 1) - Before(i - low));
}

void TRowSums::Add(std::size_t block, std::uint64_t rows)
{
    for (std::size_t i = block + 1; i < tree.size(); i += i & (~i + 1)) tree[i] += rows;
}

std::uint64_t TRowSums::Before(std::size_t block) const
{
    std::uint64_t sum = 0;
    for (std::size_t i = block; i > 0; i -= i & (~i + 1)) sum += tree[i];
    return sum;
}

std::size_t TRowSums::Find(std::uint64_t &row) const
{
    std::size_t at = 0, step = 1;
    while (step * 2 <= Size()) step *= 2;
    for (; step > 0; step /= 2)
        if (at + step < tree.size() && tree[at + step] <= row) at += step, row -= tree[at];
    return at;
}

void TLogView::SetMetrics(const int w[256], int h, int m)
{
    for (int i = 0; i < 256; ++i) widths[i] = std::max(0, w[i]);
    uniform = widths[0];
    for (int i = 1; i < 256; ++i)
        if (widths[i] != uniform) uniform = 0;
    rowHeight = std::max(1, h);
    margin = std::max(0, m);
    recount = true;
    StoreChanged();
}

void TLogView::Resize(int w, int h)
{
    if (w != width) recount = true;
    width = std::max(0, w), height = std::max(0, h);
    maxTopStale = true;
    StoreChanged();
}

int TLogView::Page() const { return std::max(1, (RowsHeight() - 2 * margin) / rowHeight); }

void TLogView::SetStatus(const std::string &line)
{
    // The rows make room for the line, or take it back: the last page is another.
    if (line.empty() != status.empty()) maxTopStale = true, stale = true;
    status = line;
}

int TLogView::Wrapped(std::size_t line) const
{
    // In a fixed-pitch font a line's length says whether it fits, with no need of its text.
    if (uniform && std::int64_t(LineLength(line)) * uniform <= std::max(1, width - 2 * margin)) return 1;
    Line(line, scratchText);
    Wrap(scratchText, scratchRows);
    return int(scratchRows.size());
}

std::uint64_t TLogView::Estimate(std::size_t first, std::size_t end) const
{
    // Lines of printable text average their blanks' worth of room; a line
    // takes one row at least and, past the room, half a row more on average.
    std::uint64_t sum = 0;
    for (int c = 0x20; c < 0x7F; ++c) sum += std::uint64_t(widths[c]);
    const std::uint64_t room = std::uint64_t(std::max(1, width - 2 * margin)) * 0x5F;
    const std::uint64_t lines = end - first;
    // What the lines show, not the bytes they keep: NULs and line ends take no room.
    std::uint64_t shown = 0;
    if (hex) shown = lines * 71;
    else
        for (std::size_t i = first; i < end; ++i) shown += store.LineLength(i);
    return std::max(lines, shown * sum / room + lines / 2);
}

void TLogView::Count() const
{
    if (recount || countedGeneration != store.Generation()) {
        sums.Clear(), exact.clear(), tailRows.clear();
        counted = 0, tailFirst = 0;
        countedGeneration = store.Generation();
        recount = false, maxTopStale = true, rewrapped = true;
        ++settled;
    }
    const std::size_t count = LineCount();
    while (counted < count) {
        const std::size_t block = counted / BlockLines, first = block * BlockLines;
        const std::size_t end = std::min(count, first + BlockLines);
        // A new block holds no estimate yet: counting it exactly moves no row before a line already in.
        if (block == sums.Size()) sums.Push(0), exact.push_back(end == count);
        if (exact[block] || end == count) {
            // The last block is always exact, and so is one that was when it
            // grew: a streaming log wraps each new line once, as it comes.
            std::size_t from = counted;
            if (!exact[block]) {
                sums.Add(block, 0 - sums.Of(block));
                exact[block] = true, from = first;
                ++settled;
            }
            std::uint64_t rows = 0;
            for (std::size_t line = from; line < end; ++line) {
                const int n = Wrapped(line);
                rows += std::uint64_t(n);
                if (line + 2 * BlockLines < count) continue;
                // Kept for the last lines, where the end and MaxTop look.
                if (tailFirst + tailRows.size() != line) tailRows.clear(), tailFirst = line;
                tailRows.push_back(n);
            }
            sums.Add(block, rows);
        } else {
            // Far from the end, lines put in all at once are estimated, not wrapped.
            sums.Add(block, Estimate(first, end) - sums.Of(block));
        }
        counted = end;
    }
    // Trimmed now and then, not a line at a time.
    if (tailRows.size() > 4 * BlockLines) {
        const std::size_t drop = tailRows.size() - 2 * BlockLines;
        tailRows.erase(tailRows.begin(), tailRows.begin() + std::ptrdiff_t(drop));
        tailFirst += drop;
    }
}

void TLogView::Settle(std::size_t block) const
{
    if (block >= exact.size() || exact[block]) return;
    const std::size_t first = block * BlockLines, end = std::min(counted, first + BlockLines);
    std::uint64_t rows = 0;
    for (std::size_t line = first; line < end; ++line) rows += std::uint64_t(Wrapped(line));
    sums.Add(block, rows - sums.Of(block));
    exact[block] = true;
    ++settled;
}

int TLogView::RowsOf(std::size_t line) const
{
    Count();
    return Counted(line);
}

int TLogView::Counted(std::size_t line) const
{
    if (line - tailFirst < tailRows.size() && line >= tailFirst) return tailRows[line - tailFirst];
    return line < LineCount() ? Wrapped(line) : 0;
}

std::uint64_t TLogView::TotalRows() const
{
    Count();
    return sums.Before(sums.Size());
}

std::uint64_t TLogView::RowIndex(Place place) const
{
    Count();
    if (place.line >= counted) return TotalRows();
    const std::size_t block = place.line / BlockLines;
    Settle(block);
    // The rows before a line, kept for the line last asked for.
    if (beforeSettled != settled || beforeLine != place.line) {
        // From the line asked for before where that is nearer (the end, as lines stream in).
        std::size_t line = block * BlockLines;
        std::uint64_t rows = 0;
        if (beforeSettled == settled && beforeLine / BlockLines == block && beforeLine < place.line) line = beforeLine, rows = beforeRows;
        else rows = sums.Before(block);
        for (; line < place.line; ++line) rows += std::uint64_t(Counted(line));
        beforeLine = place.line, beforeRows = rows, beforeSettled = settled;
    }
    return beforeRows + std::uint64_t(place.row);
}

TLogView::Place TLogView::Forward(Place p, std::uint64_t n) const
{
    Count();
    const std::size_t count = LineCount();
    while (n > 0 && p.line < count) {
        const int rows = Counted(p.line);
        if (std::uint64_t(p.row) + n < std::uint64_t(rows)) return {p.line, p.row + int(n)};
        if (p.line + 1 >= count) return {p.line, rows - 1};
        n -= std::uint64_t(rows - p.row);
        p = {p.line + 1, 0};
    }
    return p;
}

TLogView::Place TLogView::Back(Place p, std::uint64_t n) const
{
    Count();
    while (n > 0) {
        if (std::uint64_t(p.row) >= n) return {p.line, p.row - int(n)};
        if (p.line == 0) return {0, 0};
        n -= std::uint64_t(p.row) + 1;
        p.line -= 1;
        p.row = Counted(p.line) - 1;
    }
    return p;
}

TLogView::Place TLogView::MaxTop() const
{
    // The row from which the last page of rows fits in sight.
    Count();
    if (!maxTopStale && maxTopVersion == store.Version()) return maxTop;
    maxTopStale = false, maxTopVersion = store.Version();
    const std::size_t count = LineCount();
    if (count == 0) return maxTop = {};
    maxTop = Back({count - 1, RowsOf(count - 1) - 1}, std::uint64_t(Page() - 1));
    // The blocks the end shows are exact, so that the bar's end is the view's.
    for (std::size_t block = maxTop.line / BlockLines; block < exact.size(); ++block) Settle(block);
    return maxTop;
}

void TLogView::Changed()
{
    stale = true;
    // The bar counts rows: its end is where the last page of them is in sight.
    const Place end = MaxTop();
    const std::uint64_t position = RowIndex(AtEnd() ? end : top);
    host.SetScrollBar(std::size_t(TotalRows()), std::size_t(Page()), std::size_t(position));
    host.Invalidate();
}

void TLogView::StoreChanged()
{
    Count();
    if (AtEnd()) following = true, top = MaxTop();
    // The top row is clamped only when rows changed (a new width or font),
    // not on every poll: its line may be one of thousands of rows.
    if (top.line >= LineCount()) top = {};
    else if (rewrapped) top.row = std::min(top.row, RowsOf(top.line) - 1);
    rewrapped = false;
    anchor = Clamp(anchor), caret = Clamp(caret);
    Changed();
}

void TLogView::ScrollTo(Place place)
{
    const std::size_t count = LineCount();
    if (count && place.line < count) place.row = std::clamp(place.row, 0, RowsOf(place.line) - 1);
    const Place end = MaxTop();
    following = count == 0 || place.line >= count || !(place < end);
    top = following ? end : place;
    Changed();
}

void TLogView::ScrollTo(std::uint64_t row)
{
    // The block that holds the row is settled first: its estimate may have
    // put the row elsewhere.
    Count();
    std::uint64_t within = row;
    std::size_t block = sums.Find(within);
    while (block < exact.size() && !exact[block]) {
        Settle(block);
        within = row, block = sums.Find(within);
    }
    if (block >= exact.size()) return ScrollTo(Place{LineCount(), 0});
    std::size_t line = block * BlockLines;
    for (; line + 1 < LineCount(); ++line) {
        const std::uint64_t rows = std::uint64_t(Counted(line));
        if (within < rows) break;
        within -= rows;
    }
    ScrollTo(Place{line, int(std::min<std::uint64_t>(within, INT_MAX))});
}

void TLogView::Scroll(TLogScroll action)
{
    const Place from = Top();
    const std::uint64_t page = std::uint64_t(Page());
    switch (action) {
    case TLogScroll::LineUp: ScrollTo(Back(from, 1)); break;
    case TLogScroll::LineDown: ScrollTo(Forward(from, 1)); break;
    case TLogScroll::PageUp: ScrollTo(Back(from, page)); break;
    case TLogScroll::PageDown: ScrollTo(Forward(from, page)); break;
    case TLogScroll::Top: ScrollTo(Place{}); break;
    case TLogScroll::Bottom: ScrollTo(MaxTop()); break;
    }
}

void TLogView::Wheel(int delta)
{
    // Fine-grained wheels (touchpads) send parts of a notch: they add up.
    wheelRest += delta;
    const int rows = wheelRest * WheelLines / 120;
    if (rows == 0) return;
    wheelRest -= rows * 120 / WheelLines;
    const Place from = Top();
    ScrollTo(rows > 0 ? Back(from, std::uint64_t(rows)) : Forward(from, std::uint64_t(-rows)));
}

TLogView::Position TLogView::Clamp(Position p) const
{
    const std::size_t count = LineCount();
    if (count == 0) return {};
    if (p.line >= count) return {count - 1, int(LineLength(count - 1))};
    p.offset = std::clamp(p.offset, 0, int(LineLength(p.line)));
    return p;
}

void TLogView::Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const
{
    // After the last blank in the row, else wherever the row is full; a row
    // holds one character at least, however narrow the view.
    out.clear();
    const int room = std::max(1, width - 2 * margin);
    const int n = int(text.size());
    if (uniform) {
        // The same, counted: so many characters a row, then back to the last blank.
        if (std::int64_t(n) * uniform <= room) return out.push_back({0, n});
        const int fit = std::max(1, room / uniform);
        for (int start = 0;;) {
            int i = start + fit;
            if (i >= n) return out.push_back({start, n});
            int blank = -1;
            if (text[std::size_t(i)] == ' ') {
                while (i + 1 < n && text[std::size_t(i + 1)] == ' ') ++i;
                blank = i;
            } else {
                for (int k = i - 1; k >= start && blank < 0; --k)
                    if (text[std::size_t(k)] == ' ') blank = k;
            }
            const int end = blank >= start ? blank + 1 : i;
            out.push_back({start, end});
            if (end >= n) return;
            start = end;
        }
    }
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
    const std::size_t count = LineCount();
    const int height = RowsHeight();
    if (count == 0 || height <= 0) return;
    std::vector<std::pair<int, int>> wrapped;
    auto add = [&](std::size_t line, const std::pair<int, int> &part, int y) {
        rows.push_back({line, part.first, part.second, y, part.second, part.second, false, -1, &texts.back()});
    };
    if (AtEnd()) {
        // From the last line up, until the view is full.
        int bottom = height - margin;
        for (std::size_t line = count; line-- > 0 && bottom > 0;) {
            texts.emplace_back();
            Line(line, texts.back());
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
        for (std::size_t line = top.line; line < count && y < height; ++line) {
            texts.emplace_back();
            Line(line, texts.back());
            Wrap(texts.back(), wrapped);
            for (std::size_t k = line == top.line ? std::size_t(top.row) : 0; k < wrapped.size() && y < height; ++k) {
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
    for (std::size_t line = from.line; line <= to.line && line < LineCount() && out.size() < limit; ++line) {
        Line(line, scratchText);
        const std::string &text = scratchText;
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
    const std::size_t count = LineCount();
    return count ? Range({0, 0}, {count - 1, int(LineLength(count - 1))}) : std::string();
}

std::uint64_t TLogView::TextLength() const
{
    const std::size_t count = LineCount();
    std::uint64_t length = count ? store.Shown() + (count - 1) * lineBreak.size() : 0;
    for (std::size_t k = 0; k < store.Reads() && (times || hex); ++k) {
        const TLogRead &read = store.Read(k);
        std::int64_t wallUs, gapUs;
        if (times && store.Stamped(read.line, wallUs, gapUs)) length += TimesLength(gapUs);
        if (!hex) continue;
        // Its bytes' lines give way to its rows.
        length -= read.shown;
        const std::size_t rows = read.Rows();
        length += std::uint64_t(rows - 1) * std::uint64_t(HexRowLength(read, 0)) + std::uint64_t(HexRowLength(read, rows - 1));
    }
    return length;
}

std::size_t TLogView::TimesLength(std::int64_t gapUs)
{
    // As TimesText writes them, without formatting the time of day.
    std::size_t n = 15;  // "   hh:mm:ss.mmm"
    if (gapUs < 0) return n;
    n += 10;  // "  +s.mmm s", the seconds' first digit among them
    for (std::int64_t seconds = (gapUs + 500) / 1000 / 1000; seconds >= 10; seconds /= 10) ++n;
    return n;
}

std::size_t TLogView::LineCount() const
{
    const std::size_t lines = store.LineCount(), reads = store.Reads();
    if (!hex || reads == 0) return lines;
    const TLogRead &last = store.Read(reads - 1);
    return std::size_t(std::int64_t(lines) + last.rowsBefore + std::int64_t(last.Rows()) - std::int64_t(last.end - last.line - 1));
}

void TLogView::Line(std::size_t i, std::string &into) const
{
    const Source from = SourceOf(i);
    if (from.read < store.Reads()) return HexRow(store.Read(from.read), from.row, into);
    store.Line(from.line, into);
    std::int64_t wallUs, gapUs;
    if (times && store.Stamped(from.line, wallUs, gapUs)) into += TimesText(wallUs, gapUs);
}

int TLogView::LineLength(std::size_t i) const
{
    const Source from = SourceOf(i);
    if (from.read < store.Reads()) return HexRowLength(store.Read(from.read), from.row);
    std::int64_t wallUs, gapUs;
    const std::size_t n = store.LineLength(from.line);
    return int(times && store.Stamped(from.line, wallUs, gapUs) ? n + TimesLength(gapUs) : n);
}

TLogView::Position TLogView::End() const
{
    const std::size_t count = LineCount();
    return count ? Position{count - 1, LineLength(count - 1)} : Position{};
}

std::string TLogView::TimesText(std::int64_t wallUs, std::int64_t gapUs)
{
    // The time of day where the user is, to the millisecond.
    const std::int64_t ms = wallUs >= 0 ? wallUs / 1000 : (wallUs - 999) / 1000;
    std::time_t seconds = std::time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[64];
    int n = std::snprintf(text, sizeof text, "   %02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                          int(ms - std::int64_t(seconds) * 1000));
    if (gapUs >= 0) {
        const std::int64_t gapMs = (gapUs + 500) / 1000;
        n += std::snprintf(text + n, sizeof text - std::size_t(n), "  +%lld.%03d s", static_cast<long long>(gapMs / 1000),
                           int(gapMs % 1000));
    }
    return std::string(text, std::size_t(n));
}

void TLogView::SetTimes(bool on)
{
    if (on == times || job) return;
    times = on;
    // Count lines change length: every row is counted again, the selection kept where it still fits.
    recount = true;
    StoreChanged();
}

bool TLogView::Shortcut(char letter)
{
    const std::string keys = std::string("Ctrl+") + letter;
    for (const TLogMenuItem &item : Menu()) {
        if (item.separator || keys != item.keys) continue;
        if (item.enabled) Command(item.command);
        return true;
    }
    return false;
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

std::vector<TLogMenuItem> TLogView::Menu() const
{
    auto item = [](TLogCommand command, const char *caption, const char *keys, bool enabled, bool checked = false) {
        TLogMenuItem it;
        it.command = command, it.caption = caption, it.keys = keys, it.enabled = enabled, it.checked = checked;
        return it;
    };
    TLogMenuItem line;
    line.separator = true;
    const bool some = LineCount() > 0, idle = !job;
    return {item(TLogCommand::Copy, "&Copy", "Ctrl+C", HasSelection()),
            line,
            item(TLogCommand::SelectAll, "Select &All", "Ctrl+A", some),
            line,
            item(TLogCommand::Find, "&Find...", "Ctrl+F", some && idle),
            item(TLogCommand::FindNext, "Find &Next", "F3", some && idle && !sought.empty()),
            line,
            item(TLogCommand::Text, "Te&xt", "", idle, !hex),
            item(TLogCommand::Hex, "&Hex", "Ctrl+H", idle, hex),
            item(TLogCommand::Times, "&Times", "Ctrl+T", idle, times),
            line,
            item(TLogCommand::SaveLog, "&Save Log As...", "Ctrl+S", idle),
            item(TLogCommand::SaveReceived, "Save &Received Bytes As...", "", idle)};
}

void TLogView::Command(TLogCommand command)
{
    switch (command) {
    case TLogCommand::Copy: return Copy();
    case TLogCommand::SelectAll: return SelectAll();
    case TLogCommand::Find:
        if (!job) host.AskFind();
        return;
    case TLogCommand::FindNext:
        if (!sought.empty()) Find(sought, true);
        return;
    case TLogCommand::Text: return SetHex(false);
    case TLogCommand::Hex: return SetHex(!hex);
    case TLogCommand::Times: return SetTimes(!times);
    case TLogCommand::SaveLog:
    case TLogCommand::SaveReceived: {
        if (job) return;
        const bool received = command == TLogCommand::SaveReceived;
        const std::string path = host.AskSavePath(received);
        if (!path.empty()) Save(path, received);
        return;
    }
    }
}

void TLogView::Select(Position a, Position c)
{
    anchor = Clamp(a), caret = Clamp(c);
    stale = true;
    host.Invalidate();
}

void TLogView::SelectAll()
{
    const std::size_t count = LineCount();
    if (count) Select({0, 0}, {count - 1, int(LineLength(count - 1))});
}

TLogView::Place TLogView::PlaceOf(Position p) const
{
    // A position at a row's end is drawn at the next row's start, but for the line's last row.
    if (LineCount() == 0) return {};
    Line(p.line, scratchText);
    Wrap(scratchText, scratchRows);
    int row = 0;
    while (std::size_t(row) + 1 < scratchRows.size() && p.offset >= scratchRows[std::size_t(row)].second) ++row;
    return {p.line, row};
}

TLogView::Position TLogView::AtX(Place place, int x) const
{
    Line(place.line, scratchText);
    Wrap(scratchText, scratchRows);
    const std::size_t k = std::min(std::size_t(place.row), scratchRows.size() - 1);
    const int from = scratchRows[k].first, to = scratchRows[k].second;
    int left = 0, i = from;
    for (; i < to; ++i) {
        const int w = widths[static_cast<unsigned char>(scratchText[std::size_t(i)])];
        if (2 * x < 2 * left + w) break;
        left += w;
    }
    // Its row's end stays in the row: the end of any but the last is the next row's start.
    if (i == to && k + 1 < scratchRows.size() && i > from) --i;
    return {place.line, i};
}

void TLogView::ShowCaret()
{
    // Brings the caret's row into sight, a row at a time past either edge.
    const Place at = PlaceOf(caret), from = Top();
    if (at < from) return ScrollTo(at);
    const Place last = Forward(from, std::uint64_t(Page() - 1));
    if (last < at) ScrollTo(Back(at, std::uint64_t(Page() - 1)));
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
    if (key == TLogKey::Copy) return Command(TLogCommand::Copy), true;
    if (key == TLogKey::SelectAll) return Command(TLogCommand::SelectAll), true;
    if (key == TLogKey::Escape) {
        if (!job && status.empty()) return false;
        if (job) Stop();
        else SetStatus(""), Changed();
        return true;
    }
    if (key == TLogKey::FindNext) {
        if (!sought.empty() && !job) Find(sought, !(modifiers & lmShift));
        return !sought.empty();
    }
    const std::size_t count = LineCount();
    if (count == 0) return false;
    const bool far = modifiers & lmControl;
    const std::uint64_t page = std::uint64_t(Page());
    Position p = caret;
    // Up and down go by rows, as drawn, keeping the caret's place across.
    auto rows = [&](bool down, std::uint64_t n) {
        const Place at = PlaceOf(caret);
        Line(at.line, scratchText);
        Wrap(scratchText, scratchRows);
        const int x = [&] {
            int w = 0;
            for (int i = scratchRows[std::size_t(at.row)].first; i < caret.offset; ++i) w += widths[static_cast<unsigned char>(scratchText[std::size_t(i)])];
            return w;
        }();
        return AtX(down ? Forward(at, n) : Back(at, n), x);
    };
    switch (key) {
    case TLogKey::Left:
        if (p.offset > 0) --p.offset;
        else if (p.line > 0) p = {p.line - 1, int(LineLength(p.line - 1))};
        break;
    case TLogKey::Right:
        if (p.offset < int(LineLength(p.line))) ++p.offset;
        else if (p.line + 1 < count) p = {p.line + 1, 0};
        break;
    case TLogKey::Up: p = rows(false, 1); break;
    case TLogKey::Down: p = rows(true, 1); break;
    case TLogKey::PageUp: p = rows(false, page); break;
    case TLogKey::PageDown: p = rows(true, page); break;
    case TLogKey::Home: p = far ? Position{0, 0} : Position{p.line, 0}; break;
    case TLogKey::End:
        if (far) p.line = count - 1;
        p.offset = int(LineLength(p.line));
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
    else if (dragY > RowsHeight()) Scroll(TLogScroll::LineDown);
    caret = At(dragX, dragY);
    stale = true;
    host.Invalidate();
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
