// The log's hex rows, and the work that goes through the whole log a slice
// at a time (find, save), so that the window answers meanwhile.
#include "LogView.h"

#include "LogFind.h"
#include "LogSave.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

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

}  // namespace

struct TLogView::Job {
    bool saving = false;
    std::uint64_t generation = 0;
    std::unique_ptr<TLogSearch> search;  // a find
    std::chrono::steady_clock::time_point drawn;  // when its progress was last drawn
    // A save.
    std::string path;
    TLogFile file;
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
    // The host is going too: the half-written file goes (with the job), and nothing is said.
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
    // In hex, the log's end after a read's bytes is after its last row's last byte.
    if (hex && k == store.Reads() && at > 0 && at == store.Bytes() && store.ReadHolding(at - 1) < store.Reads())
        return PositionOfByte(at - 1, true);
    if (k < store.Reads()) {
        const TLogRead &read = store.Read(k);
        const std::uint64_t i = at - read.at;
        const std::size_t line = std::size_t(std::int64_t(read.line + 1) + read.rowsBefore) + std::size_t(i / 16);
        return {line, OffsetDigits(read) + 2 + 3 * int(i % 16) + (after ? 2 : 0)};
    }
    TLogPosition p = store.PositionOf(at);
    if (after) {
        // After a byte: before the next character of its line (a NUL shows none); after a
        // line's last character its end, after its line end the next line's start.
        if (at + 1 < store.Offset(p.line + 1)) p = store.PositionOf(at + 1);
        else if (at < store.TextEnd(p.line)) p.offset = int(store.LineLength(p.line));
        else p = {p.line + 1, 0};
    }
    return {LineOf(p.line), p.offset};
}

std::uint64_t TLogView::EndByteOf(Position p) const
{
    if (LineCount() == 0) return 0;
    p = Clamp(p);
    const Source from = SourceOf(p.line);
    if (from.read >= store.Reads()) return store.ByteOf({from.line, p.offset});
    // In a hex row: before the byte whose digits or character start at or after the place.
    const TLogRead &read = store.Read(from.read);
    const int digits = OffsetDigits(read) + 2, chars = digits + 47 + 2;
    const int column = p.offset >= chars ? p.offset - chars : p.offset <= digits ? 0 : (p.offset - digits + 2) / 3;
    return read.at + std::min<std::uint64_t>(from.row * 16 + std::size_t(std::min(column, 16)), read.count);
}

std::uint64_t TLogView::ByteOf(Position p) const
{
    if (LineCount() == 0) return 0;
    p = Clamp(p);
    const Source from = SourceOf(p.line);
    if (from.read < store.Reads()) {
        const TLogRead &read = store.Read(from.read);
        // The byte whose digits or whose character the place is at.
        const int chars = OffsetDigits(read) + 2 + 47 + 2;
        const int column = p.offset >= chars ? std::min(p.offset - chars, 15) : std::clamp((p.offset - OffsetDigits(read) - 2) / 3, 0, 15);
        return read.at + std::min<std::uint64_t>(from.row * 16 + std::size_t(column), read.count - 1);
    }
    return store.ByteOf({from.line, p.offset});
}

void TLogView::SetHex(bool on)
{
    if (on == hex || job) return;
    // The same bytes stay at the top and under the selection: the bytes from
    // its start to its end, whichever way it was made; a caret stays after the
    // byte it followed (at a line's end, not the next line's start).
    const std::uint64_t topByte = ByteOf({TopLine(), 0});
    const bool selected = HasSelection(), backwards = caret < anchor;
    const Position from = std::min(anchor, caret), to = std::max(anchor, caret);
    const std::uint64_t first = EndByteOf(from), end = std::max(first, EndByteOf(to));
    const bool following = !selected && first > EndByteOf({caret.line, 0});
    hex = on;
    top = {LineCount() ? PositionOfByte(topByte, false).line : 0, 0};
    Position a = following ? PositionOfByte(first - 1, true) : PositionOfByte(first, false);
    Position c = selected && end > first ? PositionOfByte(end - 1, true) : a;
    if (backwards) std::swap(a, c);
    anchor = a, caret = c;
    host.SetFixedPitch(on);
    recount = true;
    StoreChanged();
}

void TLogView::Say(const std::string &line)
{
    SetStatus(line);
    Changed();
}

void TLogView::Find(const std::string &what, bool forward, const std::string &shown)
{
    if (what.empty() || job) return;
    if (what != sought || !shown.empty()) soughtShown = shown.empty() ? what : shown;
    sought = what;
    auto work = std::make_unique<Job>();
    work->generation = store.Generation();
    std::string bytes;
    const bool exact = hex && HexBytes(what, bytes);
    // After the selection's first byte going down, before it going up; from a
    // caret, what starts at or after it going down, before it going up.
    const std::uint64_t origin = HasSelection() ? ByteOf(std::min(anchor, caret)) + (forward ? 1 : 0) : EndByteOf(caret);
    work->search = std::make_unique<TLogSearch>(store, exact ? bytes : what, exact, forward, origin);
    job = std::move(work);
    SetStatus("");
    host.SetWorking(true);
}

void TLogView::Save(const std::string &path, bool receivedBytes)
{
    if (job) return;
    auto work = std::make_unique<Job>();
    work->saving = true;
    work->generation = store.Generation();
    work->path = path;
    // Written in its folder under a name of its own, then given its name whole.
    if (!work->file.Open(path)) {
        SetStatus("Could not save " + path + ": " + work->file.Why() + ".");
        return Changed();
    }
    work->received = receivedBytes;
    work->last = receivedBytes ? store.Reads() : LineCount();
    work->total = receivedBytes ? store.Received() : TextLength() + (work->last ? lineBreak.size() : 0);
    job = std::move(work);
    SetStatus("");
    host.SetWorking(true);
}

void TLogView::Finish(const std::string &said)
{
    job.reset();  // a file not yet named goes with it
    SetStatus(said);
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
        auto failed = [&] { return Finish("Could not save " + w.path + ": " + w.file.Why() + ". Nothing was written under that name."); };
        while (w.next < w.last) {
            if (w.received) {
                const TLogRead &read = store.Read(w.next);
                for (std::uint64_t at = read.at, end = read.at + read.count; at < end;) {
                    const char *data;
                    const std::size_t n = store.Piece(at, std::size_t(end - at), data);
                    if (!w.file.Write(data, n)) return failed();
                    at += n, w.written += n;
                }
            } else {
                Line(w.next, w.text);
                w.text += lineBreak;
                if (!w.file.Write(w.text.data(), w.text.size())) return failed();
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
            SetStatus("Saving " + w.path + ": " + Grouped(w.written >> 20) + " of " + Grouped(w.total >> 20) + " MB (Escape stops)");
            return Changed();
        }
        if (!w.file.Commit()) return failed();
        return Finish("Saved " + Grouped(w.written) + " bytes to " + w.path + ".");
    }

    // A find: a megabyte or so between looks at the clock.
    TLogSearch &search = *w.search;
    bool done;
    while (!(done = search.Step(ChunkScan)) && !late()) {
    }
    if (done && !search.Found()) return Finish("\"" + soughtShown + "\" is not in the log.");
    if (done) {
        const Position a = PositionOfByte(search.First(), false), c = PositionOfByte(search.Last(), true);
        job.reset();
        host.SetWorking(false);
        SetStatus("");
        anchor = Clamp(a), caret = Clamp(c);
        ShowCaret();
        stale = true;
        return Changed();
    }
    const std::uint64_t size = store.Bytes();
    const std::uint64_t percent = size ? std::min<std::uint64_t>(99, search.Looked() * 100 / size) : 0;
    // Only the line changes: drawn again ten times a second, enough for a figure that moves
    // (a line that just came lays the rows out anew).
    const bool shown = !status.empty();
    SetStatus("Finding \"" + soughtShown + "\": " + std::to_string(percent) + "% (Escape stops)");
    const auto now = std::chrono::steady_clock::now();
    if (!shown) Changed(), w.drawn = now;
    else if (now - w.drawn >= std::chrono::milliseconds(100)) host.Invalidate(), w.drawn = now;
}
