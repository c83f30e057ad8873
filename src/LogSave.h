// A file the log is saved to, with no toolkit: written beside the name the
// user chose under a name of its own that nobody can guess or plant a link
// at, then given that name whole. A name that is a link is saved through:
// the file it points to gets the bytes and keeps its permissions (on
// Windows ReplaceFileA keeps its attributes and security).
#ifndef QUORVEL_LOGSAVE_H
#define QUORVEL_LOGSAVE_H

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

#endif
