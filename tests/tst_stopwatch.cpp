// The stopwatch's arithmetic on a counter stepped by hand, and once on the real clock.
#include <chrono>
#include <thread>

#include "Check.h"
#include "TovanTiming.h"

namespace {

struct Hand {
    std::int64_t now = 1000;
    TPerformanceTimer Timer(std::int64_t frequency = 100)
    {
        return TPerformanceTimer("hand", frequency, [this] { return now; });
    }
};

}  // namespace

TEST_CASE(intervals_add_up_and_keep_their_extremes)
{
    Hand hand;
    TPerformanceTimer t = hand.Timer();
    CHECK_EQ(t.Name, std::string("hand"));
    CHECK_EQ(t.Seconds(), 0.0L);
    CHECK_EQ(t.StartCount, 0);

    t.Start();
    hand.now += 100;  // 1 s
    t.Stop();
    t.Start();
    hand.now += 200;  // 2 s
    t.Stop();
    CHECK_EQ(t.Seconds(), 3.0L);
    CHECK_EQ(t.TotalTicks, 300);
    CHECK_EQ(t.StartCount, 2);
    CHECK_EQ(t.MinTicks, 100);
    CHECK_EQ(t.MaxTicks, 200);

    // Reset clears the total and the count, not the extremes.
    t.Reset();
    CHECK_EQ(t.Seconds(), 0.0L);
    CHECK_EQ(t.StartCount, 0);
    CHECK_EQ(t.MinTicks, 100);
    CHECK_EQ(t.MaxTicks, 200);

    // A shorter interval after the reset lowers the minimum; a longer one raises the maximum.
    t.Start();
    hand.now += 50;
    t.Stop();
    CHECK_EQ(t.MinTicks, 50);
    CHECK_EQ(t.MaxTicks, 200);
    CHECK_EQ(t.Seconds(), 0.5L);

    // A second Stop adds the time since the same start again.
    hand.now += 25;
    t.Stop();
    CHECK_EQ(t.TotalTicks, 50 + 75);
    CHECK_EQ(t.StartCount, 1);
}

TEST_CASE(a_zero_interval_leaves_the_minimum_open)
{
    // A minimum of 0 means "none yet", so the next interval takes its place.
    Hand hand;
    TPerformanceTimer t = hand.Timer();
    t.Start();
    t.Stop();
    CHECK_EQ(t.MinTicks, 0);
    t.Start();
    hand.now += 30;
    t.Stop();
    CHECK_EQ(t.MinTicks, 30);
    CHECK_EQ(t.MaxTicks, 30);
}

TEST_CASE(no_frequency_gives_zero_seconds)
{
    Hand hand;
    for (std::int64_t frequency : {0, -5}) {
        TPerformanceTimer t = hand.Timer(frequency);
        t.Start();
        hand.now += 12345;
        t.Stop();
        CHECK_EQ(t.TotalTicks, 12345);
        CHECK_EQ(t.Seconds(), 0.0L);
    }
}

TEST_CASE(an_empty_name_gets_the_default)
{
    CHECK_EQ(TPerformanceTimer("", 1, [] { return std::int64_t(0); }).Name, std::string("PerformanceTimer x"));
    CHECK_EQ(TPerformanceTimer("").Name, std::string("PerformanceTimer x"));
}

TEST_CASE(the_system_clock_measures_a_sleep)
{
    TPerformanceTimer t("SendTime");
    CHECK(t.Frequency >= 1000000);
    t.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.Stop();
    // A sleep lasts at least as long as asked; the upper bound only catches wrong units.
    CHECK(t.Seconds() >= 0.049L);
    CHECK(t.Seconds() < 5.0L);
}

int main() { return check::RunAll(); }
