// A file the log is saved to, with no toolkit: written beside the name the
// user chose under a name of its own that nobody can guess or plant a link
// at, then given that name whole. A name that is a link is saved through:
// the file it points to gets the bytes and keeps its permissions (on
// Windows ReplaceFileA keeps its attributes and security).
#ifndef QUORVEL_LOGSAVE_H
#define QUORVEL_LOGSAVE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class TLogFile {
public:
    TLogFile() = default;
    TLogFile(const TLogFile &) = delete;
    TLogFile &operator=(const TLogFile &) = delete;
    ~TLogFile() { Abandon(); }

    // Makes the file beside `path`; false, with why(), when it cannot be made.
    bool Open(const std::string &path);
    // False, with why(), when the bytes could not be written.
    bool Write(const char *data, std::size_t n);
    // Gives the file its name; false, with Why(), when it could not take it (then it is gone).
    bool Commit();
    // The file goes, and nothing takes the name.
    void Abandon();
    bool IsOpen() const { return file != nullptr; }
    // Why the last step failed, as a line ends it: "No space left on device".
    const std::string &Why() const { return why; }

private:
    std::string target;  // the file the name designates (through a link)
    std::string temp;
    std::FILE *file = nullptr;
    std::unique_ptr<char[]> room;  // the file's buffer, while it is open
    std::string why;
};

// A file kept open to add to its end as bytes come (a capture): found as a
// save finds it, through a link to what it points to, then opened without
// following a link planted at that name meanwhile; made when it is not there.
// Offsets are 64-bit on every platform.
class TAppendFile {
public:
    TAppendFile() = default;
    TAppendFile(const TAppendFile &) = delete;
    TAppendFile &operator=(const TAppendFile &) = delete;
    ~TAppendFile() { Close(); }

    // `empty`: what the file holds goes first. False, with Why(), when it cannot be opened.
    bool Open(const std::string &path, bool empty);
    // Every byte at the end, or false with Why() (what went before the failure stays).
    bool Write(const char *data, std::size_t n);
    // The file has no name left (removed while open): what is written would go nowhere.
    bool Removed() const;
    void Close();
    bool IsOpen() const;
    // What it held when opened, and what was written since.
    std::uint64_t Size() const { return size; }
    const std::string &Why() const { return why; }

private:
#ifdef _WIN32
    void *handle = nullptr;
#else
    int fd = -1;
#endif
    std::uint64_t size = 0;
    std::string why;
};

#endif
