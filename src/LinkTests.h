// Tests of the link itself, for a board that echoes what it gets: a loopback
// that finds every byte lost, doubled, reordered or changed; round-trip
// latency; and transfers of each size around the USB packet boundaries. Each
// runs a slice at a time (the window's Timer6, or a loop in quorvel-speed),
// reads the port itself, and ends within a bound of the board's last answer.
#ifndef QUORVEL_LINKTESTS_H
#define QUORVEL_LINKTESTS_H

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "EchoCheck.h"
#include "PortJob.h"
#include "WinCom.h"

const std::string LoopbackName = "Loopback", LatencyName = "Latency", PacketSizesName = "Packet sizes";

class TLinkTest : public TPortJob {
public:
    TLinkTest(BYTE port, const std::string &name, const std::string &separator);
    std::vector<std::string> TakeLines() override;
    bool ReadsPort() const override { return true; }
    std::string FaultLine() const override { return name + ": ended by a fault."; }
    std::string Doing() const override { return "the " + name + " test runs"; }
    // How it ended: it ran its course, the user stopped it, the board stopped
    // answering (Silent), or the port closed.
    enum class End { Going, Done, Halted, Silent, Closed };
    End Ended() const { return ended; }
    // A writer's bound, and the longest a slice waits on for an answer due.
    static constexpr std::chrono::milliseconds WriteLimit{50}, Overrun{100};
    // At its end, the longest it reads and drops the echoes still on their way.
    static constexpr std::chrono::milliseconds DrainLimit{250};

protected:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start).count(); }
    // What has come, into `rx`: its count (0: nothing waits).
    std::size_t Read();
    // A figure as the log shows it, with the user's separator.
    std::string Fixed(double value, int decimals = 2) const;
    // A limit as the log says it: "1 s", "0.5 s", in the user's separator.
    std::string Said(std::chrono::milliseconds limit) const;
    State Finish(End how);
    virtual void Summarise() = 0;  // the last lines, once it has ended

    BYTE port;
    std::string name, separator;
    Clock::time_point start = Clock::now();
    std::vector<unsigned char> rx;
    std::vector<std::string> lines;
    End ended = End::Going;
};

struct LoopbackFigures {
    std::uint64_t Sent = 0, Received = 0, Good = 0, Errors = 0;
    double Seconds = 0, Kbps = 0;
    std::array<std::uint64_t, echo::FaultKinds> Count{}, Bytes{};
    std::vector<echo::Fault> Faults;      // the first ones, in order
    std::vector<double> KbpsEachSecond;  // what came back as sent, each whole second
};

class TLoopbackTest : public TLinkTest {
public:
    // For `duration`, or until `bytes` have gone where not 0; at most
    // `inFlight` bytes sent and not yet back (a tenth of a second's worth at
    // the board's pace, 4 KB at least). It gives up when nothing has come
    // back as sent for `silence`.
    struct Limits {
        std::chrono::milliseconds duration{10000};
        std::uint64_t bytes = 0;
        std::size_t inFlight = 65536;
        std::chrono::milliseconds silence{5000};
        std::uint64_t seed = 1;
    };
    TLoopbackTest(BYTE port, const std::string &separator, const Limits &limits);
    State Slice(std::chrono::milliseconds budget) override;
    std::string Progress() const override;
    void Halt() override;
    const LoopbackFigures &Figures() const { return figures; }
    const echo::TEchoCheck &Check() const { return check; }
    // The log lists so many faults; Figures() has more.
    static constexpr std::size_t LinesListed = 10;

private:
    void Summarise() override;
    Limits limits;
    echo::TFrameStream stream;
    echo::TEchoCheck check;
    std::vector<unsigned char> tx;
    std::uint64_t sent = 0;
    Clock::time_point lastCame = start, lastGood = start, stoppedSending{}, paceFrom = start;
    Clock::duration longestGap{};  // the longest between echoes as sent, the first one's wait included
    std::uint64_t pace = 0, paceGood = 0;  // bytes a tenth of a second, as last measured
    bool sending = true;
    std::vector<std::uint64_t> eachSecond;
    LoopbackFigures figures;
};

// One size's round trips: each in ms, and those that did not come back.
struct TripFigures {
    std::size_t Bytes = 0;
    std::vector<double> Ms;
    std::uint64_t Trips = 0, NotBack = 0, Changed = 0;
    std::uint64_t CameLate = 0;  // not back in time, and come with the next transfer
    double Min = 0, Median = 0, P99 = 0, Max = 0;
};
// The histogram's bounds in ms: a bin holds what is below its bound and at
// or above the one before; the last bin holds what is at or above the last bound.
const std::vector<double> &HistogramBounds();
std::vector<std::uint64_t> Histogram(const std::vector<double> &ms);

class TRoundTripTest : public TLinkTest {
public:
    enum class Kind { Latency, PacketSizes };
    // Latency: `count` trips each of 1, 64 and 512 bytes. Packet sizes: one
    // trip of each size of PacketSizes(). Each must be back within `limit`.
    TRoundTripTest(BYTE port, const std::string &separator, Kind kind, int count = 100,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(1000));
    static const std::vector<std::size_t> &LatencySizes();
    // 1, then n x 64 - 1, n x 64 and n x 64 + 1 for n from 1 to 32: every
    // boundary of a full-speed packet (64) and of a high-speed one (512) up to 4 x 512 + 1.
    static const std::vector<std::size_t> &PacketSizes();
    State Slice(std::chrono::milliseconds budget) override;
    std::string Progress() const override;
    void Halt() override;
    const std::vector<TripFigures> &Figures() const { return sizes; }
    std::chrono::milliseconds Limit() const { return limit; }
    // Trips in a row that brought nothing back before it gives up.
    static constexpr int SilentTrips = 3;

private:
    void Summarise() override;
    void Begin();
    bool Judge(Clock::time_point now);

    Kind kind;
    int count;
    std::chrono::milliseconds limit;
    echo::TFrameStream stream{7};
    std::uint64_t offset = 0;  // the stream's place of the next trip's bytes
    std::vector<TripFigures> sizes;
    std::size_t size = 0;  // the trip's size: an index into `sizes`
    std::uint64_t trip = 0;  // within its size
    std::vector<unsigned char> sentBytes, got, before;  // the trip's bytes, what came, the last trip's bytes
    bool waiting = false, lastFailed = false;
    std::size_t owed = 0;  // bytes of trips not back whole that may yet come
    std::size_t gotBefore = 0;  // what came in this trip before the bytes kept in `got`
    int silentTrips = 0;
    Clock::time_point wrote;
};

#endif
