// What goes through the whole log a slice at a time, so that the window
// answers meanwhile: a find, or a save of the log as shown (or of the board's
// bytes alone, exactly). The view starts one, gives it slices, and shows the
// line it says.
#ifndef QUORVEL_LOGWORK_H
#define QUORVEL_LOGWORK_H

#include <cstdint>
#include <memory>
#include <string>

#include "LogFind.h"
#include "LogLines.h"
#include "LogSave.h"

class TLogWork {
public:
    // A find of `what` (hexBytes: the bytes "0D 0A 00" names), from `origin`,
    // a byte of the store; it writes the needle as `shown`.
    TLogWork(const TLogStore &store, const std::string &what, bool hexBytes, bool forward, std::uint64_t origin, const std::string &shown);
    // A save to `path`: Failed() when the file could not be made.
    TLogWork(const TLogStore &store, const TLogLines &lines, const std::string &path, bool receivedBytes, const std::string &lineBreak);

    // "0D 0A 00" as bytes; false for anything else.
    static bool HexBytes(const std::string &text, std::string &bytes);

    enum class State { Going, Ended, Found };
    // Goes on for about `ms` milliseconds. Going: Said() is its progress;
    // Ended: Said() is how it ended; Found: the match is First()..Last().
    State Slice(int ms);
    const std::string &Said() const { return said; }
    std::uint64_t First() const { return search->First(); }
    std::uint64_t Last() const { return search->Last(); }
    bool Failed() const { return !search && !file.IsOpen(); }
    // What is said when the user stops it (a save leaves no file).
    std::string Stopped() const;

private:
    State Saving(int ms);
    State Failing();

    const TLogStore &store;
    const TLogLines *lines = nullptr;
    const std::uint64_t generation;
    std::string said;
    std::unique_ptr<TLogSearch> search;  // a find
    std::string shown;
    // A save.
    std::string path, lineBreak, text;
    TLogFile file;
    bool received = false;
    std::size_t next = 0, last = 0;  // the line or read to write next, and past the last
    std::uint64_t written = 0, total = 0, looked = 0;
};

#endif
