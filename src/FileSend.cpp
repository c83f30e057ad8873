// Large files on 32-bit systems too.
#define _FILE_OFFSET_BITS 64
#include "FileSend.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string LastPart(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TFileSend::TFileSend(BYTE port, const std::string &path, const std::string &separator)
    : port(port), name(LastPart(path)), separator(separator)
{
    // A file on disk alone: a pipe or a device (a FIFO, /dev/zero, CON) could
    // hold a read, and so the window, for ever, or never end.
    const std::string notFile = "Send File: " + name + " is no file on disk (a folder, a device or a pipe), and nothing was sent.";
#if defined(_WIN32)
    file = std::fopen(path.c_str(), "rb");
    if (!file) {
        said = "Send File: " + name + " could not be opened: " + std::strerror(errno) + ".";
        return;
    }
    LARGE_INTEGER length{};
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &length)) {
        std::fclose(file), file = nullptr;
        said = notFile;
        return;
    }
    size = std::uint64_t(length.QuadPart);
#else
    // Opened without waiting (a FIFO would wait for a writer), then looked at.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        said = "Send File: " + name + " could not be opened: " + std::strerror(errno) + ".";
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 || !(file = fdopen(fd, "rb"))) {
        close(fd);
        said = notFile;
        return;
    }
    size = std::uint64_t(st.st_size);  // for the progress alone: a file that grows meanwhile is sent to its end
#endif
    block.resize(Block);
    said = "Send File: " + name + ": 0 of " + std::to_string(size) + " bytes; Escape stops.";
}

TFileSend::~TFileSend()
{
    if (file) std::fclose(file);
}

std::string TFileSend::HowMuch(bool whole) const
{
    std::string line = std::to_string(sent) + (whole ? "" : " of " + std::to_string(std::max(size, sent))) + (sent == 1 && whole ? " byte" : " bytes") + " sent";
    const long double seconds = std::chrono::duration<long double>(Clock::now() - start).count();
    if (sent == 0 || seconds <= 0) return line;
    // Both figures in the user's separator, whatever the C library's locale.
    return line + " in " + FormatSpeed(seconds, separator) + " s (" + FormatSpeed(FloatDivide(FloatDivide((long double)sent, seconds), 1024.0L), separator) + " KB/s)";
}

TFileSend::State TFileSend::End(const std::string &why, bool whole)
{
    said = "Send File: " + name + why + HowMuch(whole) + ".";
    std::fclose(file);
    file = nullptr;
    return State::Ended;
}

std::vector<std::string> TFileSend::TakeLines()
{
    if (file || told) return {};
    told = true;
    return {said};
}

std::string TFileSend::Stop()
{
    if (file) End(" stopped: ", false);
    return said;
}

TFileSend::State TFileSend::Slice(std::chrono::milliseconds budget)
{
    if (!file) return State::Ended;
    if (!PortIsOpen(port)) return End(": the port closed; ", false);
    const Clock::time_point until = Clock::now() + budget;
    ShortWrites bounded(port, WriteLimit, Block);
    do {
        if (head == tail) {
            head = 0;
            tail = std::fread(block.data(), 1, block.size(), file);
            if (tail == 0) {
                if (std::ferror(file)) return End(std::string(": reading the file failed (") + std::strerror(errno) + "); ", false);
                return End(", ", true);
            }
        }
        const DWORD n = WritePort(port, block.data() + head, DWORD(tail - head));
        const Clock::time_point now = Clock::now();
        // Sending the rest again could send some of it twice: the file ends here, said as it is.
        if (n < tail - head && PortWriteUnknown(port))
            return End(": a write timed out (error 121), and the driver does not say how much of it went; before it, ", false);
        if (n > 0) {
            head += n, sent += n;
            moved = now;
        } else if (now - moved >= Stall) {
            return End(": the board took nothing for " + SecondsText(Stall) + "; ", false);
        } else if (!PortIsOpen(port)) {
            return End(": the port closed; ", false);
        }
    } while (Clock::now() < until);
    size = std::max(size, sent);
    const int percent = size ? int(sent * 100 / size) : 100;
    said = "Send File: " + name + ": " + std::to_string(sent) + " of " + std::to_string(size) + " bytes (" + std::to_string(percent) +
           "%); Escape stops.";
    return State::Going;
}
