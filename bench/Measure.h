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

// The median and a 95% interval for it from the order statistics, which
// assumes nothing of the spread: ranks n/2 -+ 0.98 sqrt(n).
struct MedianInterval {
    double median, low, high;
};
inline MedianInterval MedianWithInterval(std::vector<double> values)
{
    if (values.empty()) return {0, 0, 0};
    std::sort(values.begin(), values.end());
    double n = double(values.size());
    std::size_t k = std::size_t(std::max(0.0, std::floor(n / 2 - 0.98 * std::sqrt(n))));
    k = std::min(k, values.size() / 2);
    return {Median(values), values[k], values[values.size() - 1 - k]};
}

// "median m (95% interval lo-hi), quartiles q1-q3, all lo-hi, n rounds"
inline std::string Summary(const std::vector<double> &values, int decimals = 3)
{
    MedianInterval m = MedianWithInterval(values);
    auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    char text[256];
    std::snprintf(text, sizeof text, "median %.*f (95%% interval %.*f-%.*f), quartiles %.*f-%.*f, all %.*f-%.*f, %zu rounds", decimals,
                  m.median, decimals, m.low, decimals, m.high, decimals, Percentile(values, 25), decimals, Percentile(values, 75),
                  decimals, values.empty() ? 0 : *lo, decimals, values.empty() ? 0 : *hi, values.size());
    return text;
}

inline const char *Verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace bench

#endif
