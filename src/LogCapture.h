// A capture to file, with no toolkit: every byte received from its start is
// added to a file exactly as it came (the bytes "Save Received Bytes As..."
// gives for that span), and optionally, beside it, the log as text with each
// read's time as Times shows it. Writes are gathered and go out half a second
// after the first byte not yet written (at the form's next tick), so a crash
// loses less than a second, and what is on disk is always a prefix of what
// came. A size limit starts the next file.
#ifndef QUORVEL_LOGCAPTURE_H
#define QUORVEL_LOGCAPTURE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "LogSave.h"

struct TCaptureOptions {
    std::string path;         // the first file; the next ones NAME-0002.EXT, NAME-0003.EXT...
    bool text = false;        // beside each file, the log as text with the reads' times: its name and ".txt"
    std::uint64_t limit = 0;  // the most bytes a file holds; 0: no limit
};

class TLogCapture {
public:
    TLogCapture() = default;
    TLogCapture(const TLogCapture &) = delete;
    TLogCapture &operator=(const TLogCapture &) = delete;
    ~TLogCapture() { Stop(); }

    // Opens the first file, added to (append) or emptied first; false, with
    // Said(), when it cannot be opened. A capture already running stops first.
    bool Start(const TCaptureOptions &options, bool append);
    // A read's bytes, made at `monotonicUs` on a clock that never runs
    // backwards, `wallUs` the wall clock then (as the log takes them).
    void Add(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs);
    // The board went away (away) or is back: the text file says where, and when.
    void Gap(bool away, std::int64_t monotonicUs, std::int64_t wallUs);
    // What was gathered goes out once FlushUs has passed since the last write (the form's timer).
    void Flush(std::int64_t monotonicUs);
    // Everything out and the files closed; the line that says what went where ("": none ran).
    std::string Stop();

    bool Running() const { return running; }
    // The line a failed start or write left (the capture has stopped), taken once.
    std::string TakeSaid();
    // "Capture: NAME, N bytes": the file written now and its size.
    std::string Status() const;
    const std::string &File() const { return file; }
    std::uint64_t Bytes() const { return bytes; }  // captured since the start
    // The file the part'th (from 1) is: NAME.bin, NAME-0002.bin, ...
    static std::string PartName(const std::string &path, unsigned part);
    static std::string TextName(const std::string &path) { return path + ".txt"; }

    static constexpr std::int64_t FlushUs = 500000;
    static constexpr std::size_t Gathered = std::size_t(1) << 20;  // more than this goes out at once

private:
    bool Open(bool empty);
    bool NextPart();
    bool WriteOut();
    void Fail(const std::string &why);

    TCaptureOptions options;
    bool running = false, replace = false;
    unsigned part = 1;
    std::string file;  // the part written now
    TAppendFile bin, text;
    std::string binGathered, textGathered;
    std::uint64_t bytes = 0;
    std::int64_t oldest = -1;  // when the first byte not yet written came
    // The reads' times as the log shows them: tied to the wall clock at the first read.
    bool tied = false;
    std::int64_t wallMinusMonotonic = 0, lastRead = -1, awayAt = -1;
    std::string said;
};

#endif
