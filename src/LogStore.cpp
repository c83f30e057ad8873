#include "LogStore.h"

#include <algorithm>
#include <cstring>
#include <new>

const char *const TLogStore::FullLine = "The log could not grow: the system has no more memory for it. What came until now is kept.";

namespace {
// A line's end: 0 none (the last of what was added), 1 CR or LF, 2 CR LF,
// 3 CR, NULs and LF; HasNul: its characters are counted apart.
constexpr std::uint8_t CrNulsLf = 3, HasNul = 4;
}

std::uint64_t TLogStore::TextEnd(std::size_t i) const
{
    const std::uint64_t end = End(i);
    if ((ends[i] & 3) != CrNulsLf) return end - (ends[i] & 3);
    std::uint64_t at = end - 1;  // the LF, after the NULs, after the CR
    while (At(at - 1) == 0) --at;
    return at - 1;
}

void TLogStore::Put(const char *data, std::size_t n)
{
    while (n > 0) {
        std::size_t at = std::size_t(size % ChunkBytes);
        if (at == 0 && size / ChunkBytes == chunks.size()) {
            if (size + ChunkBytes > Limit) throw std::bad_alloc();
            chunks.push_back(std::unique_ptr<char[]>(new char[ChunkBytes]));
        }
        std::size_t take = std::min(n, ChunkBytes - at);
        std::memcpy(chunks[std::size_t(size / ChunkBytes)].get() + at, data, take);
        size += take, data += take, n -= take;
    }
}

void TLogStore::Add(const char *data, std::size_t n)
{
    const std::uint64_t base = size;
    Put(data, n);
    // Room for the lines first, so that indexing them cannot fail half way.
    std::size_t from = 0, nuls = 0;
    auto start = [&](std::uint64_t at) {
        starts.push_back(at);
        ends.push_back(0);
    };
    auto finish = [&](std::size_t to, std::uint8_t end) {
        const std::uint64_t characters = to - from - nuls;
        const bool counted = nuls || end == CrNulsLf;  // its length is not its bytes less its line end
        ends.back() = std::uint8_t(end | (counted ? HasNul : 0));
        if (counted) nulLines.push_back({starts.size() - 1, characters});
        shown += characters;
    };
    start(base);
    for (std::size_t i = 0; i < n; ++i) {
        const char c = data[i];
        if (static_cast<unsigned char>(c) > '\r') continue;
        if (c == '\0') {
            ++nuls;
            continue;
        }
        if (c != '\r' && c != '\n') continue;
        // CR LF ends one line, NULs between them or not: the text leaves NULs out first.
        std::size_t last = i;
        if (c == '\r') {
            std::size_t j = i + 1;
            while (j < n && data[j] == '\0') ++j;
            if (j < n && data[j] == '\n') last = j;
        }
        finish(i, last == i ? 1 : last == i + 1 ? 2 : CrNulsLf);
        i = last;
        from = i + 1, nuls = 0;
        start(base + from);
    }
    finish(n, 0);
}

void TLogStore::Back(const Mark &m)
{
    size = m.size, shown = m.shown;
    starts.resize(m.lines), ends.resize(m.lines), nulLines.resize(m.nulLines);
    // Chunks past the end are given back, and a later Put makes them again.
    chunks.resize(std::size_t((size + ChunkBytes - 1) / ChunkBytes));
}

void TLogStore::SayFull(const Mark &m)
{
    // Back to the last whole line, then say so once, if even that fits.
    Back(m);
    if (!full) {
        full = true;
        try {
            Add(FullLine, std::strlen(FullLine));
        } catch (const std::bad_alloc &) {
            Back(m);
        }
    }
    ++version;
}

bool TLogStore::Append(std::string_view text)
{
    const Mark mark = Here();
    try {
        Add(text.data(), text.size());
    } catch (const std::bad_alloc &) {
        SayFull(mark);
        return false;
    }
    ++version;
    full = false;
    return true;
}

bool TLogStore::AppendRead(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (count == 0) return true;
    const Mark mark = Here();
    try {
        if (reads.size() == reads.capacity()) reads.reserve(reads.size() * 2 + 64);
        const std::string line = "# BytesReceived: " + std::to_string(count);
        Add(line.data(), line.size());
        const std::size_t countLine = starts.size() - 1;
        const std::uint64_t at = size;
        const std::uint64_t shownBefore = shown;
        Add(reinterpret_cast<const char *>(data), count);
        TLogRead read{countLine, starts.size(), at, std::uint32_t(count), monotonicUs, shown - shownBefore, 0};
        if (!reads.empty()) {
            const TLogRead &last = reads.back();
            read.rowsBefore = last.rowsBefore + std::int64_t(last.Rows()) - std::int64_t(last.end - last.line - 1);
        } else {
            wallMinusMonotonic = wallUs - monotonicUs;
        }
        reads.push_back(read);
        received += count;
    } catch (const std::bad_alloc &) {
        SayFull(mark);
        return false;
    }
    ++version;
    full = false;
    return true;
}

bool TLogStore::Stamped(std::size_t i, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    auto at = std::lower_bound(reads.begin(), reads.end(), i, [](const TLogRead &r, std::size_t line) { return r.line < line; });
    if (at == reads.end() || at->line != i) return false;
    wallUs = at->monotonicUs + wallMinusMonotonic;
    gapUs = at == reads.begin() ? -1 : at->monotonicUs - (at - 1)->monotonicUs;
    return true;
}

bool TLogStore::ReadAt(std::size_t k, std::size_t &line, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    if (k >= reads.size()) return false;
    line = reads[k].line;
    return Stamped(line, wallUs, gapUs);
}

std::size_t TLogStore::ReadBefore(std::size_t i) const
{
    auto at = std::lower_bound(reads.begin(), reads.end(), i, [](const TLogRead &r, std::size_t line) { return r.line < line; });
    return at == reads.begin() ? reads.size() : std::size_t(at - reads.begin()) - 1;
}

std::size_t TLogStore::ReadHolding(std::uint64_t at) const
{
    auto after = std::upper_bound(reads.begin(), reads.end(), at, [](std::uint64_t a, const TLogRead &r) { return a < r.at; });
    if (after == reads.begin()) return reads.size();
    const TLogRead &read = *(after - 1);
    return at < read.at + read.count ? std::size_t(after - reads.begin()) - 1 : reads.size();
}

void TLogStore::Clear()
{
    chunks.clear();
    std::vector<TLogRead>().swap(reads);
    std::vector<std::uint64_t>().swap(starts);
    std::vector<std::uint8_t>().swap(ends);
    std::vector<std::pair<std::size_t, std::uint64_t>>().swap(nulLines);
    size = 0, shown = 0, received = 0;
    full = false;
    ++version, ++generation;
}

std::size_t TLogStore::LineLength(std::size_t i) const
{
    const std::uint8_t end = ends[i];
    if (!(end & HasNul)) return std::size_t(End(i) - starts[i] - end);
    auto at = std::lower_bound(nulLines.begin(), nulLines.end(), i, [](const std::pair<std::size_t, std::uint64_t> &l, std::size_t line) { return l.first < line; });
    return std::size_t(at->second);
}

std::string TLogStore::Line(std::size_t i) const
{
    std::string line;
    Line(i, line);
    return line;
}

void TLogStore::Line(std::size_t i, std::string &line) const
{
    line.clear();
    if (i >= starts.size()) return;
    std::uint64_t at = starts[i];
    const std::uint64_t end = TextEnd(i);
    line.reserve(std::size_t(end - at));
    while (at < end) {
        const char *data;
        const std::size_t take = Piece(at, std::size_t(std::min<std::uint64_t>(end - at, ChunkBytes)), data);
        line.append(data, take);
        at += take;
    }
    if (ends[i] & HasNul) line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
}

TLogPosition TLogStore::PositionOf(std::uint64_t at) const
{
    if (starts.empty()) return {};
    const std::size_t i = std::size_t(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
    const std::uint64_t end = TextEnd(i);
    std::uint64_t offset = std::min(at, end) - starts[i];
    if (ends[i] & HasNul)
        for (std::uint64_t b = starts[i]; b < at && b < end; ++b) offset -= At(b) == 0;
    return {i, int(offset)};
}

std::uint64_t TLogStore::ByteOf(TLogPosition p) const
{
    if (p.line >= starts.size()) return size;
    const std::uint64_t end = TextEnd(p.line);
    std::uint64_t at = starts[p.line];
    if (!(ends[p.line] & HasNul)) return std::min(at + std::uint64_t(std::max(p.offset, 0)), end);
    for (int n = std::max(p.offset, 0); at < end; ++at)
        if (At(at) != 0 && n-- == 0) break;
    return at;
}

std::size_t TLogStore::Piece(std::uint64_t at, std::size_t n, const char *&data) const
{
    const std::size_t offset = std::size_t(at % ChunkBytes);
    data = chunks[std::size_t(at / ChunkBytes)].get() + offset;
    return std::min(n, ChunkBytes - offset);
}

std::uint64_t TLogStore::Footprint() const
{
    return std::uint64_t(chunks.size()) * ChunkBytes + std::uint64_t(starts.capacity()) * sizeof(std::uint64_t) +
           std::uint64_t(ends.capacity()) + std::uint64_t(nulLines.capacity()) * sizeof(nulLines[0]) +
           std::uint64_t(reads.capacity()) * sizeof(TLogRead);
}
