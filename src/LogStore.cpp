#include "LogStore.h"

#include <algorithm>
#include <cstring>
#include <new>

const char *const TLogStore::FullLine = "The log could not grow: the system has no more memory for it. What came until now is kept.";

void TLogStore::StartLine() { starts.push_back(size); }

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

bool TLogStore::Append(std::string_view text)
{
    const std::uint64_t sizeBefore = size;
    const std::size_t linesBefore = starts.size();
    try {
        StartLine();
        std::size_t run = 0;  // start of the bytes not yet put
        for (std::size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (c != '\r' && c != '\n' && c != '\0') continue;
            Put(text.data() + run, i - run);
            run = i + 1;
            if (c == '\0') continue;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i, run = i + 1;
            StartLine();
        }
        Put(text.data() + run, text.size() - run);
        ++version;
        full = false;
        return true;
    } catch (const std::bad_alloc &) {
        // Back to the last whole line, then say so once, if even that fits.
        starts.resize(linesBefore);
        size = sizeBefore;
        if (!full) {
            full = true;
            try {
                StartLine();
                Put(FullLine, std::strlen(FullLine));
            } catch (const std::bad_alloc &) {
                starts.resize(linesBefore);
                size = sizeBefore;
            }
        }
        ++version;
        return false;
    }
}

void TLogStore::Stamp(std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (starts.empty()) return;
    if (stamps.empty()) wallMinusMonotonic = wallUs - monotonicUs;
    // A read's time is kept only for its own count line: the last one, once.
    if (!stamps.empty() && stamps.back().line >= starts.size() - 1) return;
    try {
        stamps.push_back({starts.size() - 1, monotonicUs});
    } catch (const std::bad_alloc &) {
        // Out of memory: the read shows no time, and the log goes on.
    }
}

bool TLogStore::Stamped(std::size_t i, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    auto at = std::lower_bound(stamps.begin(), stamps.end(), i, [](const Read &r, std::size_t line) { return r.line < line; });
    if (at == stamps.end() || at->line != i) return false;
    wallUs = at->monotonicUs + wallMinusMonotonic;
    gapUs = at == stamps.begin() ? -1 : at->monotonicUs - (at - 1)->monotonicUs;
    return true;
}

bool TLogStore::ReadAt(std::size_t k, std::size_t &line, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    if (k >= stamps.size()) return false;
    line = stamps[k].line;
    return Stamped(line, wallUs, gapUs);
}

void TLogStore::Clear()
{
    chunks.clear();
    std::vector<Read>().swap(stamps);
    std::vector<std::uint64_t>().swap(starts);
    size = 0;
    full = false;
    ++version, ++generation;
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
    std::uint64_t at = starts[i], end = End(i);
    line.reserve(std::size_t(end - at));
    while (at < end) {
        std::size_t offset = std::size_t(at % ChunkBytes);
        std::size_t take = std::size_t(std::min<std::uint64_t>(end - at, ChunkBytes - offset));
        line.append(chunks[std::size_t(at / ChunkBytes)].get() + offset, take);
        at += take;
    }
}

std::uint64_t TLogStore::Footprint() const
{
    return std::uint64_t(chunks.size()) * ChunkBytes + std::uint64_t(starts.capacity()) * sizeof(std::uint64_t) +
           std::uint64_t(stamps.capacity()) * sizeof(Read);
}
