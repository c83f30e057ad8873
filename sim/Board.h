// The board simulator's core: what a test board answers, and how fast.
// No I/O here: the caller feeds it the bytes that came from the console and
// writes out what it has to send, so tests can drive it with a clock of their own.
#ifndef QUORVEL_SIM_BOARD_H
#define QUORVEL_SIM_BOARD_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Protocol.h"

namespace sim {

using Clock = std::chrono::steady_clock;

constexpr auto AnnounceIdle = std::chrono::seconds(1);

struct Options {
    int port = 20;
    double rate = 0;  // KB/s each way; 0: as fast as the terminal goes
    bool silent = false;
    std::size_t shortBy = 0;
    std::size_t extra = 0;
    long long hangupAfter = -1;  // bytes into a transfer; -1: never
    double stream = 0;           // KB/s of text sent unasked; 0: none
    bool noise = false;
    std::string folder;  // where the port's entry goes; empty: the ports folder
    std::string device;  // an existing terminal to serve; empty: a pseudo-terminal of our own
    std::optional<std::uint64_t> chaos;  // a seed: a board that does anything (Chaos.h)
    // A board that echoes (Echo.h), and what it does wrong: the Nth byte, every N.
    bool echo = false;
    std::uint64_t dropEvery = 0, corruptEvery = 0, duplicateEvery = 0, swapEvery = 0;
    std::size_t holdSize = 0;     // a read of exactly this many bytes waits for the next
    long long echoDelayMs = 0;
    long long stopEchoAfter = -1;  // bytes; -1: never
};

// Reads the command line. On a mistake, false and a message for the user.
bool ParseOptions(int argc, char **argv, Options &options, std::string &error);
extern const char *const Usage;

struct Counts {
    std::uint64_t text = 0, heartbeats = 0, announces = 0, upload = 0, requests = 0, sent = 0;
    std::uint64_t uploadMarks = 0;  // "%" bytes within upload data: one starts each block
};
std::string FormatCounts(const Counts &counts);

// How fast an upload arrived, as the board saw it: from the read that brought
// its first data byte to the read that brought its last. The first read's
// bytes were already there when the clock started, so they are not counted.
struct UploadTiming {
    std::size_t bytes = 0;  // data bytes after the first read
    double seconds = 0;
};
std::string FormatUploadTiming(const UploadTiming &timing);

// Lets bytes through at an even rate: never more than a couple of
// milliseconds' worth at once. Time lost to a late wake-up (a loaded
// machine) is made up afterwards, up to a tenth of a second's worth, so that
// the pace holds; time with nothing to move is not (Idle).
class Pacer {
public:
    Pacer(double bytesPerSecond, Clock::time_point now);
    std::size_t Allowed(Clock::time_point now);
    void Use(std::size_t n);
    // When enough has built up to be worth waking for.
    Clock::time_point Ready() const;
    bool Paced() const { return rate > 0; }
    // Drops what built up while idle: from `now` on only the rate counts.
    void Restart(Clock::time_point now)
    {
        tokens = std::min(tokens, 0.0);
        last = now;
    }
    // Nothing to move now: no more than a burst builds up.
    void Idle(Clock::time_point now)
    {
        Allowed(now);
        tokens = std::min(tokens, burst);
    }

private:
    double rate, burst, owed, tokens;
    Clock::time_point last;
};

class Board {
public:
    Board(const Options &options, Clock::time_point now);
    virtual ~Board() = default;

    // Bytes that came from the console.
    virtual void Receive(const unsigned char *data, std::size_t n, Clock::time_point now);
    // Work that time drives: the announce's idle limit and the text stream.
    virtual void Tick(Clock::time_point now);

    // How much may be read from, and written to, the console now.
    virtual std::size_t ReadAllowance(Clock::time_point now);
    virtual std::size_t WriteAllowance(Clock::time_point now);

    // What is waiting to go out; Sent(n) drops the first n of it.
    virtual const unsigned char *Output() const { return reinterpret_cast<const unsigned char *>(out.data()) + head; }
    virtual std::size_t Pending() const { return out.size() - head; }
    virtual void Sent(std::size_t n, Clock::time_point now);

    // When to look again though the terminal stays quiet.
    virtual Clock::time_point NextWake(Clock::time_point now) const;

    // A transfer has gone as far as --hangup-after allows: drop the link.
    virtual bool HangupDue() const;
    // A fresh link: idle again, nothing pending.
    virtual void Replugged(Clock::time_point now);

    bool Uploading() const { return uploading; }
    // The timing of the upload that has just completed, once.
    std::optional<UploadTiming> TakeUploadTiming();
    const Counts &Totals() const { return counts; }
    // The counts as the simulator prints them.
    virtual std::string Report() const { return FormatCounts(counts); }

protected:
    void Queue(const std::string &bytes);
    Options options;
    Counts counts;

private:
    void QueueDownload();
    void FillStream(Clock::time_point now);

    Pacer rx, tx, streamPacer;
    std::string out, download;
    std::size_t head = 0;
    std::uint64_t queued = 0;  // bytes ever queued; with counts.sent, positions in the output

    bool uploading = false;
    std::size_t uploadGot = 0;
    Clock::time_point lastUploadByte, firstUploadRead;
    std::size_t firstReadBytes = 0;  // upload data in the read that began it
    std::optional<UploadTiming> uploadTiming;

    bool hungUp = false;                    // an upload reached the limit
    std::optional<std::uint64_t> hangupAt;  // output position where a download stops

    std::uint32_t noiseState = 0x2545F491u;
    std::uint64_t streamLine = 0;
    std::string streamText;
    std::size_t streamPos = 0;
};

}  // namespace sim

#endif
