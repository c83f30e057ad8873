#include "LogLines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

int OffsetDigits(const TLogRead &read) { return read.count > 0x10000 ? 8 : 4; }
// Where a hex row's digits and its characters start.
int DigitsColumn(const TLogRead &read) { return OffsetDigits(read) + 2; }
int CharsColumn(const TLogRead &read) { return DigitsColumn(read) + 47 + 2; }

}  // namespace

std::size_t TLogLines::Count() const
{
    const std::size_t lines = store.LineCount(), reads = store.Reads();
    if (!hex || reads == 0) return lines;
    const TLogRead &last = store.Read(reads - 1);
    return std::size_t(std::int64_t(lines) + last.rowsBefore + std::int64_t(last.Rows()) - std::int64_t(last.end - last.line - 1));
}

void TLogLines::Line(std::size_t i, std::string &into) const
{
    const Source from = SourceOf(i);
    if (from.read < store.Reads()) return HexRow(store.Read(from.read), from.row, into);
    store.Line(from.line, into);
    std::int64_t wallUs, gapUs;
    if (times && store.Stamped(from.line, wallUs, gapUs)) into += TimesText(wallUs, gapUs);
}

int TLogLines::Length(std::size_t i) const
{
    const Source from = SourceOf(i);
    if (from.read < store.Reads()) return HexRowLength(store.Read(from.read), from.row);
    std::int64_t wallUs, gapUs;
    const std::size_t n = store.LineLength(from.line);
    return int(times && store.Stamped(from.line, wallUs, gapUs) ? n + TimesLength(gapUs) : n);
}

TLogLines::Position TLogLines::End() const
{
    const std::size_t count = Count();
    return count ? Position{count - 1, Length(count - 1)} : Position{};
}

TLogLines::Position TLogLines::Clamp(Position p) const
{
    const std::size_t count = Count();
    if (count == 0) return {};
    if (p.line >= count) return End();
    p.offset = std::clamp(p.offset, 0, Length(p.line));
    return p;
}

std::string TLogLines::Range(Position from, Position to, const std::string &lineBreak, std::size_t limit) const
{
    std::string out;
    for (std::size_t line = from.line; line <= to.line && line < Count() && out.size() < limit; ++line) {
        Line(line, scratch);
        const std::size_t a = line == from.line ? std::min(std::size_t(std::max(from.offset, 0)), scratch.size()) : 0;
        const std::size_t b = line == to.line ? std::min(std::size_t(std::max(to.offset, 0)), scratch.size()) : scratch.size();
        if (a < b) out.append(scratch, a, b - a);
        if (line != to.line) out += lineBreak;
    }
    if (out.size() > limit) out.resize(limit);
    return out;
}

std::uint64_t TLogLines::TextLength(std::size_t breakBytes) const
{
    const std::size_t count = Count();
    std::uint64_t length = count ? store.Shown() + (count - 1) * breakBytes : 0;
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

TLogLines::Source TLogLines::SourceOf(std::size_t line) const
{
    const std::size_t reads = store.Reads();
    if (!hex || reads == 0) return {line, reads, 0};
    // The last read whose rows start at this line or before: the one found last, or the next, most often.
    auto start = [&](std::size_t k) { return std::int64_t(store.Read(k).line + 1) + store.Read(k).rowsBefore; };
    std::size_t lo = 0, hi = reads;
    for (std::size_t k = lastRead; k < reads && k <= lastRead + 1; ++k)
        if (start(k) <= std::int64_t(line) && (k + 1 == reads || start(k + 1) > std::int64_t(line))) lo = hi = k + 1;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (start(mid) <= std::int64_t(line)) lo = mid + 1;
        else hi = mid;
    }
    if (lo == 0) return {line, reads, 0};
    lastRead = lo - 1;
    const TLogRead &read = store.Read(lo - 1);
    const std::int64_t row = std::int64_t(line) - start(lo - 1);
    if (row < std::int64_t(read.Rows())) return {read.line, lo - 1, std::size_t(row)};
    const std::int64_t shift = read.rowsBefore + std::int64_t(read.Rows()) - std::int64_t(read.end - read.line - 1);
    return {std::size_t(std::int64_t(line) - shift), reads, 0};
}

std::size_t TLogLines::LineOf(std::size_t i) const
{
    const std::size_t k = store.ReadBefore(i);
    if (!hex || k == store.Reads()) return i;
    const TLogRead &read = store.Read(k);
    const std::int64_t start = std::int64_t(read.line + 1) + read.rowsBefore;
    if (i < read.end) {
        const std::uint64_t row = std::min<std::uint64_t>((store.Offset(i) - read.at) / 16, read.Rows() - 1);
        return std::size_t(start + std::int64_t(row));
    }
    return std::size_t(std::int64_t(i) + read.rowsBefore + std::int64_t(read.Rows()) - std::int64_t(read.end - read.line - 1));
}

TLogLines::Position TLogLines::PlaceOf(std::uint64_t at, bool after) const
{
    const std::size_t k = hex ? store.ReadHolding(at) : store.Reads();
    // In hex, the log's end after a read's bytes is after its last row's last byte.
    if (hex && k == store.Reads() && at > 0 && at == store.Bytes() && store.ReadHolding(at - 1) < store.Reads()) return PlaceOf(at - 1, true);
    if (k < store.Reads()) {
        const TLogRead &read = store.Read(k);
        const std::uint64_t i = at - read.at;
        const std::size_t line = std::size_t(std::int64_t(read.line + 1) + read.rowsBefore) + std::size_t(i / 16);
        return {line, DigitsColumn(read) + 3 * int(i % 16) + (after ? 2 : 0)};
    }
    TLogPosition p = store.PositionOf(at);
    if (after) {
        // After a byte: before the next character of its line (a NUL shows none); after a
        // line's last character its end; after any byte of its line end the next line's start.
        const std::uint64_t end = store.TextEnd(p.line);
        if (at >= end) p = {p.line + 1, 0};
        else if (at + 1 < end) p = store.PositionOf(at + 1);
        else p.offset = int(store.LineLength(p.line));
    }
    return {LineOf(p.line), p.offset};
}

std::uint64_t TLogLines::ByteFrom(Position p) const { return Shown(EndAt(p)); }

std::uint64_t TLogLines::EndAt(Position p) const
{
    if (Count() == 0) return 0;
    p = Clamp(p);
    const Source from = SourceOf(p.line);
    if (from.read >= store.Reads()) return store.ByteOf({from.line, p.offset});
    // In a hex row: before the byte whose digits or character start at or after the place.
    const TLogRead &read = store.Read(from.read);
    const int digits = DigitsColumn(read), chars = CharsColumn(read);
    const int column = p.offset >= chars ? p.offset - chars : p.offset <= digits ? 0 : (p.offset - digits + 2) / 3;
    return read.at + std::min<std::uint64_t>(from.row * 16 + std::size_t(std::min(column, 16)), read.count);
}

std::uint64_t TLogLines::Shown(std::uint64_t at) const
{
    // A line with no line end of its own (a count line, a read cut short) ends where the next
    // begins. NULs at a line's start show nowhere (in hex, outside a read's rows): the end is
    // before the next character that shows, as the next line's start is.
    while (at < store.Bytes() && store.At(at) == 0 && !(hex && store.ReadHolding(at) < store.Reads())) {
        const TLogPosition p = store.PositionOf(at);
        const std::uint64_t next = store.ByteOf({p.line, 0});
        if (store.Offset(p.line) != at || next == at) break;
        at = next;
    }
    return at;
}

std::uint64_t TLogLines::ByteUnder(Position p) const
{
    if (Count() == 0) return 0;
    p = Clamp(p);
    const Source from = SourceOf(p.line);
    if (from.read >= store.Reads()) return ByteFrom(p);
    // The byte whose digits or whose character the place is at.
    const TLogRead &read = store.Read(from.read);
    const int chars = CharsColumn(read);
    const int column = p.offset >= chars ? std::min(p.offset - chars, 15) : std::clamp((p.offset - DigitsColumn(read)) / 3, 0, 15);
    return read.at + std::min<std::uint64_t>(from.row * 16 + std::size_t(column), read.count - 1);
}

void TLogLines::HexRow(const TLogRead &read, std::size_t row, std::string &into) const
{
    static const char digits[] = "0123456789ABCDEF";
    const int width = OffsetDigits(read);
    const std::size_t first = row * 16, n = std::min<std::size_t>(16, read.count - first);
    // Made in place, then copied once: every row of a streaming read passes here.
    char text[8 + 2 + 47 + 2 + 16];
    const std::size_t hexAt = std::size_t(DigitsColumn(read)), chars = std::size_t(CharsColumn(read));
    std::memset(text, ' ', chars);
    for (int d = 0; d < width; ++d) text[d] = digits[(first >> (4 * (width - 1 - d))) & 15];
    // Each byte's two digits and its character, from a table made once.
    static const struct Table {
        char shown[256][3];
        Table()
        {
            for (int b = 0; b < 256; ++b)
                shown[b][0] = digits[b >> 4], shown[b][1] = digits[b & 15], shown[b][2] = b >= 0x20 && b < 0x7F ? char(b) : '.';
        }
    } table;
    unsigned char bytes[16];
    for (std::size_t i = 0; i < n;) {
        const char *data;
        const std::size_t take = store.Piece(read.at + first + i, n - i, data);
        std::memcpy(bytes + i, data, take);
        i += take;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const char *shown = table.shown[bytes[i]];
        text[hexAt + 3 * i] = shown[0];
        text[hexAt + 3 * i + 1] = shown[1];
        text[chars + i] = shown[2];
    }
    into.assign(text, chars + n);
}

int TLogLines::HexRowLength(const TLogRead &read, std::size_t row)
{
    return CharsColumn(read) + int(std::min<std::size_t>(16, read.count - row * 16));
}

std::size_t TLogLines::TimesLength(std::int64_t gapUs)
{
    // As TimesText writes them, without formatting the time of day.
    std::size_t n = 15;  // "   hh:mm:ss.mmm"
    if (gapUs < 0) return n;
    n += 10;  // "  +s.mmm s", the seconds' first digit among them
    for (std::int64_t seconds = (gapUs + 500) / 1000 / 1000; seconds >= 10; seconds /= 10) ++n;
    return n;
}

std::string TLogLines::TimesText(std::int64_t wallUs, std::int64_t gapUs)
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
