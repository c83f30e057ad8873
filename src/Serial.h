// The console's serial work, with no toolkit and no window: the throughput
// tests' transfers and waits, the text of what came in, the line for a port
// that did not open, the speed's format and its floating-point fault rule.
#ifndef QUORVEL_SERIAL_H
#define QUORVEL_SERIAL_H

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Protocol.h"
#include "TovanTiming.h"
#include "WinCom.h"

// Floating-point division by zero, overflow and invalid operations are
// run-time faults here, never infinities or not-a-number values.
class EMathError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
extern const char *const FloatZeroDivideText;  // "Floating point division by zero"
extern const char *const FloatOverflowText;    // "Floating point overflow"
extern const char *const FloatInvalidText;     // "Invalid floating point operation"

// dividend / divisor, or the fault that the division raises.
long double FloatDivide(long double dividend, long double divisor);

// A speed as the log shows it: fixed, two decimals, at most 7 significant
// digits, the scientific form when the integer part needs more.
std::string FormatSpeed(long double value, const std::string &separator);

// The received bytes as one line of the log: one character per byte, NULs left out.
std::string ReceivedText(const unsigned char *data, DWORD count);

// What the log says after OpenPort(port, ...) returned false.
std::string OpenFailureLine(BYTE port);

// A limit as the log says it: "5 s", "0.25 s".
std::string SecondsText(std::chrono::milliseconds limit);

// A throughput test gives up when nothing has moved for this long.
constexpr std::chrono::milliseconds StallLimit{5000};

const std::string UploadName = "Speed PC -> PIC";
const std::string DownloadName = "Speed PIC -> PC";
// The line for a test that finds no open port.
std::string NoPortLine(const std::string &name);

// For a while, a write returns within the limit (at most a second) even when
// the board takes nothing: the port's usual rule (10 ms a byte) would hold
// the window for 41 s per upload block, or 100 s for a long text. A write of
// `bytes` that the usual rule ends sooner (the heartbeat's one byte: 20 ms)
// keeps that rule. The port's own rules come back at the end of the scope.
class ShortWrites {
public:
    ShortWrites(BYTE port, std::chrono::milliseconds limit, std::size_t bytes = ~std::size_t(0));
    ~ShortWrites();
    ShortWrites(const ShortWrites &) = delete;
    ShortWrites &operator=(const ShortWrites &) = delete;
    // The longest the write may take now.
    std::chrono::milliseconds Bound() const { return bound; }

private:
    BYTE port;
    COMMTIMEOUTS usual{};
    bool saved = false;
    std::chrono::milliseconds bound;
};

// What "Send" and the heartbeat write (WritePortText), bounded so: the count
// that really went, and the bound it had.
constexpr std::chrono::milliseconds SendLimit{1000};
DWORD SendText(BYTE port, const std::string &text, std::chrono::milliseconds *bound = nullptr);
// The same for bytes past what one text takes (a full box and its line end): every one, in one write.
DWORD SendBytes(BYTE port, const std::string &bytes, std::chrono::milliseconds *bound = nullptr);
// The line for a send the board took only part of within `bound`.
std::string PartSentLine(DWORD sent, std::size_t wanted, std::chrono::milliseconds bound = SendLimit);
// The line for a send whose write timed out on a driver that does not say what went.
std::string UnknownSentLine(std::size_t wanted, std::chrono::milliseconds bound = SendLimit);

// A test's figures in KB/s, for programs that read them rather than lines:
// the line's figure; for the upload also the rate until the transmit queue
// read empty and until the board's "*". Done is false for a test that gave up.
struct SpeedFigures {
    bool Done = false;
    bool DeliveredKnown = false;  // whether the PC's queue was seen empty by the board's "*"
    long double Speed = 0, Delivered = 0, Marked = 0;
};

// The upload's second line, from when the PC's queue read empty (where it was
// seen to) and when the board's "*" came, both from the first write; `above`
// is the figure of the line above. Fills `figures` where given.
std::string DeliveryLine(std::optional<std::chrono::steady_clock::duration> emptied, std::chrono::steady_clock::duration marked,
                         bool emptyAtOnce, long double above, const std::string &separator, SpeedFigures *figures);

// What a throughput test works with: the port, the stopwatch that times it,
// the buffer it reads into, and how its result is written.
struct SpeedTestRun {
    BYTE Port;
    TPerformanceTimer &Timer;
    unsigned char *Rx;
    DWORD RxSize;
    std::string Separator;
    std::chrono::milliseconds Stall = StallLimit;
    SpeedFigures *Figures = nullptr;  // filled when given
    // Called every 100 ms or so while the test waits: lets the system see the
    // window alive (Windows ghosts one that has not looked at its messages for 5 s).
    std::function<void()> KeepAlive = nullptr;
};

// Each runs one test on an open port and gives the lines for the log. The
// upload's figure times the writing alone; a second line gives the rate until
// the transmit queue read empty and until the board's "*" (or, when no "*"
// came, what is known of the queue). A
// stopwatch that measured no time is a fault (EMathError), as the speed's
// division is; in the upload that comes before the wait for the board's mark.
std::vector<std::string> UploadTest(const SpeedTestRun &run);
std::vector<std::string> DownloadTest(const SpeedTestRun &run);

#endif
