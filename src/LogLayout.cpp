#include "LogLayout.h"

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

TLogLayout::TLogLayout(const TLogStore &store, const TLogLines &lines) : store(store), lines(lines)
{
    std::fill(std::begin(widths), std::end(widths), 1);
    uniform = 1;
}

void TLogLayout::SetWidths(const int w[256])
{
    for (int i = 0; i < 256; ++i) widths[i] = std::max(0, w[i]);
    uniform = widths[0];
    for (int i = 1; i < 256; ++i)
        if (widths[i] != uniform) uniform = 0;
    recount = true;
}

void TLogLayout::SetRoom(int r)
{
    r = std::max(1, r);
    if (r != room) recount = true;
    room = r;
}

int TLogLayout::Width(const std::string &text, int from, int to) const
{
    int w = 0;
    for (int i = from; i < to; ++i) w += widths[static_cast<unsigned char>(text[std::size_t(i)])];
    return w;
}

int TLogLayout::Wrapped(std::size_t line) const
{
    // In a fixed-pitch font a line's length says whether it fits, with no need of its text.
    if (uniform && std::int64_t(lines.Length(line)) * uniform <= room) return 1;
    Rows(line);
    return int(scratchRows.size());
}

void TLogLayout::Rows(std::size_t line) const
{
    lines.Line(line, scratchText);
    Wrap(scratchText, scratchRows);
}

std::uint64_t TLogLayout::Estimate(std::size_t first, std::size_t end) const
{
    // Lines of printable text average their blanks' worth of room; a line
    // takes one row at least and, past the room, half a row more on average.
    std::uint64_t sum = 0;
    for (int c = 0x20; c < 0x7F; ++c) sum += std::uint64_t(widths[c]);
    const std::uint64_t space = std::uint64_t(room) * 0x5F;
    const std::uint64_t n = end - first;
    // What the lines show, not the bytes they keep: NULs and line ends take no room.
    std::uint64_t shown = 0;
    if (lines.Hex()) shown = n * 71;
    else
        for (std::size_t i = first; i < end; ++i) shown += store.LineLength(i);
    return std::max(n, shown * sum / space + n / 2);
}

void TLogLayout::Count() const
{
    if (recount || countedGeneration != store.Generation()) {
        sums.Clear(), exact.clear(), tailRows.clear(), firsts.clear();
        counted = 0, tailFirst = 0;
        countedGeneration = store.Generation();
        recount = false;
        ++epoch, ++settled;
    }
    const std::size_t count = lines.Count();
    while (counted < count) {
        // The last block takes lines while it has room; else the next starts.
        std::size_t limit = firsts.empty() ? 0 : Limit(firsts.back(), count);
        if (limit <= counted) {
            firsts.push_back(counted);
            limit = Limit(counted, count);
        }
        const std::size_t block = firsts.size() - 1, first = firsts.back(), end = std::min(count, limit);
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
                if (line + 512 < count) continue;
                // Kept for the last lines, where the end and the last page look.
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
    if (tailRows.size() > 1024) {
        const std::size_t drop = tailRows.size() - 512;
        tailRows.erase(tailRows.begin(), tailRows.begin() + std::ptrdiff_t(drop));
        tailFirst += drop;
    }
}

std::size_t TLogLayout::Limit(std::size_t first, std::size_t count) const
{
    // The first line that starts BlockBytes or more past the block's start.
    const std::size_t most = std::min(count, first + BlockLines);
    const std::uint64_t far = lines.ByteFrom({first, 0}) + BlockBytes;
    std::size_t lo = first + 1, hi = most;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (lines.ByteFrom({mid, 0}) >= far) hi = mid;
        else lo = mid + 1;
    }
    if (lo < most || most == first + BlockLines) return lo;
    return count + 1;
}

void TLogLayout::Settle(std::size_t block) const
{
    if (block >= exact.size() || exact[block]) return;
    const std::size_t first = First(block), end = EndOf(block);
    std::uint64_t rows = 0;
    for (std::size_t line = first; line < end; ++line) rows += std::uint64_t(Wrapped(line));
    sums.Add(block, rows - sums.Of(block));
    exact[block] = true;
    ++settled;
}

void TLogLayout::SettleFrom(std::size_t line) const
{
    Count();
    if (line >= counted) return;
    for (std::size_t block = BlockOf(line); block < exact.size(); ++block) Settle(block);
}

int TLogLayout::RowsOf(std::size_t line) const
{
    Count();
    return Counted(line);
}

int TLogLayout::Counted(std::size_t line) const
{
    if (line - tailFirst < tailRows.size() && line >= tailFirst) return tailRows[line - tailFirst];
    return line < lines.Count() ? Wrapped(line) : 0;
}

std::uint64_t TLogLayout::TotalRows() const
{
    Count();
    return sums.Before(sums.Size());
}

std::uint64_t TLogLayout::RowIndex(TLogPlace place) const
{
    Count();
    if (place.line >= counted) return TotalRows();
    const std::size_t block = BlockOf(place.line);
    Settle(block);
    if (beforeSettled != settled || beforeLine != place.line) {
        // From the line asked for before where that is nearer (the end, as lines stream in).
        std::size_t line = First(block);
        std::uint64_t rows = 0;
        if (beforeSettled == settled && beforeLine >= line && beforeLine < place.line) line = beforeLine, rows = beforeRows;
        else rows = sums.Before(block);
        for (; line < place.line; ++line) rows += std::uint64_t(Counted(line));
        beforeLine = place.line, beforeRows = rows, beforeSettled = settled;
    }
    return beforeRows + std::uint64_t(place.row);
}

TLogPlace TLogLayout::RowAt(std::uint64_t row) const
{
    // The block that holds the row is settled first: its estimate may have put the row elsewhere.
    Count();
    std::uint64_t within = row;
    std::size_t block = sums.Find(within);
    while (block < exact.size() && !exact[block]) {
        Settle(block);
        within = row, block = sums.Find(within);
    }
    if (block >= exact.size()) return {lines.Count(), 0};
    std::size_t line = First(block);
    for (; line + 1 < lines.Count(); ++line) {
        const std::uint64_t rows = std::uint64_t(Counted(line));
        if (within < rows) break;
        within -= rows;
    }
    return {line, int(std::min<std::uint64_t>(within, INT_MAX))};
}

TLogPlace TLogLayout::Forward(TLogPlace p, std::uint64_t n) const
{
    Count();
    const std::size_t count = lines.Count();
    while (n > 0 && p.line < count) {
        const int rows = Counted(p.line);
        if (std::uint64_t(p.row) + n < std::uint64_t(rows)) return {p.line, p.row + int(n)};
        if (p.line + 1 >= count) return {p.line, rows - 1};
        n -= std::uint64_t(rows - p.row);
        p = {p.line + 1, 0};
    }
    return p;
}

TLogPlace TLogLayout::Back(TLogPlace p, std::uint64_t n) const
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

void TLogLayout::Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const
{
    // After the last blank in the row, else wherever the row is full; a row
    // holds one character at least, however narrow the view.
    out.clear();
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

TLogPlace TLogLayout::RowOf(Position p) const
{
    // A position at a row's end is drawn at the next row's start, but for the line's last row.
    if (lines.Count() == 0) return {};
    Rows(p.line);
    int row = 0;
    while (std::size_t(row) + 1 < scratchRows.size() && p.offset >= scratchRows[std::size_t(row)].second) ++row;
    return {p.line, row};
}

TLogLayout::Position TLogLayout::AtX(TLogPlace place, int x) const
{
    Rows(place.line);
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

int TLogLayout::XOf(Position p) const
{
    if (lines.Count() == 0) return 0;
    const TLogPlace at = RowOf(p);  // leaves the line's text and rows in scratch
    return Width(scratchText, scratchRows[std::size_t(at.row)].first, p.offset);
}
