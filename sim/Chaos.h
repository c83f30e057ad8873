// A board that does anything a board can, legal or not, at random but the
// same for the same seed: for a randomised run of the whole console. Each
// choice is said with its time, so that a failing run can be read back.
//
// The one limit it keeps: whatever it does to a throughput test is over
// within ActLimit of the test's first byte, and a download's request is
// followed by QuietAfter of silence once that is over, so that a console
// that gives up 5 s after the last byte moved is seen to do so in time.
#ifndef QUORVEL_SIM_CHAOS_H
#define QUORVEL_SIM_CHAOS_H

#include <functional>
#include <vector>

#include "Board.h"

namespace sim {

// splitmix64: small, and the same everywhere.
class Random {
public:
    explicit Random(std::uint64_t seed) : state(seed) {}
    std::uint64_t Next();
    std::uint64_t Below(std::uint64_t n) { return n ? Next() % n : 0; }
    double Between(double low, double high) { return low + (high - low) * double(Next() >> 11) / 9007199254740992.0; }
    bool Chance(double p) { return Between(0, 1) < p; }

private:
    std::uint64_t state;
};

constexpr auto ActLimit = std::chrono::seconds(8);
constexpr double LongestPause = 6;  // s the board may read nothing for
constexpr auto QuietAfter = std::chrono::milliseconds(7500);
constexpr char CalmWord[] = "!calm!";

class Chaos : public Board {
public:
    using Say = std::function<void(const std::string &)>;
    // `canUnplug`: the board's terminal is its own to drop.
    Chaos(const Options &options, Clock::time_point now, bool canUnplug, Say say);

    void Receive(const unsigned char *data, std::size_t n, Clock::time_point now) override;
    void Tick(Clock::time_point now) override;
    std::size_t ReadAllowance(Clock::time_point now) override;
    std::size_t WriteAllowance(Clock::time_point now) override;
    const unsigned char *Output() const override;
    std::size_t Pending() const override;
    void Sent(std::size_t n, Clock::time_point now) override;
    Clock::time_point NextWake(Clock::time_point now) const override;
    bool HangupDue() const override;
    void Replugged(Clock::time_point now) override;

    bool Calm() const { return calm; }
    std::uint64_t Choices() const { return choices; }

private:
    void Note(Clock::time_point now, const std::string &what);
    void Push(const std::string &bytes);
    std::string Bytes(std::size_t n);
    void Request(Clock::time_point now);
    void UploadIn(Clock::time_point now);
    void Chatter(Clock::time_point now);
    void BecomeCalm(Clock::time_point now);

    Random random;
    Clock::time_point start;
    bool canUnplug;
    Say say;
    bool calm = false;
    std::uint64_t choices = 0;
    std::string pool;  // random bytes of every value, cut from at random

    std::string out;
    std::size_t head = 0;
    struct Later {
        Clock::time_point at;
        std::string bytes;
    };
    std::vector<Later> later;

    Clock::time_point readsFrom, nextChatter, quietUntil;
    Clock::time_point actUntil;  // a download's act: what the board does to it ends here
    Clock::time_point unplugAt = Clock::time_point::max();
    Clock::time_point trickleUntil;
    Pacer trickle;
    bool dropAfterTrickle = false;
    bool unplug = false;

    // The upload as it comes in, and what the board does with its mark.
    enum class Mark { AtOnce, Late, Early, Never, AfterTalk };
    bool uploading = false;
    std::size_t uploadGot = 0, earlyAt = 0, pauseAt = 0;
    Mark mark = Mark::AtOnce;
    Clock::time_point lastUploadByte;
    std::string recent;  // the last text bytes, for the calm word
};

}  // namespace sim

#endif
