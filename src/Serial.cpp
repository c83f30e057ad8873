#include "Serial.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

const char *const FloatZeroDivideText = "Floating point division by zero";
const char *const FloatOverflowText = "Floating point overflow";
const char *const FloatInvalidText = "Invalid floating point operation";

long double FloatDivide(long double dividend, long double divisor)
{
    if (std::isnan(dividend) || std::isnan(divisor) || (std::isinf(dividend) && std::isinf(divisor)))
        throw EMathError(FloatInvalidText);
    if (divisor == 0) throw EMathError(dividend == 0 ? FloatInvalidText : FloatZeroDivideText);
    long double quotient = dividend / divisor;
    if (std::isinf(quotient) && !std::isinf(dividend)) throw EMathError(FloatOverflowText);
    return quotient;
}

// ---------------------------------------------------------------- speeds

// Fixed-point with two decimals and 7 significant digits; scientific beyond that.
std::string FormatSpeed(long double value, const std::string &separator)
{
    constexpr int Precision = 7, Decimals = 2;
    if (std::isnan(value) || std::isinf(value)) throw EMathError(FloatInvalidText);
    std::string sign = std::signbit(value) && value != 0 ? "-" : "";
    // The value's decimal digits (18, as far as the type carries) and the
    // position of the decimal point after the first of them.
    char text[64];
    const double magnitude = double(std::fabs(value));  // plain double: every C library prints it
    if (std::isinf(magnitude)) throw EMathError(FloatOverflowText);  // beyond what a double holds
    std::snprintf(text, sizeof text, "%.17e", magnitude);
    std::string digits;
    const char *p = text;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits += *p;
    int point = std::atoi(p + 1) + 1;

    // Round once, half away from zero, to 7 significant digits or to 2 decimals, whichever comes first.
    int keep = std::min(Precision, point + Decimals);
    if (keep < 0) {
        digits.clear();
    } else {
        bool up = std::size_t(keep) < digits.size() && digits[std::size_t(keep)] >= '5';
        digits.resize(std::size_t(keep));
        for (int i = keep - 1; up && i >= 0; --i) {
            if (digits[std::size_t(i)] == '9') digits[std::size_t(i)] = '0';
            else digits[std::size_t(i)]++, up = false;
        }
        if (up) digits.insert(digits.begin(), '1'), ++point;
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (digits.empty()) sign.clear(), point = 1;

    if (point > Precision) {
        // More integer digits than the precision holds: d.dddddd E nn.
        std::string out = sign + digits[0];
        if (digits.size() > 1) out += separator + digits.substr(1);
        char power[16];
        std::snprintf(power, sizeof power, "E%02d", point - 1);
        return out + power;
    }
    auto digit = [&](int i) { return i >= 0 && std::size_t(i) < digits.size() ? digits[std::size_t(i)] : '0'; };
    std::string out = sign;
    if (point <= 0) out += '0';
    for (int i = 0; i < point; ++i) out += digit(i);
    out += separator;
    for (int i = point; i < point + Decimals; ++i) out += digit(i);
    return out;
}

// ---------------------------------------------------------------- reception and ports

std::string ReceivedText(const unsigned char *data, DWORD count)
{
    std::string text(reinterpret_cast<const char *>(data), count);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

namespace {

// A failed open said for the user: what went wrong, and what helps where we know.
std::string OpenFailure(DWORD code)
{
    std::string reason, hint;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        reason = "no such device";
        hint = "Is the board plugged in?";
        break;
    case ERROR_ACCESS_DENIED:
        reason = "access denied";
        hint = "The user may not use this device (on Linux: add the user to the group that owns "
               "it, usually dialout, and log in again), or another program holds it.";
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        reason = "busy";
        hint = "Another program holds the port: close it, then choose the port again.";
        break;
    case ERROR_INVALID_FUNCTION:
        reason = "not a serial port";
        break;
    default:
        reason = "the system refused it";
        break;
    }
    std::string text = reason + " (error " + std::to_string(code) + ").";
    return hint.empty() ? text : text + ' ' + hint;
}

}  // namespace

std::string OpenFailureLine(BYTE port)
{
    std::string where = "Port " + std::to_string(port) + " (" + PortDevicePath(port) + ")";
    DWORD code = OpenPortError();
    if (PortIsOpen(port)) return where + " opened, but its queues or time-outs could not be set: error " + std::to_string(code) + ".";
    return where + " did not open: " + OpenFailure(code);
}

// ---------------------------------------------------------------- throughput tests

std::string NoPortLine(const std::string &name) { return name + ": no port is open. Choose the board's port first."; }

namespace {

using Clock = std::chrono::steady_clock;

// When something last moved; a test's waits end once nothing has for the limit.
// Only the transfer itself counts as moving: the upload's writes and its
// transmit queue draining, the download's bytes arriving. So no path through
// either test holds the window longer than its transfer plus the limit,
// whatever else the board sends.
class Progress {
public:
    explicit Progress(std::chrono::milliseconds limit) : limit(limit) {}
    void Moved() { last = Clock::now(); }
    bool Stalled() const { return Clock::now() - last >= limit; }

private:
    std::chrono::milliseconds limit;
    Clock::time_point last = Clock::now();
};

// Calls the run's KeepAlive, at most every 100 ms.
class Alive {
public:
    explicit Alive(const SpeedTestRun &run) : keep(run.KeepAlive) {}
    void operator()()
    {
        if (!keep) return;
        const Clock::time_point now = Clock::now();
        if (now - last < std::chrono::milliseconds(100)) return;
        last = now;
        keep();
    }

private:
    const std::function<void()> &keep;
    Clock::time_point last = Clock::now();
};

std::string LineDropped(BYTE port)
{
    if (PortResponds(port)) return "";
    return " The line dropped: the port will be opened again by itself once the board is back.";
}

// The test volume over a stretch, in KB/s, and a stretch in ms, as speeds are written.
long double RateOf(Clock::duration stretch)
{
    const long double seconds = std::chrono::duration<long double>(stretch).count();
    return FloatDivide(FloatDivide(static_cast<long double>(TestVolume), seconds), 1024.0L);
}
std::string Rate(Clock::duration stretch, const std::string &separator) { return FormatSpeed(RateOf(stretch), separator); }
std::string Ms(Clock::duration stretch, const std::string &separator)
{
    return FormatSpeed(std::chrono::duration<long double, std::milli>(stretch).count(), separator) + " ms";
}

// The result line: bytes over the stopwatch's seconds, in KB/s.
std::string SpeedLine(const std::string &name, const SpeedTestRun &run, std::size_t bytes, long double *figure = nullptr)
{
    long double speed = FloatDivide(FloatDivide(static_cast<long double>(bytes), run.Timer.Seconds()), 1024.0L);
    if (run.Figures) run.Figures->Speed = speed;
    if (figure) *figure = speed;
    return name + " (KB/s): " + FormatSpeed(speed, run.Separator);
}

}  // namespace

ShortWrites::ShortWrites(BYTE port, std::chrono::milliseconds limit, std::size_t bytes)
    : port(port), bound(std::clamp<long long>(limit.count(), 1, 1000))
{
    if (!GetPortTimeouts(port, usual)) return;
    const unsigned long long own = (unsigned long long)usual.WriteTotalTimeoutMultiplier * std::min<std::size_t>(bytes, 1u << 24) +
                                   usual.WriteTotalTimeoutConstant;
    if ((usual.WriteTotalTimeoutMultiplier || usual.WriteTotalTimeoutConstant) && own <= (unsigned long long)bound.count()) {
        bound = std::chrono::milliseconds(own);
        return;
    }
    COMMTIMEOUTS brief = usual;
    brief.WriteTotalTimeoutMultiplier = 0;
    brief.WriteTotalTimeoutConstant = DWORD(bound.count());
    saved = SetPortTimeouts(port, brief);
}

ShortWrites::~ShortWrites()
{
    if (saved) SetPortTimeouts(port, usual);
}

DWORD SendText(BYTE port, const std::string &text, std::chrono::milliseconds *bound)
{
    ShortWrites bounded(port, SendLimit, std::min<std::size_t>(text.size(), PortTextLimit));
    if (bound) *bound = bounded.Bound();
    return WritePortText(port, text);
}

DWORD SendBytes(BYTE port, const std::string &bytes, std::chrono::milliseconds *bound)
{
    ShortWrites bounded(port, SendLimit, bytes.size());
    if (bound) *bound = bounded.Bound();
    return WritePort(port, bytes.data(), DWORD(bytes.size()));
}

std::string SecondsText(std::chrono::milliseconds limit)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", double(limit.count()) / 1000.0);
    return text;
}

std::string PartSentLine(DWORD sent, std::size_t wanted, std::chrono::milliseconds bound)
{
    return "Send: the board took only " + std::to_string(sent) + " of " + std::to_string(wanted) + " bytes within " +
           SecondsText(bound) + ".";
}

std::string UnknownSentLine(std::size_t wanted, std::chrono::milliseconds bound)
{
    return "Send: the write of " + std::to_string(wanted) + " bytes timed out within " + SecondsText(bound) +
           " (error 121); how many the board took is unknown.";
}

std::string DeliveryLine(std::optional<std::chrono::steady_clock::duration> emptied, std::chrono::steady_clock::duration marked,
                         bool emptyAtOnce, long double above, const std::string &separator, SpeedFigures *figures)
{
    // A queue found empty only after the mark had emptied by the mark: the
    // board answers once every byte is in. The moment is capped there.
    const bool atMark = emptied && !emptyAtOnce && marked < *emptied;
    if (atMark) emptied = marked;
    long double rate = emptied ? RateOf(*emptied) : 0;
    std::string line = UploadName + " to the board (KB/s): ";
    if (!emptied) line += "unknown (the PC's queue had not read empty when its \"*\" came)";
    else if (emptyAtOnce) line += FormatSpeed(rate = above, separator) + " (the PC's queue read empty as the last write returned, so as above)";
    else if (atMark) line += FormatSpeed(rate, separator) + " (the PC's queue read empty only as its \"*\" came)";
    else line += FormatSpeed(rate, separator) + " (the PC's queue empty after " + Ms(*emptied, separator) + ")";
    line += "; until its \"*\": " + Rate(marked, separator) + " (after " + Ms(marked, separator) + ")";
    if (figures) {
        figures->Done = true;
        figures->DeliveredKnown = bool(emptied);
        figures->Delivered = rate;
        figures->Marked = RateOf(marked);
    }
    return line;
}

std::vector<std::string> UploadTest(const SpeedTestRun &run)
{
    const BYTE port = run.Port;
    std::array<unsigned char, UploadBlock> block;
    block.fill('_');
    PurgeInput(port);
    PurgeOutput(port);
    block[0] = AnnounceByte;
    WritePort(port, block.data(), 1);
    Sleep(100);

    // 64 blocks, each "%" and 4095 "_". A block the board takes only in part
    // is finished before the next one; the board must take all 262144 bytes
    // for the speed to stand.
    std::size_t sent = 0;
    unsigned long long other = 0;  // bytes read that did not begin with the mark
    Clock::time_point began;
    {
        ShortWrites bounded(port, run.Stall);
        Progress progress(run.Stall);
        Alive alive(run);
        run.Timer.Reset();
        began = Clock::now();
        run.Timer.Start();
        for (std::size_t i = 0; i < TestVolume / UploadBlock; ++i) {
            std::size_t done = 0;
            while (done < UploadBlock && !progress.Stalled()) {
                // A board that talks while it takes the upload is heard out
                // first. A Windows driver reads into its queue all along; a
                // terminal (Linux, Wine) holds a few KB, and a board whose
                // text no longer goes out may stop reading the upload. This
                // cannot be the mark, which comes once every byte is in.
                if (BytesWaiting(port) != 0) other += ReadPort(port, run.Rx, run.RxSize);
                alive();
                DWORD n = WritePort(port, block.data() + done, DWORD(UploadBlock - done));
                done += n;
                if (n) progress.Moved();
                else Sleep(1);  // a failed write returns at once; do not spin on it
            }
            sent += done;
            if (done < UploadBlock) break;
        }
        run.Timer.Stop();
    }
    const Clock::time_point wrote = Clock::now();
    if (sent < TestVolume)
        return {UploadName + ": the board took nothing for " + SecondsText(run.Stall) + "; " + std::to_string(sent) + " of " +
                std::to_string(TestVolume) + " bytes went out." + LineDropped(port)};
    // The fixed volume over the timed writing; formatted now, before the wait.
    long double above = 0;
    const std::string result = SpeedLine(UploadName, run, TestVolume, &above);

    // The board's mark: a read that begins with "*". What comes before it is
    // read and dropped, and is no progress: a board that keeps sending must
    // not hold the wait open. Only the last block still draining is.
    // Beside it, when the bytes had really left: the first status refresh
    // that finds the transmit queue empty ("delivered"), and when the mark
    // came ("marked"), which adds the board's own reaction.
    Progress progress(run.Stall);
    RefreshStatus(port);
    DWORD queued = BytesQueuedOut(port);
    const bool emptyAtOnce = queued == 0;  // or the driver tells no queue
    std::optional<Clock::time_point> delivered, marked;
    if (emptyAtOnce) delivered = wrote;
    Alive alive(run);
    do {
        alive();
        run.Rx[0] = ' ';
        const DWORD waiting = BytesWaiting(port);
        const Clock::time_point seen = Clock::now();
        DWORD now = BytesQueuedOut(port);  // as BytesWaiting just saw it
        if (now == 0 && !delivered) delivered = seen;
        if (waiting != 0) {
            DWORD n = ReadPort(port, run.Rx, run.RxSize);
            if (n != 0 && run.Rx[0] != DoneByte) other += n;
            if (n != 0 && run.Rx[0] == DoneByte) marked = Clock::now();
        }
        if (now < queued) progress.Moved();
        queued = now;
        if (run.Rx[0] != DoneByte && progress.Stalled()) {
            std::string line = UploadName + ": all " + std::to_string(TestVolume) + " bytes went out, but no \"*\" came back within " +
                               SecondsText(run.Stall);
            if (other != 0) line += "; the board kept sending other bytes (" + std::to_string(other) + " of them).";
            else line += '.';
            std::string known = delivered ? UploadName + ": the PC's queue read empty after " + Ms(*delivered - began, run.Separator) +
                                                " (" + Rate(*delivered - began, run.Separator) + " KB/s)."
                                          : UploadName + ": " + std::to_string(queued) + " bytes were still in the PC's queue.";
            return {line + LineDropped(port), known};
        }
    } while (run.Rx[0] != DoneByte);
    if (!delivered) {
        RefreshStatus(port);
        if (BytesQueuedOut(port) == 0) delivered = Clock::now();
    }
    std::optional<Clock::duration> emptied;
    if (delivered) emptied = *delivered - began;
    const std::string second = DeliveryLine(emptied, *marked - began, emptyAtOnce, above, run.Separator, run.Figures);
    return {result, second};
}

std::vector<std::string> DownloadTest(const SpeedTestRun &run)
{
    const BYTE port = run.Port;
    DWORD total = 0;
    PurgeInput(port);
    PurgeOutput(port);
    WritePortText(port, std::string(1, char(RequestByte)));
    run.Timer.Reset();
    run.Timer.Start();
    Progress progress(run.Stall);
    Alive alive(run);
    while (total < TestVolume) {
        alive();
        DWORD n = BytesWaiting(port) != 0 ? ReadPort(port, run.Rx, run.RxSize) : 0;
        total += n;
        if (n) progress.Moved();
        else if (progress.Stalled()) break;
    }
    run.Timer.Stop();
    if (total < TestVolume)
        return {DownloadName + ": nothing came for " + SecondsText(run.Stall) + "; " + std::to_string(total) + " of " +
                std::to_string(TestVolume) + " bytes came." + LineDropped(port)};
    std::vector<std::string> lines = {SpeedLine(DownloadName, run, total)};
    if (run.Figures) run.Figures->Done = true;
    // The last read can bring more than was asked for; the speed counts it, and says so.
    if (total > TestVolume)
        lines.push_back(DownloadName + ": " + std::to_string(total - TestVolume) + " bytes came beyond " + std::to_string(TestVolume) + ".");
    return lines;
}
