#include "LogStore.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

const char *const TLogStore::FullLine = "The log could not grow: the system has no more memory for it. What came until now is kept.";
const char *const TLogStore::DiskFullLine = "The log could not grow: the disk it is kept on has no more room for it";

namespace {
// How many bytes from `data` on are above CR (none of them can end a line
// or be a NUL): eight at a time, as the common text has none.
std::size_t Plain(const char *data, std::size_t n)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, data + i, 8);
        if ((x - ones * 0x0E) & ~x & highs) break;  // a byte below 0x0E among them
    }
    while (i < n && static_cast<unsigned char>(data[i]) > '\r') ++i;
    return i;
}

std::int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

TLogStore::TLogStore(std::size_t blockBytes, std::size_t cachedBlocks)
{
    bytes.Shape(blockBytes, cachedBlocks);
    // Small pages for the small records: an idle log holds little.
    const std::size_t records = std::clamp<std::size_t>(blockBytes, 1024, 16384);
    segmentPages.Shape(records, 8);
    readPages.Shape(records, 16);
    blocks.push_back(Block{0, 0, 0, 0});
}

TLogStore::~TLogStore()
{
    bytes.Close(), segmentPages.Close(), readPages.Close();
    if (!folder.empty()) TLogFolder::Remove(folder);
}

bool TLogStore::KeepOnDisk(const std::string &base, std::string &why)
{
    if (size != 0 || bytes.OnDisk()) return bytes.OnDisk();
    if (!TLogFolder::Make(base, folder, why)) {
        folder.clear();
        return false;
    }
#ifdef _WIN32
    const std::string slash = "\\";
#else
    const std::string slash = "/";
#endif
    if (!bytes.OnDisk(folder + slash + "bytes", why)) {
        TLogFolder::Remove(folder);
        folder.clear();
        return false;
    }
    bytes.Floor = ~std::uint64_t(0);
    // Where these two cannot be made, they stay in memory: they are small beside the bytes.
    std::string also;
    segmentPages.OnDisk(folder + slash + "segments", also);
    readPages.OnDisk(folder + slash + "reads", also);
    return true;
}

void TLogStore::SetFloor(std::uint64_t floor)
{
    bytes.Floor = floor;
    lastRoomCheckUs = 0;  // a full disk is asked again at the next addition
}

void TLogStore::Flush() { bytes.Flush(), segmentPages.Flush(), readPages.Flush(); }

void TLogStore::Put(const char *data, std::size_t n)
{
    const std::size_t block = bytes.PageBytes();
    while (n > 0) {
        const std::size_t take = std::min<std::uint64_t>(n, block - (size & (block - 1)));
        bytes.Append(data, take);
        nuls += std::uint64_t(std::count(data, data + take, '\0'));
        size += take, data += take, n -= take;
        if ((size & (block - 1)) == 0) blocks.push_back(Block{0, 0, 0, nuls});
    }
}

void TLogStore::StartLine(std::uint64_t at)
{
    // Every block since the last line started, up to this one's, starts with it.
    const std::size_t last = std::size_t(at / bytes.PageBytes());
    for (; pending <= last; ++pending) blocks[pending] = Block{lines, at, segments - 1, blocks[pending].nulsBefore};
    ++lines;
}

void TLogStore::Add(const char *data, std::size_t n)
{
    const std::uint64_t base = size;
    segmentPages.Append(&base, sizeof base);
    ++segments;
    Put(data, n);
    std::size_t from = 0, lineNuls = 0;
    auto finish = [&](std::size_t to) { shown += to - from - lineNuls; };
    StartLine(base);
    for (std::size_t i = 0; i < n; ++i) {
        i += Plain(data + i, n - i);
        if (i == n) break;
        const char c = data[i];
        if (c == '\0') {
            ++lineNuls;
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
        finish(i);
        i = last;
        from = i + 1, lineNuls = 0;
        StartLine(base + from);
    }
    finish(n);
}

void TLogStore::Back(const Mark &m)
{
    bytes.Truncate(m.size), segmentPages.Truncate(m.segments * sizeof(std::uint64_t)), readPages.Truncate(m.reads * ReadBytes);
    size = m.size, shown = m.shown, lines = m.lines, segments = m.segments, readCount = m.reads, nuls = m.nuls;
    blocks.resize(m.blocks);
    readMarks.resize(std::size_t((m.reads + ReadMark - 1) / ReadMark));
    pending = m.pending;
    ++rewrites;
}

void TLogStore::SayFull(const Mark &m, bool disk, const std::string &why)
{
    // Back to the last whole line, then say so once, if even that fits.
    Back(m);
    if (disk) diskFull = true, lastRoomCheckUs = NowUs();
    if (!full) {
        full = true;
        const std::string line =
            disk ? std::string(DiskFullLine) + " (" + why + "). What came until now is kept; more is, once the disk has room or the log is cleared." : FullLine;
        // The line goes in under the floor: the addition that failed may have needed less room than it.
        const std::uint64_t floor = bytes.Floor;
        bytes.Floor = 0;
        try {
            Add(line.data(), line.size());
        } catch (const std::exception &) {
            Back(m);
        }
        bytes.Floor = floor;
    }
    ++version;
}

bool TLogStore::Refused()
{
    // A full disk is asked again once a second, not at every read.
    if (!diskFull) return false;
    const std::int64_t now = NowUs();
    if (now - lastRoomCheckUs < 1000000) return true;
    lastRoomCheckUs = now;
    std::uint64_t free = 0, floor = 0;
    if (bytes.Room(free, floor) && free >= floor + 4 * std::uint64_t(bytes.PageBytes())) diskFull = false;
    return diskFull;
}

bool TLogStore::Append(std::string_view text)
{
    if (Refused()) return false;
    const Mark mark = Here();
    try {
        Add(text.data(), text.size());
    } catch (const TLogPages::DiskFull &e) {
        SayFull(mark, true, e.what());
        return false;
    } catch (const std::bad_alloc &) {
        SayFull(mark, false, "");
        return false;
    }
    ++version;
    full = false;
    return true;
}

bool TLogStore::AppendRead(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (count == 0) return true;
    if (Refused()) return false;
    const Mark mark = Here();
    try {
        const std::string line = "# BytesReceived: " + std::to_string(count);
        Add(line.data(), line.size());
        TLogRead read;
        std::memset(&read, 0, sizeof read);  // its padding goes to the file too
        read.line = std::size_t(lines - 1);
        read.at = size;
        const std::uint64_t shownBefore = shown;
        Add(reinterpret_cast<const char *>(data), count);
        read.end = std::size_t(lines), read.count = std::uint32_t(count), read.monotonicUs = monotonicUs, read.shown = shown - shownBefore;
        if (readCount > 0) {
            const TLogRead last = Read(std::size_t(readCount - 1));
            read.rowsBefore = last.rowsBefore + std::int64_t(last.Rows()) - std::int64_t(last.end - last.line - 1);
        } else {
            wallMinusMonotonic = wallUs - monotonicUs;
        }
        if (readCount % ReadMark == 0) readMarks.push_back({read.line, read.at});
        char record[ReadBytes] = {};
        std::memcpy(record, &read, sizeof read);
        readPages.Append(record, ReadBytes);
        ++readCount;
        received += count;
    } catch (const TLogPages::DiskFull &e) {
        SayFull(mark, true, e.what());
        return false;
    } catch (const std::bad_alloc &) {
        SayFull(mark, false, "");
        return false;
    }
    // What is gathered goes out at least once a second, not at every read.
    if (monotonicUs - lastFlushUs >= 1000000) Flush(), lastFlushUs = monotonicUs;
    ++version;
    full = false;
    return true;
}

TLogRead TLogStore::Read(std::size_t k) const
{
    TLogRead read;
    // A record never crosses a page: its slot is a power of two, as pages are.
    std::size_t left;
    std::memcpy(&read, readPages.At(std::uint64_t(k) * ReadBytes, left), sizeof read);
    return read;
}

namespace {
// The first k in [0, n) for which `after(k)` holds, where it holds from some k on.
template <class F> std::size_t FirstWhere(std::size_t n, F after)
{
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (after(mid)) hi = mid;
        else lo = mid + 1;
    }
    return lo;
}
}  // namespace

std::size_t TLogStore::FirstRead(bool byLine, std::uint64_t key) const
{
    auto after = [&](std::uint64_t line, std::uint64_t at) { return byLine ? line >= key : at > key; };
    // Among the marks first, then among the reads between two of them.
    const std::size_t j = FirstWhere(readMarks.size(), [&](std::size_t m) { return after(readMarks[m].first, readMarks[m].second); });
    const std::size_t from = j == 0 ? 0 : (j - 1) * ReadMark + 1, to = j < readMarks.size() ? j * ReadMark : Reads();
    return from + FirstWhere(to - from, [&](std::size_t m) {
               const TLogRead read = Read(from + m);
               return after(read.line, read.at);
           });
}

bool TLogStore::Stamped(std::size_t i, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    const std::size_t n = Reads();
    // Lines are mostly asked for in order: the read found last, or the next, first.
    std::size_t k = lastStamped;
    if (!(k < n && Read(k).line == i) && !(++k < n && Read(k).line == i)) k = FirstRead(true, i);
    if (k == n) return false;
    const TLogRead read = Read(k);
    if (read.line != i) return false;
    lastStamped = k;
    wallUs = read.monotonicUs + wallMinusMonotonic;
    gapUs = k == 0 ? -1 : read.monotonicUs - Read(k - 1).monotonicUs;
    return true;
}

bool TLogStore::ReadAt(std::size_t k, std::size_t &line, std::int64_t &wallUs, std::int64_t &gapUs) const
{
    if (k >= Reads()) return false;
    line = Read(k).line;
    return Stamped(line, wallUs, gapUs);
}

std::size_t TLogStore::ReadBefore(std::size_t i) const
{
    const std::size_t k = FirstRead(true, i);
    return k == 0 ? Reads() : k - 1;
}

std::size_t TLogStore::ReadHolding(std::uint64_t at) const
{
    const std::size_t after = FirstRead(false, at);
    if (after == 0) return Reads();
    const TLogRead read = Read(after - 1);
    return at < read.at + read.count ? after - 1 : Reads();
}

void TLogStore::Clear()
{
    bytes.Clear(), segmentPages.Clear(), readPages.Clear();
    std::vector<Block>(1, Block{0, 0, 0, 0}).swap(blocks);
    std::vector<std::pair<std::uint64_t, std::uint64_t>>().swap(readMarks);
    for (Cached &c : cached) c.block = ~std::size_t(0), std::vector<LineAt>().swap(c.lines);
    ++rewrites;
    pending = 0;
    size = shown = received = lines = segments = readCount = nuls = 0;
    full = diskFull = false;
    ++version, ++generation;
}

std::uint64_t TLogStore::SegmentStart(std::uint64_t k) const
{
    std::uint64_t at;
    std::size_t left;
    std::memcpy(&at, segmentPages.At(k * sizeof at, left), sizeof at);
    return at;
}

std::uint64_t TLogStore::NulsBefore(std::uint64_t at) const
{
    const std::size_t block = bytes.PageBytes();
    std::uint64_t from = at & ~std::uint64_t(block - 1), count = blocks[std::size_t(from / block)].nulsBefore;
    while (from < at) {
        const char *data;
        const std::size_t n = Piece(from, std::size_t(at - from), data);
        count += std::uint64_t(std::count(data, data + n, '\0'));
        from += n;
    }
    return count;
}

void TLogStore::Walk(std::size_t b, Cached &c) const
{
    // The block's lines, as Add made them: from the first line that starts in
    // it (or where the walk stopped), up to the next block's first.
    if (!c.resumable || c.rewrites != rewrites) {
        c.lines.clear();
        c.at = b < pending ? blocks[b].firstStart : 0, c.segment = b < pending ? blocks[b].firstSegment : 0;
    }
    c.resumable = false, c.rewrites = rewrites;
    std::vector<LineAt> &into = c.lines;
    if (b >= pending) return;
    const Block &k = blocks[b];
    const std::uint64_t want = (b + 1 < pending ? blocks[b + 1].firstLine : lines) - k.firstLine;
    const std::uint64_t blockEnd = std::uint64_t(b + 1) * bytes.PageBytes();
    std::uint64_t at = c.at, seg = c.segment, segEnd = SegmentEnd(seg), lineStart = at, lineNuls = 0;
    while (into.size() < want) {
        if (at == segEnd) {
            into.push_back({lineStart, at, at - lineStart - lineNuls});
            lineStart = at, lineNuls = 0;
            if (++seg >= segments) break;
            segEnd = SegmentEnd(seg);
            continue;
        }
        if (at >= blockEnd) {
            // The block's last line goes on past it: it ends where the next line starts.
            std::uint64_t textEnd = segEnd;
            if (b + 1 < pending && blocks[b + 1].firstSegment == seg) {
                const std::uint64_t next = blocks[b + 1].firstStart, lf = next - 1;
                textEnd = lf;
                if (At(lf) == '\n') {
                    std::uint64_t q = lf;
                    while (q > lineStart && At(q - 1) == 0) --q;
                    if (q > lineStart && At(q - 1) == '\r') textEnd = q - 1;
                }
            }
            // Its NULs: those counted so far, and those after, where it ends (often close by).
            std::uint64_t after = 0;
            if (textEnd - at <= 2 * bytes.PageBytes())
                for (std::uint64_t from = at; from < textEnd;) {
                    const char *data;
                    const std::size_t n = Piece(from, std::size_t(textEnd - from), data);
                    after += std::uint64_t(std::count(data, data + n, '\0')), from += n;
                }
            else
                after = NulsBefore(textEnd) - NulsBefore(at);
            into.push_back({lineStart, textEnd, textEnd - lineStart - lineNuls - after});
            return;
        }
        const char *data;
        const std::size_t n = Piece(at, std::size_t(std::min(segEnd, blockEnd) - at), data);
        const std::size_t i = Plain(data, n);
        at += i;
        if (i == n) continue;
        const char ch = data[i];
        ++at;
        if (ch == '\0') ++lineNuls;
        if (ch != '\r' && ch != '\n') continue;
        std::uint64_t last = at - 1;
        if (ch == '\r') {
            std::uint64_t j = at;
            while (j < segEnd && At(j) == 0) ++j;
            if (j < segEnd && At(j) == '\n') last = j;
        }
        into.push_back({lineStart, at - 1, at - 1 - lineStart - lineNuls});
        at = last + 1, lineStart = at, lineNuls = 0;
    }
    // Stopped at a line's start: lines added later go on from here.
    c.resumable = at == lineStart && lineNuls == 0, c.at = at, c.segment = seg;
}

const std::vector<TLogStore::LineAt> &TLogStore::LinesOf(std::size_t b) const
{
    // Settled once a later block has a line; until then, while nothing was added.
    auto fresh = [&](const Cached &c) { return c.block == b && c.rewrites == rewrites && (c.version == ~std::uint64_t(0) || c.version == version); };
    if (fresh(cached[lastCached])) return cached[lastCached].lines;
    Cached *oldest = &cached[0];
    for (Cached &c : cached) {
        if (fresh(c)) {
            c.used = ++uses, lastCached = std::size_t(&c - cached.data());
            return c.lines;
        }
        if (c.block == b || (oldest->block != b && c.used < oldest->used)) oldest = &c;
    }
    if (oldest->block != b) oldest->resumable = false;
    Walk(b, *oldest);
    oldest->block = b, oldest->version = b + 1 < pending ? ~std::uint64_t(0) : version, oldest->used = ++uses;
    lastCached = std::size_t(oldest - cached.data());
    return oldest->lines;
}

const TLogStore::LineAt &TLogStore::Find(std::uint64_t i) const
{
    static const LineAt none{0, 0, 0};
    // The last block whose first line is i or before: the line starts in it.
    const Cached &last = cached[lastCached];
    std::size_t b = last.block;
    if (!(b < pending && blocks[b].firstLine <= i && (b + 1 >= pending || blocks[b + 1].firstLine > i)))
        b = FirstWhere(pending, [&](std::size_t m) { return blocks[m].firstLine > i; }) - 1;
    if (b >= pending) return none;
    const std::vector<LineAt> &list = LinesOf(b);
    const std::uint64_t k = i - blocks[b].firstLine;
    return k < list.size() ? list[std::size_t(k)] : none;
}

std::size_t TLogStore::LineLength(std::size_t i) const { return std::size_t(Find(i).characters); }

std::uint64_t TLogStore::TextEnd(std::size_t i) const { return Find(i).textEnd; }

std::string TLogStore::Line(std::size_t i) const
{
    std::string line;
    Line(i, line);
    return line;
}

void TLogStore::Line(std::size_t i, std::string &line) const
{
    line.clear();
    if (i >= lines) return;
    const LineAt l = Find(i);
    std::uint64_t at = l.start;
    line.reserve(std::size_t(l.textEnd - at));
    while (at < l.textEnd) {
        const char *data;
        const std::size_t take = Piece(at, std::size_t(std::min<std::uint64_t>(l.textEnd - at, bytes.PageBytes())), data);
        line.append(data, take);
        at += take;
    }
    if (l.characters != l.textEnd - l.start) line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
}

TLogPosition TLogStore::PositionOf(std::uint64_t at) const
{
    if (lines == 0) return {};
    at = std::min(at, size);
    // The last line that starts at `at` or before.
    const std::size_t b = std::size_t(at / bytes.PageBytes());
    std::uint64_t i = lines - 1;
    if (b < pending) {
        const std::vector<LineAt> &list = LinesOf(b);
        const std::size_t k = std::size_t(std::upper_bound(list.begin(), list.end(), at, [](std::uint64_t a, const LineAt &l) { return a < l.start; }) - list.begin());
        i = blocks[b].firstLine + k - 1;
    }
    const LineAt l = Find(i);
    const std::uint64_t end = std::min(at, l.textEnd);
    std::uint64_t offset = end - l.start;
    if (l.characters != l.textEnd - l.start) offset -= NulsBefore(end) - NulsBefore(l.start);
    return {std::size_t(i), int(offset)};
}

std::uint64_t TLogStore::ByteOf(TLogPosition p) const
{
    if (p.line >= lines) return size;
    const LineAt l = Find(p.line);
    std::uint64_t at = l.start;
    if (l.characters == l.textEnd - l.start) return std::min(at + std::uint64_t(std::max(p.offset, 0)), l.textEnd);
    for (int n = std::max(p.offset, 0); at < l.textEnd; ++at)
        if (At(at) != 0 && n-- == 0) break;
    return at;
}

std::size_t TLogStore::Piece(std::uint64_t at, std::size_t n, const char *&data) const
{
    std::size_t left;
    data = bytes.At(at, left);
    return std::min(n, left);
}

std::uint64_t TLogStore::Footprint() const
{
    std::uint64_t held = bytes.Held() + segmentPages.Held() + readPages.Held() + std::uint64_t(blocks.capacity()) * sizeof(Block);
    for (const Cached &c : cached) held += std::uint64_t(c.lines.capacity()) * sizeof(LineAt);
    return held;
}
