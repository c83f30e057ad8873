// A file sent to the board from its start to its end, a slice at a time
// between the window's events, with no toolkit. The file is read a block at
// a time, so one larger than memory goes too; every write is bounded, so a
// board that stops reading holds the window no longer than a write.
#ifndef QUORVEL_FILESEND_H
#define QUORVEL_FILESEND_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PortJob.h"
#include "Serial.h"

class TFileSend : public TPortJob {
public:
    // `path` in the system's own encoding; the log names the file by its last part.
    TFileSend(BYTE port, const std::string &path, const std::string &separator);
    ~TFileSend();
    TFileSend(const TFileSend &) = delete;
    TFileSend &operator=(const TFileSend &) = delete;

    // The file did not open: Said() says why, and nothing was sent.
    bool Failed() const { return !file; }
    // Sends for about `budget`; a write that the board holds ends within WriteLimit.
    State Slice(std::chrono::milliseconds budget) override;
    // Going: the progress, for the status line; Ended or Failed: the line for the log.
    const std::string &Said() const { return said; }
    // The user stopped it: the line for the log.
    std::string Stop();
    std::uint64_t Sent() const { return sent; }

    std::string Progress() const override { return said; }
    std::vector<std::string> TakeLines() override;
    void Halt() override { Stop(); }
    std::string Doing() const override { return "a file is being sent"; }
    bool ReadsPort() const override { return false; }
    std::string FaultLine() const override { return "Send File: ended by a fault; " + std::to_string(sent) + " bytes were sent."; }

    static constexpr std::size_t Block = 65536;
    static constexpr std::chrono::milliseconds WriteLimit{100};
    // It gives up when the board has taken nothing for this long.
    std::chrono::milliseconds Stall = StallLimit;

private:
    using Clock = std::chrono::steady_clock;
    // The last line: the name, `why`, then how much went (`whole`: all of it) and how fast.
    State End(const std::string &why, bool whole);
    std::string HowMuch(bool whole) const;

    BYTE port;
    std::string name, separator;
    std::FILE *file = nullptr;
    std::uint64_t size = 0, sent = 0;
    std::vector<unsigned char> block;
    std::size_t head = 0, tail = 0;  // what of the block is still to go: [head, tail)
    Clock::time_point start = Clock::now(), moved = start;
    std::string said;
    bool told = false;  // the last line has gone to the log
};

#endif
