#include "LogWork.h"

#include <algorithm>
#include <chrono>

namespace {

// A find looks at no more than this between looks at the clock.
constexpr std::uint64_t ChunkScan = std::uint64_t(1) << 20;

std::string Grouped(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    for (int at = int(digits.size()) - 3; at > 0; at -= 3) digits.insert(std::size_t(at), ",");
    return digits;
}

}  // namespace

bool TLogWork::HexBytes(const std::string &text, std::string &bytes)
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

TLogWork::TLogWork(const TLogStore &store, const std::string &what, bool hexBytes, bool forward, std::uint64_t origin, const std::string &shown)
    : store(store), generation(store.Generation()), search(std::make_unique<TLogSearch>(store, what, hexBytes, forward, origin)), shown(shown)
{
}

TLogWork::TLogWork(const TLogStore &store, const TLogLines &lines, const std::string &path, bool receivedBytes, const std::string &lineBreak)
    : store(store), lines(&lines), generation(store.Generation()), path(path), lineBreak(lineBreak), received(receivedBytes)
{
    // Written in its folder under a name of its own, then given its name whole.
    if (!file.Open(path)) {
        said = "Could not save " + path + ": " + file.Why() + ".";
        return;
    }
    last = receivedBytes ? store.Reads() : lines.Count();
    total = receivedBytes ? store.Received() : lines.TextLength(lineBreak.size()) + (last ? lineBreak.size() : 0);
}

std::string TLogWork::Stopped() const { return search ? "Find stopped." : "Save stopped: " + path + " was not written."; }

TLogWork::State TLogWork::Failing()
{
    said = "Could not save " + path + ": " + file.Why() + ". Nothing was written under that name.";
    file.Abandon();
    return State::Ended;
}

TLogWork::State TLogWork::Slice(int ms)
{
    if (generation != store.Generation()) {
        said = search ? "The log was cleared." : "The log was cleared: " + path + " was not written.";
        if (!search) file.Abandon();
        return State::Ended;
    }
    if (!search) return Saving(ms);
    // A megabyte or so between looks at the clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    bool done;
    while (!(done = search->Step(ChunkScan)) && std::chrono::steady_clock::now() < deadline) {
    }
    if (done && search->Found()) return State::Found;
    if (done) {
        said = "\"" + shown + "\" is not in the log.";
        return State::Ended;
    }
    const std::uint64_t size = store.Bytes();
    const std::uint64_t percent = size ? std::min<std::uint64_t>(99, search->Looked() * 100 / size) : 0;
    said = "Finding \"" + shown + "\": " + std::to_string(percent) + "% (Escape stops)";
    return State::Going;
}

TLogWork::State TLogWork::Saving(int ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (next < last) {
        if (received) {
            const TLogRead &read = store.Read(next);
            for (std::uint64_t at = read.at, end = read.at + read.count; at < end;) {
                const char *data;
                const std::size_t n = store.Piece(at, std::size_t(end - at), data);
                if (!file.Write(data, n)) return Failing();
                at += n, written += n;
            }
        } else {
            lines->Line(next, text);
            text += lineBreak;
            if (!file.Write(text.data(), text.size())) return Failing();
            written += text.size();
        }
        ++next;
        // The clock is looked at every megabyte or so: a read may be 64 KB, a line a few bytes.
        if (written - looked >= (1u << 20) || (next & 1023) == 0) {
            looked = written;
            if (std::chrono::steady_clock::now() >= deadline) break;
        }
    }
    if (next < last) {
        said = "Saving " + path + ": " + Grouped(written >> 20) + " of " + Grouped(total >> 20) + " MB (Escape stops)";
        return State::Going;
    }
    if (!file.Commit()) return Failing();
    said = "Saved " + Grouped(written) + " bytes to " + path + ".";
    return State::Ended;
}
