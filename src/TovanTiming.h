// A stopwatch over a high-resolution counter: it adds up any number of
// start/stop intervals, counts them, and keeps the shortest and the longest.
#ifndef QUORVEL_TOVANTIMING_H
#define QUORVEL_TOVANTIMING_H

#include <cstdint>
#include <functional>
#include <string>

class TPerformanceTimer {
public:
    // A counter that never runs backwards, and its ticks per second.
    using Counter = std::function<std::int64_t()>;

    // Reads the system's high-resolution counter.
    explicit TPerformanceTimer(const std::string &name);
    // Reads the given counter instead, so tests can step time by hand.
    TPerformanceTimer(const std::string &name, std::int64_t frequency, Counter counter);

    std::string Name;
    std::int64_t TotalTicks = 0;
    std::int64_t StartTicks = 0;
    std::int64_t StartCount = 0;
    std::int64_t MinTicks = 0;  // 0 while no interval has been seen
    std::int64_t MaxTicks = 0;
    std::int64_t Frequency = 0;

    // Clears the total and the count; the shortest and longest stay.
    void Reset();
    void Start();
    // Ends the interval begun by the last Start. It does not check that one
    // was begun: a second Stop adds the time since the same start again.
    void Stop();
    // The total in seconds; 0 when the counter has no frequency.
    long double Seconds() const;

private:
    Counter counter;
};

#endif
