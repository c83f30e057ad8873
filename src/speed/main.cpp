// quorvel-speed: the console's two speed tests from the command line, for
// scripts and a board's CI. The same port table, stopwatch and serial work as
// the window, so the same protocol and the same figures.
//
// With --loopback, --latency or --packet-sizes, the link tests for a board
// that echoes, the window's own.
//
// Exit status: 0 the runs passed; 1 a median fell below --min-up/--min-down,
// or a link test passed --max-errors or --max-p99-ms; 2 the port did not
// open, or a run gave up (the board did not answer, or stopped echoing);
// 64 a usage error.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

#include "Quorvel.h"
#include "PortIdentity.h"
#include "LinkTests.h"
#include "Plot.h"
#include "Serial.h"

namespace {

const char Usage[] =
    "usage: quorvel-speed [--up | --down | --both] [--runs N] [--json] [--min-up KBPS] [--min-down KBPS] PORT\n"
    "       quorvel-speed [--loopback] [--latency] [--packet-sizes] [--seconds S | --bytes N] [--count N]\n"
    "                     [--timeout-ms MS] [--max-errors N] [--max-p99-ms MS] [--plot FILE.svg] [--json] PORT\n"
    "  --up, --down, --both  the speed tests (both unless a link test is asked for)\n"
    "  --loopback        numbered frames sent as fast as the echoing board takes them;\n"
    "                    every byte lost, doubled, reordered or changed, at its byte\n"
    "  --seconds S       how long the loopback runs (default 10), or --bytes N how much\n"
    "  --latency         round trips of 1, 64 and 512 bytes, --count N of each (default 100)\n"
    "  --packet-sizes    transfers of 1 and n x 64 - 1, n x 64, n x 64 + 1 bytes up to 2049\n"
    "  --timeout-ms MS   how long a round trip may take (default 1000; 500 for packet sizes)\n"
    "  --max-errors N    fail (status 1) beyond N errors over the link tests\n"
    "  --max-p99-ms MS   fail (status 1) when a latency size's p99 is above MS\n"
    "  --plot FILE.svg   the loopback's throughput each second and the latency histogram\n";

struct Options {
    bool up = true, down = true, json = false;
    int runs = 5;
    double minUp = -1, minDown = -1;
    std::string port;
    bool loopback = false, latency = false, packetSizes = false;
    double seconds = 10, bytes = 0, count = 100, timeoutMs = -1, maxErrors = -1, maxP99 = -1;
    std::string plot;
};

int UsageError(const std::string &why)
{
    std::fprintf(stderr, "quorvel-speed: %s\n%s", why.c_str(), Usage);
    return 64;
}

// A finite number, 0 or more: "inf", "nan" and 1e999 are no speeds.
bool Number(const char *text, double &value)
{
    // Plain decimal only: strtod would take " 5" and 0x10 too.
    if (!*text || std::strpbrk(text, " \t\n\r\f\vxXpP")) return false;
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == 0 && std::isfinite(value) && value >= 0;
}

// PORT as the console names ports (1 to 20), or a device of the platform's
// own: a path on Linux, COMn (any n) on Windows. The slot, and the name it opens.
bool ChoosePort(const std::string &text, BYTE &port, std::string &name)
{
    std::string digits = text;
#if defined(_WIN32)
    if (text.size() > 3 && (text[0] == 'C' || text[0] == 'c') && (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm'))
        digits = text.substr(3);
#else
    if (!text.empty() && text[0] == '/') return port = 1, name = text, true;
#endif
    if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    unsigned long n = std::strtoul(digits.c_str(), nullptr, 10);
    if (n >= 1 && n <= unsigned(PortCount)) return port = BYTE(n), name.clear(), true;
    if (digits.size() == text.size() || n == 0) return false;  // a bare number is one of the console's
    return port = 1, name = "\\\\.\\COM" + std::to_string(n), true;
}

// A JSON string of the system's text, always valid UTF-8 (Windows names its
// devices in the ANSI code page).
std::string Json(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : Utf8FromSystem(text)) {
        if (c == '"' || c == '\\') out += '\\', out += char(c);
        else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else out += char(c);
    }
    return out + '"';
}

// What the board is, where it is a USB device; null where it is not.
std::string IdentityJson(const TPortIdentity &id)
{
    if (id.vid.empty()) return "null";
    return "{\"vid\": " + Json(id.vid) + ", \"pid\": " + Json(id.pid) + ", \"serial\": " + (id.serial.empty() ? "null" : Json(id.serial)) +
           ", \"product\": " + Json(id.product) + ", \"usb_path\": " + Json(id.usbPath) +
           ", \"interface\": " + (id.function.empty() ? "null" : Json(id.function)) + "}";
}

std::string Figure(long double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", double(value));
    return text;
}

struct Run {
    int number;
    bool upload;
    SpeedFigures figures;
    std::vector<std::string> lines;
};

struct Spread {
    double min = 0, median = 0, max = 0;
};

Spread Of(std::vector<double> values)
{
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.min = values.front(), s.max = values.back();
    std::size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

// The link tests' numbers: which option, into what, and what it takes.
struct LinkNumber {
    const char *name;
    double Options::*into;
    bool whole;
    double low, high;
    const char *what;
};
const LinkNumber LinkNumbers[] = {
    {"--seconds", &Options::seconds, false, 0.1, 86400, "a number of seconds from 0.1 to 86400"},
    {"--bytes", &Options::bytes, true, 1, 1e15, "a whole number of bytes from 1 to 1000000000000000"},
    {"--count", &Options::count, true, 1, 100000, "a whole number from 1 to 100000"},
    {"--timeout-ms", &Options::timeoutMs, true, 1, 60000, "a whole number of milliseconds from 1 to 60000"},
    {"--max-errors", &Options::maxErrors, true, 0, 1e15, "a whole number from 0"},
    {"--max-p99-ms", &Options::maxP99, false, 0, 1e9, "a number of milliseconds from 0"},
};
const LinkNumber *FindLinkNumber(const std::string &arg)
{
    for (const LinkNumber &n : LinkNumbers)
        if (arg == n.name) return &n;
    return nullptr;
}

std::string Ms(double ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

const char *EndName(TLinkTest::End end)
{
    return end == TLinkTest::End::Done ? "done" : end == TLinkTest::End::Silent ? "silent" : end == TLinkTest::End::Closed ? "closed" : "stopped";
}

std::string Lines(const std::vector<std::string> &lines)
{
    std::string out = "[";
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? ", " : "") + Json(lines[i]);
    return out + "]";
}

std::string LoopbackJson(const TLoopbackTest &t, const std::vector<std::string> &lines)
{
    const LoopbackFigures &f = t.Figures();
    std::string out = "{\"ended\": \"" + std::string(EndName(t.Ended())) + "\", \"sent\": " + std::to_string(f.Sent) +
                      ", \"received\": " + std::to_string(f.Received) + ", \"good\": " + std::to_string(f.Good) + ", \"seconds\": " + Ms(f.Seconds) +
                      ", \"kbps\": " + Figure(f.Kbps) + ", \"errors\": " + std::to_string(f.Errors) + ", \"faults\": {";
    for (int k = 0; k < echo::FaultKinds; ++k)
        out += std::string(k ? ", " : "") + "\"" + echo::FaultName(echo::FaultKind(k)) + "\": {\"count\": " + std::to_string(f.Count[k]) +
               ", \"bytes\": " + std::to_string(f.Bytes[k]) + "}";
    out += "}, \"list\": [";
    for (std::size_t i = 0; i < f.Faults.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"kind\": \"" + echo::FaultName(f.Faults[i].kind) + "\", \"offset\": " + std::to_string(f.Faults[i].offset) +
               ", \"bytes\": " + std::to_string(f.Faults[i].bytes) + ", \"seconds\": " + Ms(f.Faults[i].seconds) + "}";
    out += "], \"kbps_each_second\": [";
    for (std::size_t i = 0; i < f.KbpsEachSecond.size(); ++i) out += (i ? ", " : "") + Figure(f.KbpsEachSecond[i]);
    out += "]";
    if (const auto &first = t.Check().First()) {
        auto hex = [](const std::vector<unsigned char> &bytes) {
            std::string h;
            for (unsigned char b : bytes) h += "0123456789abcdef"[b >> 4], h += "0123456789abcdef"[b & 15];
            return "\"" + h + "\"";
        };
        out += ", \"first_bad\": {\"frame\": " + std::to_string(f.Faults.front().offset / echo::FrameSize) + ", \"at\": " + std::to_string(first->at) +
               ", \"sent\": " + hex(first->sent) + ", \"came\": " + hex(first->came) + "}";
    }
    return out + ", \"lines\": " + Lines(lines) + "}";
}

std::string TripsJson(const TRoundTripTest &t, const std::vector<std::string> &lines)
{
    std::string out = "{\"ended\": \"" + std::string(EndName(t.Ended())) + "\", \"limit_ms\": " + std::to_string(t.Limit().count()) +
                      ", \"histogram_bounds_ms\": [";
    for (std::size_t i = 0; i < HistogramBounds().size(); ++i) out += (i ? ", " : "") + Ms(HistogramBounds()[i]);
    out += "], \"sizes\": [";
    bool firstSize = true;
    for (const TripFigures &f : t.Figures()) {
        if (!f.Trips) continue;
        out += std::string(firstSize ? "" : ", ") + "{\"bytes\": " + std::to_string(f.Bytes) + ", \"trips\": " + std::to_string(f.Trips) +
               ", \"back\": " + std::to_string(f.Ms.size()) + ", \"not_back\": " + std::to_string(f.NotBack) + ", \"changed\": " +
               std::to_string(f.Changed) + ", \"came_late\": " + std::to_string(f.CameLate);
        if (!f.Ms.empty())
            out += ", \"min_ms\": " + Ms(f.Min) + ", \"median_ms\": " + Ms(f.Median) + ", \"p99_ms\": " + Ms(f.P99) + ", \"max_ms\": " + Ms(f.Max);
        out += ", \"histogram\": [";
        const std::vector<std::uint64_t> bins = Histogram(f.Ms);
        for (std::size_t i = 0; i < bins.size(); ++i) out += (i ? ", " : "") + std::to_string(bins[i]);
        out += "]}";
        firstSize = false;
    }
    return out + "], \"lines\": " + Lines(lines) + "}";
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    bool chose = false;
    std::vector<std::string> given;  // the link tests' numbers given
    bool runsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](double &into) {
            if (i + 1 >= argc || !Number(argv[i + 1], into)) return false;
            return ++i, true;
        };
        if (arg == "--up" || arg == "--down" || arg == "--both") {
            if (chose) return UsageError("choose one of --up, --down and --both");
            chose = true, o.up = arg != "--down", o.down = arg != "--up";
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--runs") {
            double runs = 0;
            if (!value(runs) || runs < 1 || runs > 1000 || runs != int(runs)) return UsageError("--runs takes a whole number from 1 to 1000");
            o.runs = int(runs), runsGiven = true;
        } else if (arg == "--min-up" || arg == "--min-down") {
            if (!value(arg == "--min-up" ? o.minUp : o.minDown)) return UsageError(arg + " takes a speed in KB/s");
        } else if (arg == "--loopback" || arg == "--latency" || arg == "--packet-sizes") {
            (arg == "--loopback" ? o.loopback : arg == "--latency" ? o.latency : o.packetSizes) = true;
        } else if (const LinkNumber *n = FindLinkNumber(arg)) {
            double &into = o.*(n->into);
            if (!value(into) || (n->whole && into != std::floor(into)) || into < n->low || into > n->high) return UsageError(arg + " takes " + n->what);
            given.push_back(arg);
        } else if (arg == "--plot") {
            if (i + 1 >= argc || !*argv[i + 1]) return UsageError("--plot takes a file name");
            o.plot = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("no option " + arg);
        } else if (o.port.empty()) {
            o.port = arg;
        } else {
            return UsageError("one port only");
        }
    }
    if (o.port.empty()) return UsageError("which port?");
    const bool linkTests = o.loopback || o.latency || o.packetSizes;
    if (linkTests && !chose) o.up = o.down = false;  // the link tests alone, unless the speed tests are asked for too
    auto has = [&](const char *name) { return std::find(given.begin(), given.end(), name) != given.end(); };
    if (has("--seconds") && has("--bytes")) return UsageError("choose one of --seconds and --bytes");
    // A number for a test that is not run would be taken and do nothing.
    if ((has("--seconds") || has("--bytes")) && !o.loopback) return UsageError("--seconds and --bytes need --loopback");
    if (has("--count") && !o.latency) return UsageError("--count needs --latency");
    if (has("--timeout-ms") && !o.latency && !o.packetSizes) return UsageError("--timeout-ms needs --latency or --packet-sizes");
    if (!o.plot.empty() && !o.loopback && !o.latency) return UsageError("--plot needs --loopback or --latency");
    if (has("--max-p99-ms") && !o.latency) return UsageError("--max-p99-ms needs --latency");
    if (has("--max-errors") && !linkTests) return UsageError("--max-errors needs a link test");
    if (runsGiven && !o.up && !o.down) return UsageError("--runs is for the speed tests: add --up, --down or --both");
    // A minimum for a direction that is not run would pass whatever the board does.
    if (o.minUp >= 0 && !o.up) return UsageError("--min-up needs the upload: --up or --both");
    if (o.minDown >= 0 && !o.down) return UsageError("--min-down needs the download: --down or --both");
    BYTE port = 0;
    std::string name;
    if (!ChoosePort(o.port, port, name)) return UsageError("no such port: " + o.port);
    SetPortDeviceName(port, name);

    // The plot is written beside its name first, and put under it at the end: a name
    // that cannot be written is said before the tests take their time, and a file
    // already there stays as it was until the new picture is whole.
    const std::string plotPart = o.plot + ".part";
    std::FILE *plot = o.plot.empty() ? nullptr : std::fopen(plotPart.c_str(), "wb");
    const bool plotRefused = !o.plot.empty() && !plot;
    if (plotRefused || !OpenPort(port, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000)) {
        const std::string why = plotRefused ? "quorvel-speed: the plot cannot be written to " + o.plot + ": " + std::strerror(errno) : OpenFailureLine(port);
        std::fprintf(stderr, "%s\n", why.c_str());
        // A script that reads the JSON gets the reason there too.
        if (o.json)
            std::printf("{\"port\": %s, \"device\": %s, \"identity\": null, \"runs\": [], \"summary\": {}, \"status\": 2, \"error\": %s}\n",
                        (name.empty() ? std::to_string(port) : Json(o.port)).c_str(), Json(PortDevicePath(port)).c_str(), Json(why).c_str());
        CloseAllPorts();
        if (plot) std::fclose(plot), std::remove(plotPart.c_str());
        return 2;
    }
    const std::string device = PortDevicePath(port);
    const TPortIdentity identity = PortIdentity(port);
    const bool progress = isatty(2) && !o.json;
    TPerformanceTimer timer("SendTime");
    std::vector<unsigned char> rx(64001);
    std::vector<Run> runs;
    int status = 0;
    for (int n = 1; n <= o.runs && status == 0; ++n) {
        for (bool upload : {true, false}) {
            if (!(upload ? o.up : o.down)) continue;
            if (progress) std::fprintf(stderr, "\rrun %d of %d: %s ...", n, o.runs, upload ? "PC -> PIC" : "PIC -> PC");
            Run run{n, upload, {}, {}};
            SpeedTestRun test{port, timer, rx.data(), DWORD(rx.size()), ".", StallLimit, &run.figures};
            try {
                run.lines = upload ? UploadTest(test) : DownloadTest(test);
            } catch (const std::exception &e) {
                run.lines = {TApplication::FaultText(e.what())};
            }
            if (progress) std::fprintf(stderr, "\r%*s\r", 40, "");
            if (!o.json)
                for (const std::string &line : run.lines) std::printf("%s\n", line.c_str());
            const bool done = run.figures.Done;
            runs.push_back(run);
            if (!done) {
                // The console's own words say what happened.
                for (const std::string &line : run.lines) std::fprintf(stderr, "%s\n", line.c_str());
                status = 2;
                break;
            }
        }
    }

    // The link tests, each to its end a slice at a time, as the window runs them.
    std::unique_ptr<TLoopbackTest> loop;
    std::unique_ptr<TRoundTripTest> latency, sizes;
    std::string linkError;
    std::vector<std::string> loopLines, latencyLines, sizeLines;
    auto drive = [&](TLinkTest &test, std::vector<std::string> &lines) {
        TPortJob::State state;
        do {
            state = test.Slice(std::chrono::milliseconds(100));
            for (const std::string &line : test.TakeLines()) {
                lines.push_back(line);
                if (!o.json) std::printf("%s\n", line.c_str());
            }
            if (progress) std::fprintf(stderr, "\r%-70.70s", state == TPortJob::State::Going ? test.Progress().c_str() : "");
        } while (state == TPortJob::State::Going);
        if (progress) std::fprintf(stderr, "\r%*s\r", 70, "");
        if (test.Ended() == TLinkTest::End::Silent || test.Ended() == TLinkTest::End::Closed) {
            status = 2;
            linkError = test.Ended() == TLinkTest::End::Silent ? "the board stopped echoing" : "the port closed";
        }
    };
    const auto limit = [&](int ms) { return std::chrono::milliseconds(o.timeoutMs > 0 ? (long long)o.timeoutMs : ms); };
    if (status == 0 && o.loopback) {
        TLoopbackTest::Limits limits;
        limits.duration = std::chrono::milliseconds((long long)(o.seconds * 1000));
        limits.bytes = std::uint64_t(o.bytes);
        drive(*(loop = std::make_unique<TLoopbackTest>(port, ".", limits)), loopLines);
    }
    if (status == 0 && o.latency) drive(*(latency = std::make_unique<TRoundTripTest>(port, ".", TRoundTripTest::Kind::Latency, int(o.count), limit(1000))), latencyLines);
    if (status == 0 && o.packetSizes) drive(*(sizes = std::make_unique<TRoundTripTest>(port, ".", TRoundTripTest::Kind::PacketSizes, 1, limit(500))), sizeLines);
    CloseAllPorts();
    // Errors over the link tests: the loopback's faults, the trips not back whole, the sizes that failed.
    std::uint64_t errors = loop ? loop->Figures().Errors : 0;
    for (const TRoundTripTest *t : {latency.get(), sizes.get()})
        for (const TripFigures &f : t ? t->Figures() : std::vector<TripFigures>{}) errors += f.NotBack + f.Changed;
    bool slow = false;
    for (const TripFigures &f : latency ? latency->Figures() : std::vector<TripFigures>{})
        slow = slow || (o.maxP99 >= 0 && f.Trips && (f.Ms.empty() || f.P99 > o.maxP99));
    if (status == 0 && ((o.maxErrors >= 0 && double(errors) > o.maxErrors) || slow)) status = 1;
    if (!o.plot.empty()) {
        const std::string svg = PlotSvg("quorvel-speed on " + Utf8FromSystem(device), loop ? loop->Figures().KbpsEachSecond : std::vector<double>{},
                                        latency ? latency->Figures() : std::vector<TripFigures>{});
        const bool wrote = std::fwrite(svg.data(), 1, svg.size(), plot) == svg.size();
        // (Windows renames over no file: the old one goes first, once the new one is whole.)
        const bool closed = std::fclose(plot) == 0 && wrote;
        if (closed) std::remove(o.plot.c_str());
        if (!closed || std::rename(plotPart.c_str(), o.plot.c_str()) != 0) {
            std::remove(plotPart.c_str());
            linkError = "the plot could not be written to " + o.plot;
            if (status == 0) status = 2;
        }
    }

    std::vector<double> up, down, delivered, marked;
    for (const Run &run : runs) {
        if (!run.figures.Done) continue;
        (run.upload ? up : down).push_back(double(run.figures.Speed));
        if (run.upload) marked.push_back(double(run.figures.Marked));
        // An unknown figure is no zero: it stays out of the median.
        if (run.upload && run.figures.DeliveredKnown) delivered.push_back(double(run.figures.Delivered));
    }
    const Spread u = Of(up), d = Of(down), t = Of(delivered), k = Of(marked);
    if (status == 0) {
        if (o.up && o.minUp >= 0 && u.median < o.minUp) status = 1;
        if (o.down && o.minDown >= 0 && d.median < o.minDown) status = 1;
    }

    if (o.json) {
        std::string out = "{\"port\": " + (name.empty() ? std::to_string(port) : Json(o.port)) + ", \"device\": " + Json(device) +
                          ", \"identity\": " + IdentityJson(identity) + ", \"runs\": [";
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Run &r = runs[i];
            out += std::string(i ? ", " : "") + "{\"run\": " + std::to_string(r.number) + ", \"direction\": " +
                   (r.upload ? "\"up\"" : "\"down\"") + ", \"done\": " + (r.figures.Done ? "true" : "false");
            if (r.figures.Done) {
                out += ", \"kbps\": " + Figure(r.figures.Speed);
                if (r.upload)
                    out += ", \"delivered_kbps\": " + (r.figures.DeliveredKnown ? Figure(r.figures.Delivered) : "null") +
                           ", \"marked_kbps\": " + Figure(r.figures.Marked);
            }
            out += ", \"lines\": [";
            for (std::size_t k = 0; k < r.lines.size(); ++k) out += (k ? ", " : "") + Json(r.lines[k]);
            out += "]}";
        }
        out += "], \"summary\": {";
        auto spread = [](const Spread &s) {
            return "{\"min\": " + Figure(s.min) + ", \"median\": " + Figure(s.median) + ", \"max\": " + Figure(s.max);
        };
        std::string sep;
        if (o.up && !up.empty())
            out += "\"up\": " + spread(u) + ", \"delivered_median\": " + (delivered.empty() ? "null" : Figure(t.median)) +
                       ", \"marked_median\": " + Figure(k.median) + "}",
                sep = ", ";
        if (o.down && !down.empty()) out += sep + "\"down\": " + spread(d) + "}";
        out += "}";
        if (loop) out += ", \"loopback\": " + LoopbackJson(*loop, loopLines);
        if (latency) out += ", \"latency\": " + TripsJson(*latency, latencyLines);
        if (sizes) out += ", \"packet_sizes\": " + TripsJson(*sizes, sizeLines);
        if (linkTests) out += ", \"errors\": " + std::to_string(errors);
        out += ", \"status\": " + std::to_string(status);
        if (!linkError.empty()) out += ", \"error\": " + Json(linkError);
        // A run that gave up says why, in the console's words, where a script looks for it.
        if (status == 2 && linkError.empty() && !runs.empty() && !runs.back().lines.empty()) out += ", \"error\": " + Json(runs.back().lines.front());
        out += "}";
        std::printf("%s\n", out.c_str());
    } else {
        // Runs whose queue was never seen empty by the "*" are left out of that median, and said.
        std::string emptied = delivered.empty() ? "unknown" : Figure(t.median);
        if (!delivered.empty() && delivered.size() < up.size())
            emptied += " (known in " + std::to_string(delivered.size()) + " of " + std::to_string(up.size()) + " runs)";
        if (!up.empty())
            std::printf("%s (KB/s) over %zu runs: min %s, median %s, max %s; until the queue read empty, median %s; "
                        "until the \"*\", median %s\n",
                        UploadName.c_str(), up.size(), Figure(u.min).c_str(), Figure(u.median).c_str(), Figure(u.max).c_str(),
                        emptied.c_str(), Figure(k.median).c_str());
        if (!down.empty())
            std::printf("%s (KB/s) over %zu runs: min %s, median %s, max %s\n", DownloadName.c_str(), down.size(), Figure(d.min).c_str(),
                        Figure(d.median).c_str(), Figure(d.max).c_str());
    }
    if (status == 1 && linkTests)
        std::fprintf(stderr, "quorvel-speed: %s\n", slow ? "a latency's p99 was above --max-p99-ms" : ("the link tests found " + std::to_string(errors) + " errors, more than --max-errors").c_str());
    else if (status == 1) std::fprintf(stderr, "quorvel-speed: a median fell below its minimum\n");
    if (status == 2 && !linkError.empty()) std::fprintf(stderr, "quorvel-speed: %s\n", linkError.c_str());
    return status;
}
