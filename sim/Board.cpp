#include "Board.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

const char *const Usage =
    "usage: quorvel-sim [--port N] [--rate KBPS] [--silent] [--short N] [--extra N]\n"
    "                   [--hangup-after N] [--stream KBPS] [--noise] [--folder DIR]\n"
    "                   [--device PATH] [--chaos SEED]\n"
    "       quorvel-sim --echo [--drop-every N] [--corrupt-every N] [--duplicate-every N]\n"
    "                   [--swap-every N] [--hold-size N] [--echo-delay MS]\n"
    "                   [--stop-echo-after N] [--port N] [--rate KBPS] [--folder DIR] [--device PATH]\n"
    "  --port N          link the board as port N, 1 to 20 (default 20)\n"
    "  --rate KBPS       pace both directions at KBPS KB (1024 bytes) per second\n"
    "  --silent          never answer a throughput test\n"
    "  --short N         send N bytes fewer than a download asks for\n"
    "  --extra N         send N bytes more than a download asks for\n"
    "  --hangup-after N  drop the link N bytes into each transfer, back 1 s later\n"
    "  --stream KBPS     send lines of text unasked, KBPS KB per second\n"
    "  --noise           mix NUL, CR, LF and bytes 0x80 to 0xFF into the echo\n"
    "  --folder DIR      link the port as DIR/comN (a Wine prefix's dosdevices, say)\n"
    "  --device PATH     serve that terminal (a USB gadget's /dev/ttyGS0, say) instead\n"
    "                    of a pseudo-terminal of its own; nothing is linked\n"
    "  --chaos SEED      a board that does anything, at random but the same for the\n"
    "                    same seed: any bytes, floods, stray \"*\", downloads short,\n"
    "                    long, late, trickling or missing, marks early, late or never,\n"
    "                    pauses in reading, unplugging; each choice is printed with its\n"
    "                    time. Text \"!calm!\" from the console ends it: the board\n"
    "                    answers \"calm\" on a line of its own and is as the other\n"
    "                    options make it from then on\n"
    "  --echo            send back every byte as it came, for the console's link tests;\n"
    "                    the rest prove them (the Nth byte counts from 1; N from 8):\n"
    "  --drop-every N    drop every Nth byte got\n"
    "  --corrupt-every N change every Nth byte (XOR 0x55)\n"
    "  --duplicate-every N  send every Nth byte twice\n"
    "  --swap-every N    send every Nth byte after the one that follows it\n"
    "  --hold-size N     hold back a read of exactly N bytes until more comes, as a\n"
    "                    device stack that sends no zero-length packet\n"
    "  --echo-delay MS   send each echo MS milliseconds after it came\n"
    "  --stop-echo-after N  echo the first N bytes, then nothing\n"
    "Signals: USR1 prints the counts; USR2 unplugs the board, back 1 s later.\n";

namespace {

bool Number(const char *text, double low, double high, double &value)
{
    if (!text || !*text) return false;
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (errno || *end || !(v >= low && v <= high)) return false;
    value = v;
    return true;
}

bool Whole(const char *text, double low, double high, long long &value)
{
    double v;
    if (!Number(text, low, high, v) || v != static_cast<double>(static_cast<long long>(v))) return false;
    value = static_cast<long long>(v);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char **argv, Options &options, std::string &error)
{
    std::string echoFault;  // an option that only an echoing board takes
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        long long whole = 0;
        double real = 0;
        auto bad = [&](const char *what) {
            error = name + " needs " + what + (value ? std::string(", not \"") + value + "\"" : std::string());
            return false;
        };
        if (name == "--silent") options.silent = true;
        else if (name == "--noise") options.noise = true;
        else if (name == "--port") {
            if (!Whole(value, 1, 20, whole)) return bad("a port number from 1 to 20");
            options.port = int(whole), ++i;
        } else if (name == "--rate" || name == "--stream") {
            if (!Number(value, 0.001, 1e7, real)) return bad("a speed in KB/s above 0");
            (name == "--rate" ? options.rate : options.stream) = real, ++i;
        } else if (name == "--short" || name == "--extra") {
            double most = name == "--short" ? double(TestVolume) : 1e9;
            if (!Whole(value, 0, most, whole)) return bad(name == "--short" ? "a byte count from 0 to 262144" : "a byte count");
            (name == "--short" ? options.shortBy : options.extra) = std::size_t(whole), ++i;
        } else if (name == "--folder") {
            if (!value || *value != '/') return bad("an absolute folder");
            options.folder = value, ++i;
        } else if (name == "--device") {
            if (!value || *value != '/') return bad("an absolute device path");
            options.device = value, ++i;
        } else if (name == "--chaos") {
            if (!Whole(value, 0, 9007199254740991.0, whole)) return bad("a seed, a whole number from 0");
            options.chaos = std::uint64_t(whole), ++i;
        } else if (name == "--echo") {
            options.echo = true;
        } else if (name == "--drop-every" || name == "--corrupt-every" || name == "--duplicate-every" || name == "--swap-every") {
            // Faults closer together than that come out of the console's check as one stretch.
            if (!Whole(value, 8, 1e15, whole)) return bad("a count from 8");
            (name == "--drop-every" ? options.dropEvery : name == "--corrupt-every" ? options.corruptEvery
                                                          : name == "--duplicate-every" ? options.duplicateEvery : options.swapEvery) =
                std::uint64_t(whole);
            echoFault = name, ++i;
        } else if (name == "--hold-size" || name == "--echo-delay" || name == "--stop-echo-after") {
            if (!Whole(value, name == "--hold-size" ? 1 : 0, name == "--hold-size" ? 65536 : 1e15, whole))
                return bad(name == "--echo-delay" ? "milliseconds" : "a byte count");
            if (name == "--hold-size") options.holdSize = std::size_t(whole);
            else (name == "--echo-delay" ? options.echoDelayMs : options.stopEchoAfter) = whole;
            echoFault = name, ++i;
        } else if (name == "--hangup-after") {
            if (!Whole(value, 0, 1e12, whole)) return bad("a byte count");
            options.hangupAfter = whole, ++i;
        } else {
            error = "unknown option " + name;
            return false;
        }
    }
    if (!echoFault.empty() && !options.echo) {
        error = echoFault + " is for an echoing board: add --echo";
        return false;
    }
    if (options.echo && (options.silent || options.shortBy || options.extra || options.hangupAfter >= 0 || options.stream > 0 ||
                         options.noise || options.chaos)) {
        error = "--echo sends back what came, and takes none of the protocol's options";
        return false;
    }
    if (!options.device.empty() && options.hangupAfter >= 0) {
        error = "--hangup-after drops the simulator's own terminal; with --device, unplug the device itself";
        return false;
    }
    return true;
}

std::string FormatCounts(const Counts &c)
{
    return "received text " + std::to_string(c.text) + ", heartbeats " + std::to_string(c.heartbeats) +
           ", announces " + std::to_string(c.announces) + ", upload " + std::to_string(c.upload) + " (" +
           std::to_string(c.uploadMarks) + " \"%\")" +
           ", requests " + std::to_string(c.requests) + "; sent " + std::to_string(c.sent);
}

std::string FormatUploadTiming(const UploadTiming &t)
{
    char text[160];
    if (t.bytes == 0 || t.seconds <= 0)
        std::snprintf(text, sizeof text, "upload of %zu bytes arrived in one read", TestVolume);
    else
        std::snprintf(text, sizeof text, "upload of %zu bytes arrived at %.2f KB/s (first to last byte: %zu bytes in %.6f s)",
                      TestVolume, double(t.bytes) / t.seconds / 1024, t.bytes, t.seconds);
    return text;
}

// ---------------------------------------------------------------- Pacer

Pacer::Pacer(double bytesPerSecond, Clock::time_point now)
    : rate(bytesPerSecond), burst(std::max(1.0, bytesPerSecond * 0.002)), owed(std::max(burst, bytesPerSecond * 0.1)), tokens(burst),
      last(now)
{
}

std::size_t Pacer::Allowed(Clock::time_point now)
{
    if (rate <= 0) return SIZE_MAX;
    std::chrono::duration<double> gone = now - last;
    last = now;
    tokens = std::min(owed, tokens + gone.count() * rate);
    return tokens >= 1 ? std::size_t(std::min(tokens, burst)) : 0;
}

void Pacer::Use(std::size_t n)
{
    if (rate > 0) tokens -= double(n);
}

Clock::time_point Pacer::Ready() const
{
    // Half a burst at a time: few wake-ups, and still no gaps in the flow.
    // Nothing to wait for when unpaced or when that much is there already.
    double want = std::max(1.0, burst / 2) - tokens;
    if (rate <= 0 || want <= 0) return Clock::time_point::max();
    return last + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(want / rate));
}

// ---------------------------------------------------------------- Board

Board::Board(const Options &o, Clock::time_point now)
    : options(o), rx(o.rate * 1024, now), tx(o.rate * 1024, now), streamPacer(o.stream * 1024, now)
{
}

void Board::Queue(const std::string &bytes)
{
    if (head > 65536 && head * 2 > out.size()) {
        out.erase(0, head);
        head = 0;
    }
    out += bytes;
    queued += bytes.size();
}

void Board::QueueDownload()
{
    std::size_t size = TestVolume - options.shortBy + options.extra;
    if (options.hangupAfter >= 0 && std::size_t(options.hangupAfter) <= size) hangupAt = queued + std::uint64_t(options.hangupAfter);
    // Printable, so that whatever a console shows of it reads sanely. Made
    // once: the request's answer must start as fast as a board's would.
    if (download.size() != size) {
        static const char pattern[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        download.assign(size, ' ');
        for (std::size_t i = 0; i < size; ++i) download[i] = pattern[i % (sizeof pattern - 1)];
    }
    Queue(download);
}

void Board::Receive(const unsigned char *data, std::size_t n, Clock::time_point now)
{
    if (Pending() == 0) tx.Idle(now);  // what the answer may make up starts now
    rx.Use(n);
    std::string answer;
    bool firstRead = false;  // this read brought the upload's first data byte
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char b = data[i];
        if (uploading) {
            // Upload data goes in runs, to the end of the upload or of this read:
            // one look per byte would make the board slower than the console.
            std::size_t take = std::min(n - i, TestVolume - uploadGot);
            counts.upload += take;
            counts.uploadMarks += std::uint64_t(std::count(data + i, data + i + take, AnnounceByte));
            if (uploadGot == 0) firstUploadRead = now, firstReadBytes = take, firstRead = true;
            uploadGot += take;
            i += take - 1;
            lastUploadByte = now;
            if (options.hangupAfter >= 0 && uploadGot >= std::size_t(options.hangupAfter)) hungUp = true;
            if (uploadGot == TestVolume) {
                uploading = false;
                uploadTiming = UploadTiming{TestVolume - firstReadBytes, std::chrono::duration<double>(now - firstUploadRead).count()};
                if (!options.silent) answer += char(DoneByte);
            }
            continue;
        }
        if (b == AnnounceByte) {
            ++counts.announces;
            uploading = true;
            uploadGot = 0;
            lastUploadByte = now;
            if (options.hangupAfter == 0) hungUp = true;
        } else if (b == RequestByte) {
            ++counts.requests;
            if (!options.silent) {
                Queue(answer);
                answer.clear();
                QueueDownload();
            }
        } else if (b == HeartbeatByte) {
            ++counts.heartbeats;
        } else {
            ++counts.text;
            answer += char(b);
            if (options.noise) {
                // NUL, CR, LF or a byte from 0x80 to 0xFF, one after each echoed byte.
                noiseState = noiseState * 1664525u + 1013904223u;
                unsigned pick = (noiseState >> 16) % 131;
                answer += char(pick == 0 ? 0x00 : pick == 1 ? '\r' : pick == 2 ? '\n' : 0x80 + (pick - 3));
            }
        }
    }
    // The upload's own pace starts with its first read; what the idle time
    // before allowed would make the board's figure read high.
    if (firstRead) rx.Restart(now);
    if (!answer.empty()) Queue(answer);
}

std::optional<UploadTiming> Board::TakeUploadTiming()
{
    auto timing = uploadTiming;
    uploadTiming.reset();
    return timing;
}

void Board::Tick(Clock::time_point now)
{
    if (uploading && now - lastUploadByte >= AnnounceIdle) uploading = false;
    if (options.stream > 0) FillStream(now);
}

void Board::FillStream(Clock::time_point now)
{
    // Text only while the console takes it: a board's buffer is small.
    if (Pending() >= 4096) return;
    std::size_t n = std::min<std::size_t>(streamPacer.Allowed(now), 4096);
    if (n == 0) return;
    streamPacer.Use(n);
    std::string text;
    text.reserve(n);
    while (text.size() < n) {
        if (streamPos == streamText.size()) {
            std::string number = std::to_string(++streamLine);
            streamText = "line " + std::string(number.size() < 8 ? 8 - number.size() : 0, '0') + number +
                         " the quick brown fox jumps over the lazy dog 0123456789\r\n";
            streamPos = 0;
        }
        std::size_t take = std::min(n - text.size(), streamText.size() - streamPos);
        text.append(streamText, streamPos, take);
        streamPos += take;
    }
    Queue(text);
}

std::size_t Board::ReadAllowance(Clock::time_point now)
{
    if (HangupDue()) return 0;
    if (!uploading) rx.Idle(now);  // text and commands: an upload's pace starts with it
    std::size_t n = rx.Allowed(now);
    // Stop at the byte where the link is to drop.
    if (uploading && options.hangupAfter >= 0)
        n = std::min<std::size_t>(n, std::size_t(options.hangupAfter) - std::min<std::size_t>(uploadGot, std::size_t(options.hangupAfter)));
    return n;
}

std::size_t Board::WriteAllowance(Clock::time_point now)
{
    if (hungUp) return 0;
    if (Pending() == 0) {
        tx.Idle(now);
        return 0;
    }
    std::size_t n = std::min(tx.Allowed(now), Pending());
    if (hangupAt) n = std::min<std::uint64_t>(n, *hangupAt > counts.sent ? *hangupAt - counts.sent : 0);
    return n;
}

void Board::Sent(std::size_t n, Clock::time_point)
{
    head += n;
    counts.sent += n;
    tx.Use(n);
}

bool Board::HangupDue() const { return hungUp || (hangupAt && counts.sent >= *hangupAt); }

void Board::Replugged(Clock::time_point now)
{
    out.clear();
    head = 0;
    queued = counts.sent;
    uploading = false;
    hungUp = false;
    hangupAt.reset();
    rx = Pacer(options.rate * 1024, now);
    tx = Pacer(options.rate * 1024, now);
}

Clock::time_point Board::NextWake(Clock::time_point now) const
{
    Clock::time_point wake = now + std::chrono::seconds(1);
    if (uploading) wake = std::min(wake, lastUploadByte + AnnounceIdle);
    if (Pending() > 0 && tx.Paced()) wake = std::min(wake, tx.Ready());
    if (rx.Paced()) wake = std::min(wake, rx.Ready());
    if (options.stream > 0 && Pending() < 4096) wake = std::min(wake, streamPacer.Ready());
    return std::max(wake, now);
}

}  // namespace sim
