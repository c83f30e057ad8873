#include "TovanTiming.h"

#if defined(_WIN32)
#include "WinKernel.h"
#else
#include <chrono>
#include <ratio>
#endif

namespace {

#if defined(_WIN32)
// The performance counter: its frequency is fixed at boot.
std::int64_t ClockTicks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

std::int64_t ClockFrequency()
{
    LARGE_INTEGER frequency;
    return QueryPerformanceFrequency(&frequency) ? std::int64_t(frequency.QuadPart) : 0;
}
#else
using Clock = std::chrono::steady_clock;

std::int64_t ClockTicks() { return std::int64_t(Clock::now().time_since_epoch().count()); }

constexpr std::int64_t ClockFrequency() { return std::int64_t(Clock::period::den / Clock::period::num); }
static_assert(Clock::period::num == 1, "the clock's tick must be a whole fraction of a second");
#endif

}  // namespace

TPerformanceTimer::TPerformanceTimer(const std::string &name) : TPerformanceTimer(name, ClockFrequency(), ClockTicks) {}

TPerformanceTimer::TPerformanceTimer(const std::string &name, std::int64_t frequency, Counter counter)
    : Name(name.empty() ? "PerformanceTimer x" : name), Frequency(frequency), counter(std::move(counter))
{
}

void TPerformanceTimer::Reset()
{
    TotalTicks = 0;
    StartCount = 0;
}

void TPerformanceTimer::Start()
{
    ++StartCount;
    StartTicks = counter();
}

void TPerformanceTimer::Stop()
{
    std::int64_t elapsed = counter() - StartTicks;
    TotalTicks += elapsed;
    if (elapsed > MaxTicks) MaxTicks = elapsed;
    if (elapsed < MinTicks || MinTicks == 0) MinTicks = elapsed;
}

long double TPerformanceTimer::Seconds() const
{
    if (Frequency <= 0) return 0;
    return static_cast<long double>(TotalTicks) / static_cast<long double>(Frequency);
}
