// Benchmark helpers: clocks, CPU time, medians and plain figure lines.
#ifndef QUORVEL_BENCH_MEASURE_H
#define QUORVEL_BENCH_MEASURE_H

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds this process has used, all threads, user and system.
inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The most memory this process has held at once, in MB.
inline double PeakMegabytes()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / 1024.0;
}

// The p-th percentile (0..100) by nearest rank; the median is p = 50.
inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t rank = std::size_t(std::ceil(p / 100.0 * double(values.size())));
    return values[std::min(values.size(), std::max<std::size_t>(rank, 1)) - 1];
}

inline double Median(const std::vector<double> &values)
{
    if (values.empty()) return 0;
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "a b c; median m, spread lo-hi (s% of the median)"
inline std::string Series(const std::vector<double> &values, int decimals = 2)
{
    std::string text;
    char item[64];
    for (double v : values) {
        std::snprintf(item, sizeof item, "%s%.*f", text.empty() ? "" : " ", decimals, v);
        text += item;
    }
    if (values.empty()) return "(none)";
    auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    double m = Median(values);
    char tail[160];
    std::snprintf(tail, sizeof tail, "; median %.*f, spread %.*f-%.*f (%.1f%% of the median)", decimals, m, decimals, *lo,
                  decimals, *hi, m != 0 ? (*hi - *lo) / m * 100 : 0.0);
    return text + tail;
}

inline const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace bench

#endif
