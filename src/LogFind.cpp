#include "LogFind.h"

#include <algorithm>
#include <cstring>

namespace {
unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
}

TLogSearch::TLogSearch(const TLogStore &store, const std::string &what, bool bytes, bool forward, std::uint64_t origin)
    : store(store), needle(what), bytes(bytes), forward(forward), origin(origin)
{
    if (!bytes)
        for (char &c : needle) c = char(Fold(static_cast<unsigned char>(c)));
    // Going up, the needle is matched last byte first.
    if (!forward) std::reverse(needle.begin(), needle.end());
    // The automaton: from each state (the needle's bytes matched), where each byte leads.
    // A NUL in text is no character: it leads nowhere.
    const std::size_t m = needle.size();
    // Each entry is the next state times 256, where its row starts: one add and one load a byte.
    next.assign((m + 1) * 256, 0);
    for (std::size_t state = 0, back = 0; state <= m; ++state) {
        for (int b = 0; b < 256; ++b) {
            const unsigned char k = Key(static_cast<unsigned char>(b));
            std::uint32_t &to = next[state * 256 + std::size_t(b)];
            if (!bytes && b == 0) to = std::uint32_t(state * 256);
            else if (state < m && k == static_cast<unsigned char>(needle[state])) to = std::uint32_t((state + 1) * 256);
            else to = state == 0 ? 0 : next[back + std::size_t(b)];
        }
        // Where a mismatch after this state falls back to: the row the needle's own bytes 1..state lead to.
        if (state > 0 && state < m) back = next[back + static_cast<unsigned char>(needle[state])];
    }
    end = store.Bytes();
    Begin();
}

unsigned char TLogSearch::Key(unsigned char b) const { return bytes ? b : Fold(b); }

void TLogSearch::Begin()
{
    // Down: [origin, end), then [0, origin). Up: [0, origin), then [origin, end).
    const bool early = (pass == 0) != forward;
    low = early ? 0 : std::min(origin, end);
    high = early ? std::min(origin, end) : end;
    state = beyond = 0;
    inSegment = false;
    at = forward ? low : high;
    if (forward || high == 0) return;
    // Going up, a match may begin before `high` and end after it: the scan starts that far on.
    if (!bytes) {
        at = std::min(store.TextEnd(store.PositionOf(high - 1).line), end);
    } else if (Segment(high, false) && at > from) {
        at = Walk(at - 1, needle.size() - 1, true) + 1;
        inSegment = false;
    }
}

// The segment (a line's text, or a read's bytes) that holds the stream's next
// byte from `where` on in the scan's direction, or none.
bool TLogSearch::Segment(std::uint64_t where, bool down)
{
    if (bytes) {
        const std::size_t reads = store.Reads();
        // The first read that ends after `where` (down), or the last that starts before it (up).
        std::size_t lo = 0, hi = reads;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            const TLogRead &r = store.Read(mid);
            if (down ? r.at + r.count <= where : r.at < where) lo = mid + 1;
            else hi = mid;
        }
        std::size_t k = down ? lo : lo - 1;
        if (down ? k >= reads : lo == 0) return false;
        const TLogRead &r = store.Read(k);
        segment = k, from = r.at, to = std::min(r.at + r.count, end);
        if (from >= to) return false;
        at = down ? std::max(where, from) : std::min(where, to);
        return true;
    }
    if (store.LineCount() == 0) return false;
    if (down) {
        if (where >= end) return false;
        std::size_t i = store.PositionOf(where).line;
        if (where >= store.TextEnd(i)) {
            if (++i >= store.LineCount() || store.Offset(i) >= end) return false;
            where = store.Offset(i);
        }
        segment = i, from = store.Offset(i), to = std::min(store.TextEnd(i), end);
        at = std::max(where, from);
        return true;
    }
    if (where == 0) return false;
    const std::size_t i = store.PositionOf(where - 1).line;
    segment = i, from = store.Offset(i), to = std::min(store.TextEnd(i), end);
    at = std::min(where, to);
    return true;
}

std::uint64_t TLogSearch::Walk(std::uint64_t where, std::size_t n, bool down) const
{
    if (!bytes) {
        // Within one line: NULs are not shown, so they are stepped over.
        while (n > 0) {
            where += down ? 1 : -1;
            if (store.At(where) != 0) --n;
        }
        return where;
    }
    std::size_t k = store.ReadHolding(where);
    while (n > 0) {
        const TLogRead &r = store.Read(k);
        const std::uint64_t room = down ? std::min(r.at + r.count, end) - 1 - where : where - r.at;
        if (room >= n) return down ? where + n : where - n;
        // Not past the log's end, nor before its start.
        if (down ? k + 1 >= store.Reads() || store.Read(k + 1).at >= end : k == 0) return down ? where + room : where - room;
        n -= std::size_t(room) + 1;
        k += down ? 1 : -1;
        where = down ? store.Read(k).at : store.Read(k).at + store.Read(k).count - 1;
    }
    return where;
}

bool TLogSearch::Step(std::uint64_t budget)
{
    if (needle.empty()) return true;
    while (true) {
        const Pass result = Scan(budget);
        if (result == Pass::Found) return true;
        if (result == Pass::Paused) return false;
        // This pass is through: round the other end, once.
        if (++pass == 2) return true;
        Begin();
    }
}

TLogSearch::Pass TLogSearch::Scan(std::uint64_t &budget)
{
    const std::uint32_t *step = next.data();
    const unsigned char *pattern = reinterpret_cast<const unsigned char *>(needle.data());
    const std::size_t m = needle.size();
    const unsigned char head = pattern[0];
    const unsigned char other = !bytes && head >= 'a' && head <= 'z' ? head - 32 : head;
    // One byte fed to the automaton; Through once what is open began past the pass's edge.
    auto feed = [&](unsigned char b, bool past) {
        if (past) ++beyond;
        state = step[state * 256 + b] >> 8;
    };
    // Text: the line that holds a byte the quick look found, from the one before it on.
    auto lineOf = [&](std::uint64_t where) {
        if (forward)
            while (segment + 1 < store.LineCount() && store.Offset(segment + 1) <= where) ++segment;
        else
            while (segment > 0 && store.Offset(segment) > where) --segment;
        from = store.Offset(segment), to = std::min(store.TextEnd(segment), end);
        return where >= from && where < to;
    };
    while (true) {
        if (!inSegment) {
            if (!Segment(at, forward)) return Pass::Through;
            inSegment = true;
            if (!bytes) state = 0;  // a text match lies within one line
        }
        if (budget == 0) return Pass::Paused;
        if (forward) {
            if (state == 0) {
                // Nothing open: on to the next byte that can begin a match, this side of the
                // pass's edge; text is looked through across its lines.
                if (at >= high) return Pass::Through;
                const std::uint64_t limit = bytes ? std::min(to, high) : high;
                if (at >= limit) {
                    inSegment = false;
                    continue;
                }
                const char *data;
                const std::size_t n = store.Piece(at, std::size_t(std::min<std::uint64_t>(limit - at, budget)), data);
                const void *a = std::memchr(data, head, n);
                std::size_t c = a ? std::size_t(static_cast<const char *>(a) - data) : n;
                if (other != head) {
                    const void *b = std::memchr(data, other, c);
                    if (b) c = std::size_t(static_cast<const char *>(b) - data);
                }
                looked += c, budget -= std::min<std::uint64_t>(budget, c);
                at += c;
                if (c == n) continue;
                if (!bytes && !(at >= from && at < to) && !lineOf(at)) {
                    ++at, ++looked;  // a line end's byte
                    continue;
                }
            }
            if (at >= to) {
                inSegment = false;
                continue;
            }
            // Something open: fed a byte at a time from the piece, back to the quick look once nothing is.
            const char *data;
            const std::size_t n = store.Piece(at, std::size_t(to - at), data);
            const std::uint64_t edge = high > at ? high - at : 0;  // from here on a byte is past the edge
            // Up to the edge in a tight loop (every byte there may begin a match); past it, counting.
            const std::size_t inside = std::size_t(std::min<std::uint64_t>(n, edge));
            const bool text = !bytes;
            const std::uint32_t matched = std::uint32_t(m * 256);
            std::uint32_t row = std::uint32_t(state * 256);
            std::size_t i = 0;
            while (i < inside) {
                const unsigned char b = static_cast<unsigned char>(data[i++]);
                if (text && b == 0) continue;  // not shown
                row = step[row + b];
                if (row == matched || row == 0) break;
            }
            state = row >> 8;
            if (state == m) {
                at += i, looked += i, budget -= std::min<std::uint64_t>(budget, i);
                last = at - 1, first = Walk(last, m - 1, false);
                found = true;
                return Pass::Found;
            }
            while (state != 0 && i < n) {
                const unsigned char b = static_cast<unsigned char>(data[i++]);
                if (text && b == 0) continue;
                feed(b, true);
                if (state == m && beyond < m) {
                    at += i, looked += i, budget -= std::min<std::uint64_t>(budget, i);
                    last = at - 1, first = Walk(last, m - 1, false);
                    found = true;
                    return Pass::Found;
                }
                if (state <= beyond) return Pass::Through;  // what is open began past the edge
            }
            at += i, looked += i, budget -= std::min<std::uint64_t>(budget, i);
        } else {
            if (state == 0) {
                if (at <= low) return Pass::Through;
                const std::uint64_t limit = bytes ? std::max(from, low) : low;
                if (at <= limit) {
                    inSegment = false;
                    continue;
                }
                const std::uint64_t start = std::max({limit, (at - 1) / store.PieceBytes() * store.PieceBytes(),
                                                      at - std::min<std::uint64_t>(at, budget)});
                const char *data;
                const std::size_t n = store.Piece(start, std::size_t(at - start), data);
                std::size_t i = n;
                while (i > 0 && static_cast<unsigned char>(data[i - 1]) != head && static_cast<unsigned char>(data[i - 1]) != other) --i;
                looked += n - i, budget -= std::min<std::uint64_t>(budget, n - i);
                at = start + i;
                if (i == 0) continue;
                if (!bytes && !(at - 1 >= from && at - 1 < to) && !lineOf(at - 1)) {
                    --at, ++looked;
                    continue;
                }
            }
            if (at <= from) {
                inSegment = false;
                continue;
            }
            const std::uint64_t start = std::max(from, (at - 1) / store.PieceBytes() * store.PieceBytes());
            const char *data;
            const std::size_t n = store.Piece(start, std::size_t(at - start), data);
            std::size_t j = n;
            while (j > 0) {
                const unsigned char b = static_cast<unsigned char>(data[--j]);
                if (!bytes && b == 0) continue;
                feed(b, start + j < low);
                // One that began at or past the selection is passed over: the automaton goes on below it.
                if (state == m) {
                    if (start + j < high && beyond < m) {
                        at = start + j, looked += n - j, budget -= std::min<std::uint64_t>(budget, n - j);
                        first = at, last = Walk(first, m - 1, true);
                        found = true;
                        return Pass::Found;
                    }
                }
                if (beyond > 0 && state <= beyond) return Pass::Through;
                if (state == 0) break;
            }
            at = start + j, looked += n - j, budget -= std::min<std::uint64_t>(budget, n - j);
        }
    }
}
