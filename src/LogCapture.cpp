#include "LogCapture.h"

#include <algorithm>
#include <cstdio>

#include "LogLines.h"

namespace {

#ifdef _WIN32
const char *const Break = "\r\n";
const char *const Separators = "/\\";
#else
const char *const Break = "\n";
const char *const Separators = "/";
#endif

std::string BaseName(const std::string &path)
{
    const std::size_t slash = path.find_last_of(Separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string TLogCapture::PartName(const std::string &path, unsigned part)
{
    if (part <= 1) return path;
    // The number goes before the extension; a name's leading dot starts none.
    const std::size_t slash = path.find_last_of(Separators), start = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) dot = path.size();
    char number[16];
    std::snprintf(number, sizeof number, "-%04u", part);
    return path.substr(0, dot) + number + path.substr(dot);
}

bool TLogCapture::Start(const TCaptureOptions &o, bool append)
{
    Stop();
    said.clear();
    options = o;
    replace = !append;
    part = 1;
    bytes = 0;
    tied = false;
    lastRead = awayAt = oldest = -1;
    running = true;
    if (!Open(replace)) return false;
    return !options.limit || bin.Size() < options.limit || NextPart();
}

bool TLogCapture::Open(bool empty)
{
    file = PartName(options.path, part);
    const bool opened = bin.Open(file, empty) && (!options.text || text.Open(TextName(file), empty));
    if (!opened) {
        const std::string why = bin.IsOpen() ? TextName(file) + ": " + text.Why() : bin.Why();
        // A start that fails leaves no line of its own: it is said as one that did not start.
        if (part == 1 && bytes == 0) {
            bin.Close(), text.Close();
            running = false;
            said = "Capture to " + options.path + " did not start: " + why + ".";
        } else {
            Fail("the next file could not be opened: " + why);
        }
    }
    return opened;
}

bool TLogCapture::NextPart()
{
    if (!WriteOut()) return false;
    // Added to a series that is there: past its files that are full.
    do {
        bin.Close(), text.Close();
        ++part;
        if (!Open(replace)) return false;
    } while (options.limit && bin.Size() >= options.limit);
    return true;
}

void TLogCapture::Add(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (!running || count == 0) return;
    if (!tied) tied = true, wallMinusMonotonic = wallUs - monotonicUs;
    // A read starts in a file with room for its first byte, and its text goes beside that file.
    if (options.limit && bin.Size() + binGathered.size() >= options.limit && !NextPart()) return;
    if (options.text) {
        // As the log shows it with Times on: the count line and its times, then the bytes'
        // lines, NULs left out, CR, LF and CR LF (NULs between them or not) each ending one.
        textGathered += "# BytesReceived: " + std::to_string(count) +
                        TLogLines::TimesText(monotonicUs + wallMinusMonotonic, lastRead >= 0 ? monotonicUs - lastRead : -1) + Break;
        for (std::size_t i = 0; i < count; ++i) {
            const char c = char(data[i]);
            if (c == '\0') continue;
            if (c != '\r' && c != '\n') {
                textGathered += c;
                continue;
            }
            std::size_t j = i + 1;
            while (c == '\r' && j < count && data[j] == 0) ++j;
            if (c == '\r' && j < count && data[j] == '\n') i = j;
            textGathered += Break;
        }
        textGathered += Break;
    }
    lastRead = monotonicUs;
    while (count > 0) {
        std::size_t take = count;
        if (options.limit) take = std::size_t(std::min<std::uint64_t>(count, options.limit - (bin.Size() + binGathered.size())));
        binGathered.append(reinterpret_cast<const char *>(data), take);
        data += take, count -= take, bytes += take;
        if (count > 0 && !NextPart()) return;
    }
    if (oldest < 0) oldest = monotonicUs;
    // The 1 ms poll writes nothing each tick: a megabyte, or half a second's worth, at a time.
    if (binGathered.size() + textGathered.size() >= Gathered || monotonicUs - oldest >= FlushUs) WriteOut();
}

void TLogCapture::Gap(bool away, std::int64_t monotonicUs, std::int64_t wallUs)
{
    if (!running) return;
    if (!tied) tied = true, wallMinusMonotonic = wallUs - monotonicUs;
    const std::int64_t wall = monotonicUs + wallMinusMonotonic;
    if (away && options.text) {
        textGathered += "# Gap: the board went away after byte " + std::to_string(bin.Size() + binGathered.size()) + " of " + BaseName(file) +
                        TLogLines::TimesText(wall, lastRead >= 0 ? monotonicUs - lastRead : -1) + Break;
    } else if (options.text) {
        textGathered += "# Gap: the board is back" + TLogLines::TimesText(wall, awayAt >= 0 ? monotonicUs - awayAt : -1) + Break;
    }
    awayAt = away ? monotonicUs : -1;
    WriteOut();
}

void TLogCapture::Flush(std::int64_t monotonicUs)
{
    if (running && oldest >= 0 && monotonicUs - oldest >= FlushUs) WriteOut();
}

bool TLogCapture::WriteOut()
{
    if (!running) return false;
    // Removed while open, its bytes would go nowhere.
    if (bin.Removed() || (options.text && text.Removed())) return Fail("the file was removed"), false;
    if (!bin.Write(binGathered.data(), binGathered.size())) return Fail("the write failed (" + bin.Why() + ")"), false;
    if (options.text && !text.Write(textGathered.data(), textGathered.size()))
        return Fail("the write to " + TextName(file) + " failed (" + text.Why() + ")"), false;
    binGathered.clear(), textGathered.clear();
    oldest = -1;
    return true;
}

void TLogCapture::Fail(const std::string &why)
{
    said = "Capture to " + file + " stopped: " + why + ". What came before is in the file; the log goes on.";
    bin.Close(), text.Close();
    binGathered.clear(), textGathered.clear();
    running = false;
}

std::string TLogCapture::Stop()
{
    if (!running) return TakeSaid();
    if (!WriteOut()) return TakeSaid();
    bin.Close(), text.Close();
    running = false;
    const std::string first = PartName(options.path, 1);
    return "Capture stopped: " + std::to_string(bytes) + " bytes went to " + (part == 1 ? file : std::to_string(part) + " files, " + first + " to " + file) + ".";
}

std::string TLogCapture::TakeSaid()
{
    std::string line;
    line.swap(said);
    return line;
}

std::string TLogCapture::Status() const
{
    return "Capture: " + file + ", " + std::to_string(bin.Size() + binGathered.size()) + " bytes";
}
