// The log's hex rows, and the work that goes through the whole log a slice
// at a time (find, save), so that the window answers meanwhile.
#include "LogView.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
// The file system's part of the Windows API only (MoveFileExA), none of a window's.
#include <process.h>
#include <windef.h>
#include <winbase.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr std::size_t SaveBuffer = std::size_t(1) << 20;

// A find looks at no more than this between looks at the clock.
constexpr std::uint64_t ChunkScan = std::uint64_t(1) << 20;

int OffsetDigits(const TLogRead &read) { return read.count > 0x10000 ? 8 : 4; }

std::string Grouped(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(std::size_t(at), ",");
    return digits;
}

// "0D 0A 00": bytes; false for anything else.
bool HexBytes(const std::string &text, std::string &bytes)
{
    bytes.clear();
    int high = -1;
    for (char c : text) {
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (c == ' ') {
            if (high >= 0) return false;
            continue;
        }
        if (v < 0) return false;
        if (high < 0) high = v;
        else bytes += char(high * 16 + v), high = -1;
    }
    return high < 0 && !bytes.empty();
}

unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

}  // namespace

struct TLogView::Job {
    bool saving = false;
    std::uint64_t generation = 0;
    // A find: matches of `needle` start in [low, high); a pass goes up or down, and a second wraps round.
    std::string needle;
    bool exact = false, forward = true, wrapped = false;
    std::uint64_t origin = 0, end = 0, at = 0, scanned = 0;
    // A save.
    std::string path, temp;
    std::FILE *file = nullptr;
    std::unique_ptr<char[]> room;  // the file's buffer, while it is open
    bool received = false;
    std::size_t next = 0, last = 0;  // the line or read to write next, and past the last
    std::uint64_t written = 0, total = 0, looked = 0;
    std::string text;
};

TLogView::TLogView(const TLogStore &store, TLogHost &host, std::string lineBreak)
    : store(store), host(host), lineBreak(std::move(lineBreak))
{
    std::fill(std::begin(widths), std::end(widths), 1);
}

TLogView::~TLogView()
{
    // The host is going too: the half-written file goes, and nothing is said.
    if (job && job->file) {
        std::fclose(job->file);
        std::remove(job->temp.c_str());
    }
}

void TLogView::HexRow(const TLogRead &read, std::size_t row, std::string &into) const
{
    static const char digits[] = "0123456789ABCDEF";
    const int width = OffsetDigits(read);
    const std::size_t first = row * 16, n = std::min<std::size_t>(16, read.count - first);
    // Made in place, then copied once: every row of a streaming read passes here.
    char text[8 + 2 + 47 + 2 + 16];
    const std::size_t hex = std::size_t(width + 2), chars = hex + 47 + 2;
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
        text[hex + 3 * i] = shown[0];
        text[hex + 3 * i + 1] = shown[1];
        text[chars + i] = shown[2];
    }
    into.assign(text, chars + n);
}

int TLogView::HexRowLength(const TLogRead &read, std::size_t row)
{
    return OffsetDigits(read) + 2 + 47 + 2 + int(std::min<std::size_t>(16, read.count - row * 16));
}

TLogView::Source TLogView::SourceOf(std::size_t line) const
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

std::size_t TLogView::LineOf(std::size_t i) const
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

TLogView::Position TLogView::PositionOfByte(std::uint64_t at, bool after) const
{
    const std::size_t k = hex ? store.ReadHolding(at) : store.Reads();
    if (k < store.Reads()) {
        const TLogRead &read = store.Read(k);
        const std::uint64_t i = at - read.at;
        const std::size_t line = std::size_t(std::int64_t(read.line + 1) + read.rowsBefore) + std::size_t(i / 16);
        return {line, OffsetDigits(read) + 2 + 3 * int(i % 16) + (after ? 2 : 0)};
    }
    const TLogPosition p = store.PositionOf(at);
    return {LineOf(p.line), p.offset + (after ? 1 : 0)};
}

std::uint64_t TLogView::ByteOf(Position p) const
{
    if (LineCount() == 0) return 0;
    p = Clamp(p);
    const Source from = SourceOf(p.line);
    if (from.read < store.Reads()) {
        const TLogRead &read = store.Read(from.read);
        const int column = std::clamp((p.offset - OffsetDigits(read) - 2) / 3, 0, 15);
        return read.at + std::min<std::uint64_t>(from.row * 16 + std::size_t(column), read.count - 1);
    }
    return store.Offset(from.line) + std::min<std::uint64_t>(std::uint64_t(p.offset), store.LineLength(from.line));
}

void TLogView::SetHex(bool on)
{
    if (on == hex || job) return;
    // The same bytes stay at the top and under the selection.
    const std::uint64_t topByte = ByteOf({TopLine(), 0}), a = ByteOf(anchor), c = ByteOf(caret);
    const bool selected = HasSelection();
    hex = on;
    top = {LineCount() ? PositionOfByte(topByte, false).line : 0, 0};
    anchor = PositionOfByte(a, false), caret = selected ? PositionOfByte(c, false) : anchor;
    host.SetFixedPitch(on);
    recount = true;
    StoreChanged();
}

void TLogView::Find(const std::string &what, bool forward)
{
    if (what.empty() || job) return;
    sought = what;
    auto work = std::make_unique<Job>();
    work->generation = store.Generation();
    work->exact = hex && HexBytes(what, work->needle);
    if (!work->exact) {
        work->needle = what;
        for (char &c : work->needle) c = char(Fold(static_cast<unsigned char>(c)));
    }
    work->forward = forward;
    work->end = store.Bytes();
    // After the selection's start going down, before it going up.
    const Position from = std::min(anchor, caret);
    work->origin = std::min(work->end, ByteOf(from) + (forward && HasSelection() ? 1 : 0));
    if (!forward && !HasSelection()) work->origin = ByteOf(caret);
    work->at = work->origin;
    job = std::move(work);
    status.clear();
    host.SetWorking(true);
}

void TLogView::Save(const std::string &path, bool receivedBytes)
{
    if (job) return;
    auto work = std::make_unique<Job>();
    work->saving = true;
    work->generation = store.Generation();
    work->path = path;
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = int(getpid());
#endif
    // Written beside it, then given its name whole.
    work->temp = path + ".quorvel-" + std::to_string(pid) + ".tmp";
    work->file = std::fopen(work->temp.c_str(), "wb");
    if (!work->file) {
        status = "Could not save " + path + ": " + std::strerror(errno) + ".";
        return Changed();
    }
    // Written a megabyte at a time: the C library's own buffer is a few KB.
    work->room.reset(new char[SaveBuffer]);
    std::setvbuf(work->file, work->room.get(), _IOFBF, SaveBuffer);
    work->received = receivedBytes;
    work->last = receivedBytes ? store.Reads() : LineCount();
    work->total = receivedBytes ? store.Received() : TextLength() + (work->last ? lineBreak.size() : 0);
    job = std::move(work);
    status.clear();
    host.SetWorking(true);
}

void TLogView::Finish(const std::string &said)
{
    if (job && job->file) {
        std::fclose(job->file);
        std::remove(job->temp.c_str());
    }
    job.reset();
    status = said;
    host.SetWorking(false);
    Changed();
}

void TLogView::Stop()
{
    if (!job) return;
    Finish(job->saving ? "Save stopped: " + job->path + " was not written." : "Find stopped.");
}

void TLogView::Work(int ms)
{
    if (!job) return;
    Job &w = *job;
    if (w.generation != store.Generation())
        return Finish(w.saving ? "The log was cleared: " + w.path + " was not written." : "The log was cleared.");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    auto late = [&] { return std::chrono::steady_clock::now() >= deadline; };
    if (w.saving) {
        auto failed = [&](int error) {
            return Finish("Could not save " + w.path + ": " + std::strerror(error) + ". Nothing was written under that name.");
        };
        while (w.next < w.last) {
            if (w.received) {
                const TLogRead &read = store.Read(w.next);
                for (std::uint64_t at = read.at, end = read.at + read.count; at < end;) {
                    const char *data;
                    const std::size_t n = store.Piece(at, std::size_t(end - at), data);
                    errno = 0;
                    if (std::fwrite(data, 1, n, w.file) != n) return failed(errno ? errno : EIO);
                    at += n, w.written += n;
                }
            } else {
                Line(w.next, w.text);
                w.text += lineBreak;
                errno = 0;
                if (std::fwrite(w.text.data(), 1, w.text.size(), w.file) != w.text.size()) return failed(errno ? errno : EIO);
                w.written += w.text.size();
            }
            ++w.next;
            // The clock is looked at every megabyte or so: a read may be 64 KB, a line a few bytes.
            if (w.written - w.looked >= (1u << 20) || (w.next & 1023) == 0) {
                w.looked = w.written;
                if (late()) break;
            }
        }
        if (w.next < w.last) {
            status = "Saving " + w.path + ": " + Grouped(w.written >> 20) + " of " + Grouped(w.total >> 20) + " MB (Escape stops)";
            return Changed();
        }
        errno = 0;
        const bool flushed = std::fflush(w.file) == 0 && !std::ferror(w.file);
        const int error = errno ? errno : EIO;
        const bool closed = std::fclose(w.file) == 0;
        w.file = nullptr;
        if (!flushed || !closed) {
            std::remove(w.temp.c_str());
            return failed(flushed ? (errno ? errno : EIO) : error);
        }
#ifdef _WIN32
        const bool named = MoveFileExA(w.temp.c_str(), w.path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
        const std::string why = "the file could not take its name (error " + std::to_string(GetLastError()) + ")";
#else
        const bool named = std::rename(w.temp.c_str(), w.path.c_str()) == 0;
        const std::string why = std::strerror(errno);
#endif
        if (!named) {
            std::remove(w.temp.c_str());
            return Finish("Could not save " + w.path + ": " + why + ". Nothing was written under that name.");
        }
        return Finish("Saved " + Grouped(w.written) + " bytes to " + w.path + ".");
    }

    // A find: the first byte's two cases are looked for quickly, then the rest compared.
    const std::size_t m = w.needle.size();
    const unsigned char lower = static_cast<unsigned char>(w.needle[0]);
    const unsigned char upper = !w.exact && lower >= 'a' && lower <= 'z' ? lower - 32 : lower;
    auto matches = [&](std::uint64_t at) {
        if (at + m > w.end) return false;
        if (w.exact) {
            // Bytes in hex are the board's: within one read.
            const std::size_t k = store.ReadHolding(at);
            if (k == store.Reads() || at + m > store.Read(k).at + store.Read(k).count) return false;
        }
        for (std::size_t j = 1; j < m; ++j) {
            const unsigned char b = store.At(at + j);
            if ((w.exact ? b : Fold(b)) != static_cast<unsigned char>(w.needle[j])) return false;
        }
        return true;
    };
    auto found = [&](std::uint64_t at) {
        const Position a = PositionOfByte(at, false), c = PositionOfByte(at + m - 1, true);
        job.reset();
        host.SetWorking(false);
        status.clear();
        anchor = Clamp(a), caret = Clamp(c);
        ShowCaret();
        stale = true;
        Changed();
    };
    while (true) {
        // This pass covers [origin, end) going down or [0, origin) going up; the wrap the rest.
        const bool down = w.forward;
        const std::uint64_t low = down ? (w.wrapped ? 0 : w.origin) : (w.wrapped ? w.origin : 0);
        const std::uint64_t high = down ? (w.wrapped ? w.origin : w.end) : (w.wrapped ? w.end : w.origin);
        if (down) {
            while (w.at < high) {
                const char *data;
                const std::size_t n = store.Piece(w.at, std::size_t(std::min<std::uint64_t>(high - w.at, ChunkScan)), data);
                for (std::size_t i = 0; i < n;) {
                    const void *a = std::memchr(data + i, lower, n - i);
                    const std::size_t ia = a ? std::size_t(static_cast<const char *>(a) - data) : n;
                    std::size_t c = ia;
                    if (upper != lower) {
                        const void *b = std::memchr(data + i, upper, ia - i);
                        if (b) c = std::size_t(static_cast<const char *>(b) - data);
                    }
                    if (c >= n) break;
                    if (matches(w.at + c)) return found(w.at + c);
                    i = c + 1;
                }
                w.at += n, w.scanned += n;
                if (late()) break;
            }
            if (w.at < high) break;
        } else {
            while (w.at > low) {
                const std::uint64_t from = std::max(low, w.at - std::min<std::uint64_t>(w.at - low, ChunkScan));
                const std::uint64_t pieceStart = std::max(from, (w.at - 1) / TLogStore::ChunkBytes * TLogStore::ChunkBytes);
                const char *data;
                const std::size_t n = store.Piece(pieceStart, std::size_t(w.at - pieceStart), data);
                for (std::size_t i = n; i-- > 0;) {
                    const unsigned char b = static_cast<unsigned char>(data[i]);
                    if ((b == lower || b == upper) && matches(pieceStart + i)) return found(pieceStart + i);
                }
                w.at = pieceStart, w.scanned += n;
                if (late()) break;
            }
            if (w.at > low) break;
        }
        if (w.wrapped) return Finish("\"" + sought + "\" is not in the log.");
        // Round the other end, to where the find began.
        w.wrapped = true;
        w.at = down ? 0 : w.end;
    }
    const std::uint64_t percent = w.end ? std::min<std::uint64_t>(99, w.scanned * 100 / w.end) : 0;
    status = "Finding \"" + sought + "\": " + std::to_string(percent) + "% (Escape stops)";
    Changed();
}
