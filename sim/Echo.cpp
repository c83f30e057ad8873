#include "Echo.h"

namespace sim {

std::string FormatEchoCounts(const EchoCounts &c)
{
    return "echo: received " + std::to_string(c.received) + ", sent " + std::to_string(c.sent) + "; dropped " +
           std::to_string(c.dropped) + ", corrupted " + std::to_string(c.corrupted) + ", duplicated " + std::to_string(c.duplicated) +
           ", swapped " + std::to_string(c.swapped) + ", held " + std::to_string(c.held);
}

Echo::Echo(const Options &options, Clock::time_point now, Say say) : Board(options, now), say(std::move(say)), pace(options.rate * 1024, now) {}

void Echo::Receive(const unsigned char *data, std::size_t n, Clock::time_point now)
{
    if (Pending() == 0 && later.empty()) pace.Idle(now);
    std::string answer;
    answer.reserve(n + 2);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t index = echoed.received++;
        if (options.stopEchoAfter >= 0 && index >= std::uint64_t(options.stopEchoAfter)) {
            if (!stopped) say("stopped echoing after " + std::to_string(index) + " bytes");
            stopped = true;
            continue;
        }
        char b = char(data[i]);
        if (Every(options.dropEvery, index)) {
            ++echoed.dropped;
            continue;
        }
        if (Every(options.corruptEvery, index)) b = char(b ^ 0x55), ++echoed.corrupted;
        if (Every(options.swapEvery, index)) {
            swapping = (unsigned char)b;
            continue;
        }
        answer += b;
        if (Every(options.duplicateEvery, index)) answer += b, ++echoed.duplicated;
        if (swapping >= 0) answer += char(swapping), swapping = -1, ++echoed.swapped;
    }
    // A read of exactly that size waits for the next, as a device stack that
    // sends no zero-length packet after a full one.
    std::string go = held + answer;
    held.clear();
    if (options.holdSize && n == options.holdSize && answer.size() == n) {
        held = answer;
        ++echoed.held;
        go.resize(go.size() - n);
    }
    if (go.empty()) return;
    if (options.echoDelayMs > 0) later.push_back({now + std::chrono::milliseconds(options.echoDelayMs), go}), laterBytes += go.size();
    else out += go;
}

void Echo::Due(Clock::time_point now)
{
    while (!later.empty() && later.front().at <= now) {
        out += later.front().bytes;
        laterBytes -= later.front().bytes.size();
        later.pop_front();
    }
}

void Echo::Tick(Clock::time_point now) { Due(now); }

std::size_t Echo::ReadAllowance(Clock::time_point)
{
    // A board's buffer is small: it reads no more while much waits to go back.
    const std::size_t waiting = Pending() + laterBytes;
    return waiting >= 65536 ? 0 : 65536 - waiting;
}

std::size_t Echo::WriteAllowance(Clock::time_point now)
{
    Due(now);
    if (Pending() == 0) {
        pace.Idle(now);
        return 0;
    }
    return pace.Paced() ? std::min(pace.Allowed(now), Pending()) : Pending();
}

void Echo::Sent(std::size_t n, Clock::time_point)
{
    head += n;
    echoed.sent += n;
    if (pace.Paced()) pace.Use(n);
    if (head == out.size()) out.clear(), head = 0;
    else if (head > 65536) out.erase(0, head), head = 0;
}

Clock::time_point Echo::NextWake(Clock::time_point now) const
{
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (!later.empty()) wake = std::min(wake, later.front().at);
    if (Pending() > 0 && pace.Paced()) wake = std::min(wake, pace.Ready());
    return std::max(wake, now);
}

void Echo::Replugged(Clock::time_point now)
{
    out.clear(), held.clear(), later.clear(), laterBytes = 0;
    head = 0;
    swapping = -1;
    pace = Pacer(options.rate * 1024, now);
}

}  // namespace sim
