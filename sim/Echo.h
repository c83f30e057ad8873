// A board that sends back every byte as it came, as most CDC example
// firmwares do; paced by --rate where given. To prove the console's link
// tests, it misbehaves on request: it drops, changes or doubles the Nth byte
// it gets, swaps it with the next, holds back a read of exactly a given size
// until more comes (a missing zero-length packet), echoes late, or stops.
#ifndef QUORVEL_SIM_ECHO_H
#define QUORVEL_SIM_ECHO_H

#include <deque>
#include <functional>

#include "Board.h"

namespace sim {

struct EchoCounts {
    std::uint64_t received = 0, sent = 0, dropped = 0, corrupted = 0, duplicated = 0, swapped = 0, held = 0;
};
std::string FormatEchoCounts(const EchoCounts &counts);

class Echo : public Board {
public:
    using Say = std::function<void(const std::string &)>;
    Echo(const Options &options, Clock::time_point now, Say say);

    void Receive(const unsigned char *data, std::size_t n, Clock::time_point now) override;
    void Tick(Clock::time_point now) override;
    std::size_t ReadAllowance(Clock::time_point now) override;
    std::size_t WriteAllowance(Clock::time_point now) override;
    const unsigned char *Output() const override { return reinterpret_cast<const unsigned char *>(out.data()) + head; }
    std::size_t Pending() const override { return out.size() - head; }
    void Sent(std::size_t n, Clock::time_point now) override;
    Clock::time_point NextWake(Clock::time_point now) const override;
    bool HangupDue() const override { return false; }
    void Replugged(Clock::time_point now) override;
    std::string Report() const override { return FormatEchoCounts(echoed); }
    const EchoCounts &Echoed() const { return echoed; }

private:
    // The Nth, 2Nth... byte got (counting from 1).
    static bool Every(std::uint64_t every, std::uint64_t index) { return every && (index + 1) % every == 0; }
    void Due(Clock::time_point now);

    Say say;
    Pacer pace;
    EchoCounts echoed;
    std::string out, held;  // what may go; a read held back
    std::size_t head = 0;
    int swapping = -1;  // a byte waiting for the next, to go after it
    bool stopped = false;
    struct Later {
        Clock::time_point at;
        std::string bytes;
    };
    std::deque<Later> later;  // echoes not due yet
    std::size_t laterBytes = 0;
};

}  // namespace sim

#endif
