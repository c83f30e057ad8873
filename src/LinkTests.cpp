#include "LinkTests.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "Serial.h"

namespace {

std::string Bytes(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string Hex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) out += std::string(out.empty() ? "" : " ") + digits[b >> 4] + digits[b & 15];
    return out;
}

}  // namespace

// ---------------------------------------------------------------- common

TLinkTest::TLinkTest(BYTE port, const std::string &name, const std::string &separator)
    : port(port), name(name), separator(separator), rx(65536)
{
    // What the board said before the test is no echo of it.
    PurgeInput(port);
}

std::vector<std::string> TLinkTest::TakeLines() { return std::exchange(lines, {}); }

std::size_t TLinkTest::Read() { return BytesWaiting(port) != 0 ? ReadPort(port, rx.data(), DWORD(rx.size())) : 0; }

// Written out by hand: the C library's locale must not choose the separator.
std::string TLinkTest::Fixed(double value, int decimals) const
{
    if (!std::isfinite(value)) return "?";
    const double scale = std::pow(10.0, decimals);
    const long long whole = std::llround(std::fabs(value) * scale);
    std::string digits = std::to_string(whole);
    if (digits.size() <= std::size_t(decimals)) digits.insert(0, std::size_t(decimals) + 1 - digits.size(), '0');
    std::string out = (value < 0 && whole ? "-" : "") + digits.substr(0, digits.size() - std::size_t(decimals));
    return decimals ? out + separator + digits.substr(digits.size() - std::size_t(decimals)) : out;
}

std::string TLinkTest::Said(std::chrono::milliseconds limit) const
{
    std::string text = Fixed(double(limit.count()) / 1000, 3);
    while (text.back() == '0') text.pop_back();
    if (text.size() > separator.size() && text.compare(text.size() - separator.size(), separator.size(), separator) == 0) text.resize(text.size() - separator.size());
    return text + " s";
}

TPortJob::State TLinkTest::Finish(End how)
{
    if (ended != End::Going) return State::Ended;
    ended = how;
    if (how == End::Halted) lines.push_back(name + ": stopped.");
    if (how == End::Closed) lines.push_back(name + ": the port closed.");
    Summarise();
    // What the board still sends back is the test's, not the log's: it goes,
    // for as long as it keeps coming within a bound.
    const Clock::time_point from = Clock::now();
    for (Clock::time_point last = from; PortIsOpen(port) && Clock::now() - from < DrainLimit && Clock::now() - last < std::chrono::milliseconds(50);)
        if (Read()) last = Clock::now();
    PurgeInput(port);
    return State::Ended;
}

// ---------------------------------------------------------------- loopback

TLoopbackTest::TLoopbackTest(BYTE port, const std::string &separator, const Limits &limits)
    : TLinkTest(port, LoopbackName, separator), limits(limits), stream(limits.seed), check(limits.seed), tx(4096)
{
}

TPortJob::State TLoopbackTest::Slice(std::chrono::milliseconds budget)
{
    if (ended != End::Going) return State::Ended;
    const Clock::time_point until = Clock::now() + budget;
    ShortWrites bounded(port, WriteLimit, tx.size());
    do {
        if (!PortIsOpen(port)) return Finish(End::Closed);
        Clock::time_point now = Clock::now();
        if (sending && (limits.bytes ? sent >= limits.bytes : now - start >= limits.duration)) sending = false, stoppedSending = now;
        // As fast as the link takes it, with no more than a tenth of a second's
        // worth on its way (as far as the board has shown its pace), so that a
        // slow board's test ends near its time.
        // The pace is the last quarter second's or so, not the whole run's: a board that slows down is followed.
        if (now - paceFrom >= std::chrono::milliseconds(250)) {
            pace = std::uint64_t(double(check.Good() - paceGood) / std::chrono::duration<double>(now - paceFrom).count() / 10);
            paceFrom = now, paceGood = check.Good();
        }
        const std::uint64_t most = std::clamp<std::uint64_t>(pace, 4096, limits.inFlight);
        const std::uint64_t away = sent - std::min(sent, check.Next());
        if (sending && away < most) {
            std::uint64_t n = std::min<std::uint64_t>(tx.size(), most - away);
            if (limits.bytes) n = std::min(n, limits.bytes - sent);
            stream.Copy(sent, tx.data(), std::size_t(n));
            const DWORD wrote = WritePort(port, tx.data(), DWORD(n));
            // What went partly and is not said is sent again: the check then finds it doubled.
            sent += wrote;
            check.Sent(sent);
        }
        if (const std::size_t n = Read()) {
            now = Clock::now();
            const std::uint64_t before = check.Good();
            check.Came(rx.data(), n, Seconds(now));
            lastCame = now;
            // Progress is what comes back as sent: text the board sends besides is none.
            if (check.Good() > before) {
                if (check.Good() > 0 && before > 0) longestGap = std::max(longestGap, now - lastGood);
                else longestGap = std::max(longestGap, now - start);  // the first echo's wait
                lastGood = now;
                const std::size_t second = std::size_t(Seconds(now));
                if (eachSecond.size() <= second) eachSecond.resize(second + 1);
                eachSecond[second] += check.Good() - before;
            }
        }
        now = Clock::now();
        if (!sending) {
            // All back; or whatever is missing has had time to come: twice the longest
            // the board has kept us waiting (its first echo's wait included), half a second at least.
            if (check.Next() >= sent) return Finish(End::Done);
            const auto wait = std::clamp<Clock::duration>(2 * longestGap, std::chrono::milliseconds(500), limits.silence);
            if (check.Good() && now - lastGood >= wait && now - stoppedSending >= std::chrono::milliseconds(500))
                // Nothing back as sent before the end for longer than the board ever kept
                // us waiting (a second at least): it stopped echoing, whatever came before.
                return Finish(stoppedSending - lastGood >= std::max<Clock::duration>(std::chrono::seconds(1), wait) ? End::Silent : End::Done);
        }
        if (sent > check.Good() && now - lastGood >= limits.silence) return Finish(End::Silent);
    } while (Clock::now() < until);
    return State::Going;
}

std::string TLoopbackTest::Progress() const
{
    return LoopbackName + ": " + std::to_string(check.Good()) + " of " + std::to_string(sent) + " bytes back, " +
           std::to_string(check.Errors()) + (check.Errors() == 1 ? " error" : " errors") + "; Escape stops.";
}

void TLoopbackTest::Halt()
{
    if (ended != End::Going) return;
    // What is on its way back when the user stops it is no loss: it is waited for a while.
    const Clock::time_point from = Clock::now();
    for (Clock::time_point last = from; check.Received() < sent && Clock::now() - from < DrainLimit && Clock::now() - last < std::chrono::milliseconds(50);)
        if (const std::size_t n = Read()) check.Came(rx.data(), n, Seconds(last = Clock::now()));
    Finish(End::Halted);
}

void TLoopbackTest::Summarise()
{
    const Clock::time_point end = Clock::now();
    check.Finish(Seconds(end), ended != End::Halted);
    LoopbackFigures &f = figures;
    f.Sent = sent, f.Received = check.Received(), f.Good = check.Good(), f.Errors = check.Errors();
    f.Seconds = Seconds(end);
    f.Kbps = f.Seconds > 0 ? double(f.Good) / 1024 / f.Seconds : 0;
    for (int k = 0; k < echo::FaultKinds; ++k) f.Count[k] = check.Count(echo::FaultKind(k)), f.Bytes[k] = check.Bytes(echo::FaultKind(k));
    f.Faults = check.Faults();
    // Whole seconds only: the last part-second would read low.
    for (std::size_t s = 0; s < eachSecond.size() && double(s + 1) <= f.Seconds; ++s) f.KbpsEachSecond.push_back(double(eachSecond[s]) / 1024);

    if (ended == End::Silent)
        lines.push_back(LoopbackName + ": the board stopped echoing: nothing came back as sent for " +
                        Fixed(std::chrono::duration<double>(end - lastGood).count(), 1) + " s.");
    std::string line = LoopbackName + ": " + std::to_string(f.Sent) + " bytes sent, " + std::to_string(f.Good) + " came back as sent in " +
                       Fixed(f.Seconds) + " s (" + Fixed(f.Kbps) + " KB/s each way); ";
    if (check.OnItsWay()) line += Bytes(check.OnItsWay()) + " still on their way when it stopped; ";
    if (!f.Errors) line += "no errors.";
    else {
        line += std::to_string(f.Errors) + (f.Errors == 1 ? " error:" : " errors:");
        std::string sep = " ";
        for (int k = 0; k < echo::FaultKinds; ++k)
            if (f.Count[k]) line += sep + std::to_string(f.Count[k]) + " " + echo::FaultName(echo::FaultKind(k)) + " (" + Bytes(f.Bytes[k]) + ")", sep = ", ";
        line += ".";
    }
    lines.push_back(line);
    for (std::size_t i = 0; i < f.Faults.size() && i < LinesListed; ++i) {
        const echo::Fault &fault = f.Faults[i];
        lines.push_back(LoopbackName + ": byte " + std::to_string(fault.offset) + " (frame " + std::to_string(fault.offset / echo::FrameSize) +
                        ", " + Fixed(fault.seconds, 3) + " s): " + Bytes(fault.bytes) + " " + echo::FaultName(fault.kind) + ".");
    }
    if (f.Errors > LinesListed) lines.push_back(LoopbackName + ": and " + std::to_string(f.Errors - LinesListed) + " more.");
    if (const auto &first = check.First()) {
        const std::string where = LoopbackName + ": the first bad frame, " + std::to_string(f.Faults.front().offset / echo::FrameSize) + ", from byte " +
                                  std::to_string(first->at);
        lines.push_back(where + ", as sent: " + Hex(first->sent));
        lines.push_back(where + ", as it came: " + (first->came.empty() ? "nothing" : Hex(first->came)));
    }
}

// ---------------------------------------------------------------- round trips

const std::vector<double> &HistogramBounds()
{
    static const std::vector<double> bounds = {0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
    return bounds;
}

std::vector<std::uint64_t> Histogram(const std::vector<double> &ms)
{
    const std::vector<double> &bounds = HistogramBounds();
    std::vector<std::uint64_t> bins(bounds.size() + 1);
    for (double v : ms) ++bins[std::size_t(std::upper_bound(bounds.begin(), bounds.end(), v) - bounds.begin())];
    return bins;
}

const std::vector<std::size_t> &TRoundTripTest::LatencySizes()
{
    static const std::vector<std::size_t> sizes = {1, 64, 512};
    return sizes;
}

const std::vector<std::size_t> &TRoundTripTest::PacketSizes()
{
    static const std::vector<std::size_t> sizes = [] {
        std::vector<std::size_t> s = {1};
        for (std::size_t n = 1; n <= 32; ++n) s.insert(s.end(), {n * 64 - 1, n * 64, n * 64 + 1});
        return s;
    }();
    return sizes;
}

TRoundTripTest::TRoundTripTest(BYTE port, const std::string &separator, Kind kind, int count, std::chrono::milliseconds limit)
    : TLinkTest(port, kind == Kind::Latency ? LatencyName : PacketSizesName, separator), kind(kind),
      count(kind == Kind::Latency ? std::max(count, 1) : 1), limit(limit)
{
    for (std::size_t bytes : kind == Kind::Latency ? LatencySizes() : PacketSizes()) {
        sizes.emplace_back();
        sizes.back().Bytes = bytes;
    }
}

void TRoundTripTest::Begin()
{
    const std::size_t n = sizes[size].Bytes;
    sentBytes.resize(n);
    stream.Copy(offset, sentBytes.data(), n);
    offset += n;
    got.clear(), gotBefore = 0;
    waiting = true;
    wrote = Clock::now();
    const DWORD went = WritePort(port, sentBytes.data(), DWORD(n));
    sentBytes.resize(went);  // what did not go cannot come back
}

// Whether the trip under way is over: back whole, or out of time.
bool TRoundTripTest::Judge(Clock::time_point now)
{
    TripFigures &f = sizes[size];
    const std::size_t n = sentBytes.size();
    // What came before its bytes is what an earlier trip owed; its own are the last to come.
    const bool whole = n && got.size() >= n && std::equal(sentBytes.begin(), sentBytes.end(), got.end() - std::ptrdiff_t(n));
    if (whole) {
        f.Ms.push_back(std::chrono::duration<double, std::milli>(now - wrote).count());
        if (got.size() > n && lastFailed && (trip > 0 || size > 0)) ++sizes[size - (trip == 0 ? 1 : 0)].CameLate;
        owed = 0;  // whatever came before it was the earlier trips'
    } else if (now - wrote < limit) {
        return false;
    } else if (n && gotBefore + got.size() >= std::min<std::size_t>(owed, gotBefore + got.size()) + n) {
        // As many as it sent came after what earlier trips still owed, and they are not its bytes.
        ++f.Changed;
    } else {
        ++f.NotBack;
    }
    ++f.Trips;
    // Silent: none of its bytes came back, nor of the trip before (a board
    // that only talks is silent too; one that echoes late is not).
    auto in = [&](const std::vector<unsigned char> &bytes) {
        const std::size_t probe = std::min<std::size_t>(bytes.size(), 4);
        return probe && (std::search(got.begin(), got.end(), bytes.begin(), bytes.begin() + std::ptrdiff_t(probe)) != got.end() ||
                         std::search(got.begin(), got.end(), bytes.end() - std::ptrdiff_t(probe), bytes.end()) != got.end());
    };
    silentTrips = whole || in(sentBytes) || in(before) ? 0 : silentTrips + 1;
    before = sentBytes;
    // What may yet come of it and of those before: less what came meanwhile (all of a changed one came).
    const std::size_t came = gotBefore + got.size();
    if (!whole) owed = owed + n > came ? std::min<std::size_t>(owed + n - came, 1 << 20) : 0;
    lastFailed = !whole;
    waiting = false;
    if (++trip >= std::uint64_t(count)) trip = 0, ++size;
    return true;
}

TPortJob::State TRoundTripTest::Slice(std::chrono::milliseconds budget)
{
    if (ended != End::Going) return State::Ended;
    const Clock::time_point until = Clock::now() + budget;
    // Set once a slice: the port's time-outs are not set again inside a trip's timing.
    ShortWrites bounded(port, WriteLimit, PacketSizes().back());
    // A trip under way is waited on past the slice's end for a while, so
    // that a wait between slices never counts as the board's.
    while (Clock::now() < until || (waiting && Clock::now() - wrote < Overrun)) {
        if (!PortIsOpen(port)) return Finish(End::Closed);
        if (!waiting) {
            if (size >= sizes.size()) return Finish(End::Done);
            Begin();
        }
        const std::size_t n = Read();
        const Clock::time_point now = Clock::now();
        got.insert(got.end(), rx.begin(), rx.begin() + std::ptrdiff_t(n));
        // A board that floods keeps no more than the last megabyte here: a trip's bytes are the last to come.
        if (got.size() > (2u << 20)) gotBefore += got.size() - (1u << 20), got.erase(got.begin(), got.end() - (1 << 20));
        if (Judge(now) && silentTrips >= SilentTrips) return Finish(End::Silent);
    }
    return State::Going;
}

std::string TRoundTripTest::Progress() const
{
    const std::size_t at = std::min(size, sizes.size() - 1);
    return name + ": " + Bytes(sizes[at].Bytes) + (kind == Kind::Latency ? ", trip " + std::to_string(trip + 1) + " of " + std::to_string(count) : "") +
           "; Escape stops.";
}

void TRoundTripTest::Halt() { Finish(End::Halted); }

void TRoundTripTest::Summarise()
{
    if (ended == End::Silent)
        lines.push_back(name + ": the board stopped echoing: " + std::to_string(SilentTrips) + " transfers in a row brought none of their bytes back within " +
                        Said(limit) + ".");
    std::vector<std::string> failed;
    const TripFigures *slowest = nullptr;
    for (TripFigures &f : sizes) {
        std::vector<double> sorted = f.Ms;
        std::sort(sorted.begin(), sorted.end());
        if (!sorted.empty()) {
            const std::size_t n = sorted.size();
            f.Min = sorted.front(), f.Max = sorted.back();
            f.Median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
            f.P99 = sorted[std::size_t(std::ceil(0.99 * double(n))) - 1];  // the nearest rank
        }
        if (kind == Kind::Latency) {
            if (!f.Trips) continue;
            if (!sorted.empty())
                lines.push_back(name + ", " + Bytes(f.Bytes) + ", " + std::to_string(sorted.size()) + " round trips (ms): min " + Fixed(f.Min, 3) +
                                ", median " + Fixed(f.Median, 3) + ", p99 " + Fixed(f.P99, 3) + ", max " + Fixed(f.Max, 3) + ".");
            if (!sorted.empty()) {
                const std::vector<std::uint64_t> bins = Histogram(f.Ms);
                const std::vector<double> &bounds = HistogramBounds();
                std::string hist = name + ", " + Bytes(f.Bytes) + ", histogram (ms):";
                for (std::size_t b = 0; b < bins.size(); ++b)
                    if (bins[b])
                        hist += " " + (b == bounds.size() ? ">=" + Fixed(bounds[b - 1], 2) : "<" + Fixed(bounds[b], 2)) + ": " + std::to_string(bins[b]) + ",";
                hist.back() = '.';
                lines.push_back(hist);
            }
            if (f.NotBack || f.Changed)
                lines.push_back(name + ", " + Bytes(f.Bytes) + ": " + std::to_string(f.NotBack) + " of " + std::to_string(f.Trips) +
                                " not back whole within " + Said(limit) + ", " + std::to_string(f.Changed) + " came back changed.");
            continue;
        }
        if (!f.Trips) continue;
        if (!f.Ms.empty() && (!slowest || f.Max > slowest->Max)) slowest = &f;
        if (f.Ms.empty()) {
            failed.push_back(std::to_string(f.Bytes));
            lines.push_back(name + ": " + Bytes(f.Bytes) + (f.Changed ? " came back changed" : " did not come back whole within " + Said(limit)) +
                            (f.CameLate ? "; they came with the next transfer, as when a full packet's zero-length packet is missing." : "."));
        }
    }
    if (kind == Kind::Latency) return;
    std::size_t tried = 0;
    for (const TripFigures &f : sizes) tried += f.Trips ? 1 : 0;
    std::string line = name + ": " + std::to_string(tried) + " of " + std::to_string(sizes.size()) + " sizes tried, from 1 to " +
                       std::to_string(sizes.back().Bytes) + " bytes; ";
    if (!tried) line += "none was tried";
    else if (failed.empty()) line += "each came back whole within " + Said(limit);
    else {
        line += std::to_string(failed.size()) + " did not come back whole:";
        for (std::size_t i = 0; i < failed.size(); ++i) line += (i ? ", " : " ") + failed[i];
    }
    if (slowest) line += "; the slowest, " + Bytes(slowest->Bytes) + ", took " + Fixed(slowest->Max, 3) + " ms";
    lines.push_back(line + ".");
}
