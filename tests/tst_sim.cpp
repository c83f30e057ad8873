// The board simulator: its core on a clock of the test's own, then the real
// executable on its pseudo-terminal, reached through the real port table.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "Board.h"
#include "Chaos.h"
#include "Check.h"
#include "Echo.h"
#include "EchoCheck.h"
#include "LinkTests.h"
#include "PtyLink.h"
#include "SimProcess.h"
#include "WinCom.h"

using namespace std::chrono;
using sim::Board;
using sim::Clock;

namespace {

const Clock::time_point t0{};

// Feeds text to a board and takes all that it answers, unpaced.
std::string Exchange(Board &board, const std::string &in, Clock::time_point now = t0)
{
    board.Receive(reinterpret_cast<const unsigned char *>(in.data()), in.size(), now);
    std::string out(reinterpret_cast<const char *>(board.Output()), board.Pending());
    board.Sent(board.Pending(), now);
    return out;
}

std::string Upload()
{
    std::string data;
    for (int block = 0; block < 64; ++block) data += '%' + std::string(4095, '_');
    return data;
}

sim::Options With(void (*set)(sim::Options &))
{
    sim::Options o;
    set(o);
    return o;
}

}  // namespace

TEST_CASE(board_answers_the_protocol_and_counts_by_kind)
{
    Board board(sim::Options{}, t0);
    CHECK_EQ(Exchange(board, "hello"), "hello");
    CHECK_EQ(Exchange(board, "^"), "");
    CHECK_EQ(Exchange(board, std::string("A\0B\xe9", 4)), std::string("A\0B\xe9", 4));

    // Upload: the "*" comes only once the last of the 262144 bytes is in.
    std::string data = Upload();
    CHECK_EQ(Exchange(board, "%"), "");
    CHECK_EQ(Exchange(board, data.substr(0, TestVolume - 1)), "");
    CHECK_EQ(Exchange(board, data.substr(TestVolume - 1) + "x"), "*x");

    // Download: 262144 bytes for one "*".
    std::string down = Exchange(board, "*");
    CHECK_EQ(down.size(), TestVolume);
    CHECK(std::all_of(down.begin(), down.end(), [](char c) { return c > ' ' && c < 127; }));

    const sim::Counts &c = board.Totals();
    CHECK_EQ(c.text, 10u);  // hello, A NUL B é, x
    CHECK_EQ(c.heartbeats, 1u);
    CHECK_EQ(c.announces, 1u);
    CHECK_EQ(c.upload, TestVolume);
    CHECK_EQ(c.uploadMarks, 64u);
    CHECK_EQ(c.requests, 1u);
    CHECK_EQ(c.sent, 10u + 1 + TestVolume);
    CHECK_EQ(sim::FormatCounts(c), "received text 10, heartbeats 1, announces 1, upload 262144 (64 \"%\"), requests 1; sent 262155");
}

TEST_CASE(a_lone_announce_lapses_after_a_second_of_quiet)
{
    Board board(sim::Options{}, t0);
    Exchange(board, "%");
    Exchange(board, "abc", t0 + milliseconds(900));  // data: it keeps the upload alive
    board.Tick(t0 + milliseconds(1800));
    CHECK(board.Uploading());
    board.Tick(t0 + milliseconds(1901));
    CHECK(!board.Uploading());
    CHECK_EQ(Exchange(board, "hi", t0 + seconds(2)), "hi");
    CHECK_EQ(board.Totals().upload, 3u);
}

TEST_CASE(misbehaviour_on_request)
{
    Board silent(With([](sim::Options &o) { o.silent = true; }), t0);
    CHECK_EQ(Exchange(silent, "*"), "");
    CHECK_EQ(Exchange(silent, "%" + Upload()), "");
    CHECK_EQ(Exchange(silent, "ok"), "ok");

    Board shorter(With([](sim::Options &o) { o.shortBy = 1000; }), t0);
    CHECK_EQ(Exchange(shorter, "*").size(), TestVolume - 1000);
    Board longer(With([](sim::Options &o) { o.extra = 7; }), t0);
    CHECK_EQ(Exchange(longer, "*").size(), TestVolume + 7);

    // Noise: every echoed byte still there, in order, each followed by NUL, CR, LF or 0x80-0xFF.
    Board noisy(With([](sim::Options &o) { o.noise = true; }), t0);
    std::string text(500, 'q');
    std::string out = Exchange(noisy, text);
    CHECK_EQ(out.size(), 1000u);
    bool kinds[4] = {};
    for (std::size_t i = 0; i < out.size(); i += 2) {
        unsigned char n = static_cast<unsigned char>(out[i + 1]);
        CHECK(out[i] == 'q');
        CHECK(n == 0 || n == '\r' || n == '\n' || n >= 0x80);
        kinds[n == 0 ? 0 : n == '\r' ? 1 : n == '\n' ? 2 : 3] = true;
    }
    CHECK(kinds[0] && kinds[1] && kinds[2] && kinds[3]);
}

TEST_CASE(a_chaotic_board_repeats_itself_and_calms_down)
{
    // The same seed on the same clock: the same choices, said the same way, and the same bytes.
    auto play = [](std::uint64_t seed) {
        sim::Options o;
        o.chaos = seed;
        std::string said, out;
        sim::Chaos board(o, t0, true, [&](const std::string &line) { said += line + "\n"; });
        Clock::time_point now = t0;
        for (int i = 1; i < 3000; ++i, now += milliseconds(7)) {
            board.Tick(now);
            if (board.HangupDue()) board.Replugged(now);
            const char *in = i % 700 == 0 ? "*" : i % 450 == 0 ? "%" : "x";
            if (board.ReadAllowance(now)) board.Receive(reinterpret_cast<const unsigned char *>(in), 1, now);
            const std::size_t n = std::min(board.WriteAllowance(now), board.Pending());
            out.append(reinterpret_cast<const char *>(board.Output()), n);
            board.Sent(n, now);
        }
        return std::make_pair(said, out);
    };
    const auto once = play(7);
    CHECK(once == play(7));
    CHECK(once.first != play(8).first);
    CHECK(once.first.find("download: ") != std::string::npos && once.first.find("announce: ") != std::string::npos);

    // Calmed down with output still to go, it drops that: what is to go can
    // shrink with a read, and the I/O loop must ask again (it had written past the end).
    sim::Options o;
    o.chaos = 1;
    sim::Chaos board(o, t0, false, nullptr);
    Clock::time_point now = t0;
    while (board.Pending() < 1000 && now < t0 + seconds(60)) board.Tick(now += milliseconds(50));
    CHECK(board.Pending() >= 1000);
    board.Receive(reinterpret_cast<const unsigned char *>(sim::CalmWord), sizeof sim::CalmWord - 1, now);
    CHECK(board.Calm());
    CHECK_EQ(std::string(reinterpret_cast<const char *>(board.Output()), board.Pending()), "\r\ncalm\r\n");
    board.Sent(board.Pending(), now);
    CHECK_EQ(Exchange(board, "hi", now), "hi");
}

TEST_CASE(hangup_after_n_bytes_of_either_transfer)
{
    Board down(With([](sim::Options &o) { o.hangupAfter = 1000; }), t0);
    CHECK_EQ(Exchange(down, "ab"), "ab");
    down.Receive(reinterpret_cast<const unsigned char *>("*"), 1, t0);
    CHECK_EQ(down.WriteAllowance(t0), 1000u);
    down.Sent(999, t0);
    CHECK(!down.HangupDue());
    down.Sent(1, t0);
    CHECK(down.HangupDue());
    CHECK_EQ(down.WriteAllowance(t0), 0u);
    down.Replugged(t0);
    CHECK(!down.HangupDue());
    CHECK_EQ(Exchange(down, "back"), "back");

    Board up(With([](sim::Options &o) { o.hangupAfter = 5000; }), t0);
    Exchange(up, "%");
    CHECK_EQ(up.ReadAllowance(t0), 5000u);
    std::string data = Upload();
    Exchange(up, data.substr(0, 5000));
    CHECK(up.HangupDue());
    CHECK_EQ(up.ReadAllowance(t0), 0u);
    CHECK_EQ(up.Pending(), 0u);
}

TEST_CASE(pacing_is_even_and_holds_the_rate)
{
    // 256 KB/s through the write side: never more than a few ms' worth at once,
    // and 262144 bytes take one second of the board's clock, though it woke
    // late now and then (a loaded machine); an idle second before the request
    // gives no head start.
    for (Clock::duration late : {Clock::duration(0), Clock::duration(milliseconds(30))}) {
        sim::Options o;
        o.rate = 256;
        Board board(o, t0);
        CHECK_EQ(board.WriteAllowance(t0 + milliseconds(500)), std::size_t(0));
        board.Receive(reinterpret_cast<const unsigned char *>("*"), 1, t0 + seconds(1));
        Clock::time_point now = t0 + seconds(1);
        std::size_t biggest = 0, writes = 0;
        while (board.Pending() > 0 && now < t0 + seconds(4)) {
            // As the I/O loop does: wait only when nothing may go.
            std::size_t n = board.WriteAllowance(now);
            if (n == 0) {
                now = board.NextWake(now) + (++writes % 50 == 0 ? late : Clock::duration(0));
                continue;
            }
            biggest = std::max(biggest, n);
            board.Sent(n, now);
            now += microseconds(100);
        }
        double took = duration<double>(now - t0).count() - 1;
        CHECK(board.Pending() == 0);
        CHECK(took > 0.98 && took < 1.02);
        CHECK(biggest <= std::size_t(256 * 1024 * 0.003));
    }
    Clock::time_point now;

    // The text stream: printable lines at the stream's own rate.
    sim::Options s;
    s.stream = 100;
    Board stream(s, t0);
    std::string got;
    for (now = t0; now < t0 + seconds(1); now += milliseconds(1)) {
        stream.Tick(now);
        got.append(reinterpret_cast<const char *>(stream.Output()), stream.Pending());
        stream.Sent(stream.Pending(), now);
    }
    CHECK(got.size() > 100 * 1024 * 0.97 && got.size() < 100 * 1024 * 1.03);
    CHECK(got.rfind("line 00000001 the quick brown fox", 0) == 0);
    CHECK(got.find("\r\nline 00000002 ") != std::string::npos);
    CHECK(std::all_of(got.begin(), got.end(), [](char c) { return (c >= ' ' && c < 127) || c == '\r' || c == '\n'; }));
}

TEST_CASE(upload_timing_is_the_boards_own_pace)
{
    // 256 KB/s on the read side, the upload a second after its announce: the
    // idle second's allowance must not make the board's figure read high.
    sim::Options o;
    o.rate = 256;
    Board board(o, t0);
    Exchange(board, "%");
    std::string data = Upload() + "^";  // a heartbeat right behind the last data byte
    // As the I/O loop does: the allowance is taken, then the wait for data
    // lasts until the first block comes half a second later.
    std::size_t at = board.ReadAllowance(t0 + milliseconds(500));
    Clock::time_point now = t0 + seconds(1);
    board.Receive(reinterpret_cast<const unsigned char *>(data.data()), at, now);
    while (at < data.size() && now < t0 + seconds(4)) {
        std::size_t n = std::min(board.ReadAllowance(now), data.size() - at);
        if (n == 0) {
            now = board.NextWake(now);
            continue;
        }
        board.Receive(reinterpret_cast<const unsigned char *>(data.data() + at), n, now);
        at += n;
        now += microseconds(100);
    }
    std::optional<sim::UploadTiming> timing = board.TakeUploadTiming();
    CHECK(timing.has_value());
    CHECK(!board.TakeUploadTiming().has_value());  // told once
    if (timing) {
        double rate = double(timing->bytes) / timing->seconds / 1024;
        CHECK(timing->bytes > TestVolume - 2048 && timing->bytes < TestVolume);
        CHECK(rate > 256 * 0.99 && rate <= 256 * 1.001);
        std::string line = sim::FormatUploadTiming(*timing);
        CHECK(line.rfind("upload of 262144 bytes arrived at 25", 0) == 0);
        CHECK(line.find(" KB/s (first to last byte: ") != std::string::npos);
    }
    CHECK_EQ(board.Totals().upload, TestVolume);
    CHECK_EQ(board.Totals().uploadMarks, 64u);
    CHECK_EQ(board.Totals().heartbeats, 1u);  // the upload's end is exact within a read
    CHECK_EQ(sim::FormatUploadTiming({}), "upload of 262144 bytes arrived in one read");
}

TEST_CASE(command_line)
{
    const char *good[] = {"sim", "--port", "3", "--rate", "256", "--silent", "--short", "10", "--extra", "5",
                          "--hangup-after", "0", "--stream", "1.5", "--noise", "--folder", "/tmp/x", "--chaos", "9007199254740991"};
    const char *device[] = {"sim", "--device", "/dev/ttyGS0"};
    sim::Options o;
    std::string error;
    CHECK(sim::ParseOptions(int(std::size(good)), const_cast<char **>(good), o, error));
    CHECK(o.port == 3 && o.rate == 256 && o.silent && o.shortBy == 10 && o.extra == 5 && o.hangupAfter == 0 &&
          o.stream == 1.5 && o.noise && o.folder == "/tmp/x" && o.chaos == 9007199254740991ull);
    sim::Options d;
    CHECK(sim::ParseOptions(3, const_cast<char **>(device), d, error) && d.device == "/dev/ttyGS0");
    const char *echo[] = {"sim", "--echo", "--drop-every", "8", "--corrupt-every", "9", "--duplicate-every", "10", "--swap-every", "11",
                          "--hold-size", "512", "--echo-delay", "0", "--stop-echo-after", "0", "--rate", "1"};
    sim::Options e;
    CHECK(sim::ParseOptions(int(std::size(echo)), const_cast<char **>(echo), e, error));
    CHECK(e.echo && e.dropEvery == 8 && e.corruptEvery == 9 && e.duplicateEvery == 10 && e.swapEvery == 11 && e.holdSize == 512 &&
          e.echoDelayMs == 0 && e.stopEchoAfter == 0 && e.rate == 1);
    const std::vector<std::vector<const char *>> bad = {
        {"sim", "--port", "21"}, {"sim", "--port"}, {"sim", "--rate", "0"}, {"sim", "--rate", "fast"},
        {"sim", "--short", "262145"}, {"sim", "--extra", "-1"}, {"sim", "--hangup-after", "1.5"}, {"sim", "--loud"},
        {"sim", "--folder", "relative"}, {"sim", "--device", "ttyGS0"}, {"sim", "--device", "/dev/x", "--hangup-after", "5"},
        {"sim", "--chaos"}, {"sim", "--chaos", "-1"}, {"sim", "--chaos", "2.5"},
        // A fault of the echo's needs it, and the echo takes none of the protocol's options.
        {"sim", "--drop-every", "10"}, {"sim", "--echo", "--drop-every", "7"}, {"sim", "--echo", "--hold-size", "0"},
        {"sim", "--echo", "--echo-delay", "-5"}, {"sim", "--echo", "--silent"}, {"sim", "--echo", "--chaos", "1"}};
    for (const auto &args : bad) {
        sim::Options ignored;
        error.clear();
        CHECK(!sim::ParseOptions(int(args.size()), const_cast<char **>(args.data()), ignored, error));
        CHECK(!error.empty());
    }
}

// ---------------------------------------------------------------- the executable

namespace {

std::string Link(const PortsFolder &ports, int port)
{
    char target[4096];
    ssize_t n = readlink(ports.Entry(port).c_str(), target, sizeof target);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

// Reads from an open port until `count` bytes came or `ms` passed.
std::string ReadFor(BYTE port, std::size_t count, int ms)
{
    std::string got;
    static unsigned char buffer[64001];
    auto end = steady_clock::now() + milliseconds(ms);
    while (got.size() < count && steady_clock::now() < end) {
        DWORD n = ReadPort(port, buffer, sizeof buffer);
        if (n) got.append(reinterpret_cast<char *>(buffer), n);
        else std::this_thread::sleep_for(microseconds(200));
    }
    return got;
}

}  // namespace

TEST_CASE(simulator_links_its_port_answers_and_cleans_up)
{
    PortsFolder ports;
    ports.Link(7, "/nonexistent/stale");  // left by an earlier run
    SimProcess board({"--port", "7"});
    std::string device = Link(ports, 7);
    CHECK(device.rfind("/dev/pts/", 0) == 0);
    CHECK(board.Output().find(device) != std::string::npos);

    CHECK(OpenPort(7, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
    CHECK_EQ(WritePortText(7, "hello^^"), 7u);
    CHECK_EQ(ReadFor(7, 5, 2000), "hello");
    SimCounts c = board.Counts();
    CHECK_EQ(c.text, 5);
    CHECK_EQ(c.heartbeats, 2);
    CHECK_EQ(c.sent, 5);
    ClosePort(7);

    SimCounts last = board.Stop();
    CHECK_EQ(last.text, 5);
    CHECK(WIFEXITED(board.status) && WEXITSTATUS(board.status) == 0);
    CHECK_EQ(Link(ports, 7), "");
}

TEST_CASE(simulator_refuses_bad_options)
{
    PortsFolder ports;
    bool threw = false;
    try {
        SimProcess board({"--port", "99"});
    } catch (const std::runtime_error &e) {
        threw = std::string(e.what()).find("--port needs a port number from 1 to 20") != std::string::npos;
    }
    CHECK(threw);
}

TEST_CASE(simulator_paces_both_directions)
{
    PortsFolder ports;
    SimProcess board({"--port", "8", "--rate", "256"});
    CHECK(OpenPort(8, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));

    // 256 KB at 256 KB/s: a second, give or take what a loaded machine adds.
    auto start = steady_clock::now();
    CHECK_EQ(WritePort(8, "*", 1), 1u);
    std::string down = ReadFor(8, TestVolume, 5000);
    double downSeconds = duration<double>(steady_clock::now() - start).count();
    CHECK_EQ(down.size(), TestVolume);
    CHECK(downSeconds > 0.8 && downSeconds < 2.0);

    start = steady_clock::now();
    std::string data = Upload();
    CHECK_EQ(WritePort(8, "%", 1), 1u);
    for (int block = 0; block < 64; ++block) CHECK_EQ(WritePort(8, data.data() + block * 4096, 4096), 4096u);
    CHECK_EQ(ReadFor(8, 1, 5000), "*");
    double upSeconds = duration<double>(steady_clock::now() - start).count();
    CHECK(upSeconds > 0.8 && upSeconds < 2.0);
    std::string told = board.WaitLine("upload of");
    double rate = told.empty() ? 0 : std::atof(told.c_str() + told.find(" at ") + 4);
    CHECK(rate > 256 * 0.8 && rate < 256 * 1.01);  // never above the pace: a loaded machine only slows it
    std::printf("    download %.3f s, upload %.3f s at 256 KB/s\n", downSeconds, upSeconds);
    CHECK_EQ(board.Counts().announces, 1);
    ClosePort(8);
}

TEST_CASE(simulator_hangup_drops_the_line_and_comes_back)
{
    PortsFolder ports;
    SimProcess board({"--port", "9", "--hangup-after", "10000"});
    std::string first = Link(ports, 9);
    CHECK(OpenPort(9, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
    WritePort(9, "*", 1);
    std::string got = ReadFor(9, TestVolume, 1500);
    CHECK_EQ(got.size(), 10000u);
    CHECK(!board.WaitLine("link dropped").empty());
    // The dead line fails rather than blocks.
    unsigned char buffer[16];
    CHECK_EQ(ReadPort(9, buffer, sizeof buffer), 0u);
    CHECK_EQ(WritePort(9, "x", 1), 0u);
    ClosePort(9);

    CHECK(!board.WaitLine("board back on port 9").empty());
    CHECK(Link(ports, 9) != first && !Link(ports, 9).empty());
    CHECK(OpenPort(9, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
    WritePort(9, "again", 5);
    CHECK_EQ(ReadFor(9, 5, 2000), "again");
    ClosePort(9);
}

// ---------------------------------------------------------------- the echoing board and the link tests

namespace {

struct Planted {
    const char *option;
    std::uint64_t sim::Options::*every;
    echo::FaultKind kind;
    std::uint64_t bytes;  // each fault's
};
const Planted Faults[] = {
    {"--drop-every", &sim::Options::dropEvery, echo::FaultKind::Lost, 1},
    {"--corrupt-every", &sim::Options::corruptEvery, echo::FaultKind::Corrupted, 1},
    {"--duplicate-every", &sim::Options::duplicateEvery, echo::FaultKind::Duplicated, 1},
    {"--swap-every", &sim::Options::swapEvery, echo::FaultKind::Reordered, 2},
};

// Each fault found once, of its kind and size, at the Nth, 2Nth... byte sent.
void CheckPlanted(const echo::TEchoCheck &check, const Planted &p, std::uint64_t every, std::uint64_t sent)
{
    const std::uint64_t expected = (sent - (p.kind == echo::FaultKind::Reordered)) / every;
    CHECK_EQ(check.Errors(), expected);
    CHECK_EQ(check.Count(p.kind), expected);
    CHECK_EQ(check.Bytes(p.kind), expected * p.bytes);
    for (std::size_t i = 0; i < check.Faults().size(); ++i) CHECK_EQ(check.Faults()[i].offset, (i + 1) * every - 1);
}

}  // namespace

TEST_CASE(frames_have_no_equal_neighbours_and_read_back)
{
    CHECK_EQ(echo::Crc32(reinterpret_cast<const unsigned char *>("123456789"), 9), 0xCBF43926u);
    echo::TFrameStream stream(5);
    std::vector<unsigned char> bytes(200 * echo::FrameSize);
    stream.Copy(0, bytes.data(), bytes.size());
    CHECK(std::adjacent_find(bytes.begin(), bytes.end()) == bytes.end());
    std::uint32_t seq = 0;
    CHECK(echo::ReadFrame(bytes.data() + 77 * echo::FrameSize, seq) && seq == 77);
    bytes[77 * echo::FrameSize + 500] ^= 1;
    CHECK(!echo::ReadFrame(bytes.data() + 77 * echo::FrameSize, seq));
}

TEST_CASE(the_echo_check_places_each_fault_the_board_plants)
{
    // The simulator's board in-process, fed and read in uneven pieces.
    const std::uint64_t total = 300007, every = 997;
    std::vector<unsigned char> sent(total);
    echo::TFrameStream(1).Copy(0, sent.data(), sent.size());
    auto run = [&](sim::Options o, std::uint64_t stopAfter = 0) {
        o.echo = true;
        if (stopAfter) o.stopEchoAfter = (long long)stopAfter;
        sim::Echo board(o, t0, [](const std::string &) {});
        echo::TEchoCheck check(1);
        std::uint64_t fed = 0, piece = 1;
        while (fed < total) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(total - fed, piece = piece * 7 % 5003 + 1));
            board.Receive(sent.data() + fed, n, t0);
            fed += n;
            check.Sent(fed);
            check.Came(board.Output(), board.Pending(), 0);
            board.Sent(board.Pending(), t0);
        }
        check.Finish(1);
        return check;
    };
    const echo::TEchoCheck clean = run({});
    CHECK_EQ(clean.Errors(), 0u);
    CHECK_EQ(clean.Good(), total);
    // Every kind, far apart and as close as the simulator plants them.
    for (const Planted &p : Faults)
        for (std::uint64_t n : {every, std::uint64_t(8), std::uint64_t(9), std::uint64_t(13), std::uint64_t(64)}) {
            sim::Options o;
            o.*p.every = n;
            const echo::TEchoCheck check = run(o);
            if (check.Count(p.kind) != (total - (p.kind == echo::FaultKind::Reordered)) / n) std::printf("    %s %llu\n", p.option, (unsigned long long)n);
            CheckPlanted(check, p, n, total);
        }
    // A board that stops: the rest is lost, from where it stopped.
    const echo::TEchoCheck stopped = run({}, 123457);
    CHECK_EQ(stopped.Errors(), 1u);
    CHECK(stopped.Faults().size() == 1 && stopped.Faults()[0].offset == 123457 && stopped.Faults()[0].bytes == total - 123457);

    // Two kinds planted 8 bytes apart, whose shifts cancel: each told (a drop takes a byte first).
    {
        sim::Options o;
        o.dropEvery = 16, o.duplicateEvery = 8;
        const echo::TEchoCheck both = run(o);
        CHECK_EQ(both.Count(echo::FaultKind::Lost), total / 16);
        CHECK_EQ(both.Count(echo::FaultKind::Duplicated), total / 8 - total / 16);
        CHECK_EQ(both.Errors(), total / 8);
        CHECK(both.Good() <= total);
    }

    // A run of bytes lost, a run doubled, a stretch changed, bytes of nowhere, frames met again.
    struct Edit {
        const char *what;
        std::size_t at, cut;
        std::string put;
        echo::FaultKind kind;
        std::uint64_t bytes, offset;
    };
    auto bytes = [&](std::size_t from, std::size_t to) { return std::string(sent.begin() + std::ptrdiff_t(from), sent.begin() + std::ptrdiff_t(to)); };
    const Edit edits[] = {
        {"3000 lost", 50000, 3000, "", echo::FaultKind::Lost, 3000, 50000},
        {"40 lost", 50000, 40, "", echo::FaultKind::Lost, 40, 50000},
        {"2174 lost across a frame's start", 5000, 2174, "", echo::FaultKind::Lost, 2174, 5000},
        {"700 doubled", 50000, 0, bytes(49300, 50000), echo::FaultKind::Duplicated, 700, 49300},
        {"4096 doubled", 5096, 0, bytes(1000, 5096), echo::FaultKind::Duplicated, 4096, 1000},
        {"5 changed", 50000, 5, "\x01\x02\x03\x04\x05", echo::FaultKind::Corrupted, 5, 50000},
        {"a frame's first byte changed", 8192, 1, std::string(1, char(sent[8192] ^ 0x01)), echo::FaultKind::Corrupted, 1, 8192},
        {"5000 of nowhere", 50000, 0, std::string(5000, '\x42'), echo::FaultKind::Unexpected, 5000, 50000},
        {"a line of text among them", 50000, 0, "alive\r\n", echo::FaultKind::Unexpected, 7, 50000},
        {"100 bytes of text near the end", total - 536, 0, std::string(100, 'x'), echo::FaultKind::Unexpected, 100, total - 536},
        {"a frame twice", 50176, 0, bytes(49152, 50176), echo::FaultKind::Duplicated, 1024, 49152},
        // (Frames 16 apart begin with the same byte: that one passes as the one due, and the rest is of nowhere.)
        {"a frame from 16 back", 36864, 0, bytes(20480, 21504), echo::FaultKind::Unexpected, 1024, 36865},
        {"the last byte changed", total - 1, 1, std::string(1, char(sent[total - 1] ^ 0x55)), echo::FaultKind::Corrupted, 1, total - 1},
    };
    for (const Edit &e : edits) {
        std::printf("    %s\n", e.what);
        std::string came(sent.begin(), sent.end());
        came.replace(e.at, e.cut, e.put);
        echo::TEchoCheck check(1);
        check.Sent(total);
        for (std::size_t at = 0; at < came.size(); at += 4096)
            check.Came(reinterpret_cast<const unsigned char *>(came.data()) + at, std::min<std::size_t>(4096, came.size() - at), 0);
        check.Finish(1);
        CHECK_EQ(check.Count(e.kind), 1u);
        CHECK_EQ(check.Bytes(e.kind), e.bytes);
        CHECK_EQ(check.Errors(), 1u);
        CHECK(!check.Faults().empty() && check.Faults()[0].offset == e.offset);
        CHECK_EQ(check.Good(), total - (e.kind == echo::FaultKind::Duplicated || e.kind == echo::FaultKind::Unexpected ? 0 : e.bytes));
    }
}

namespace {

// Runs a link test a slice at a time, as the window does, to its end; its lines.
std::vector<std::string> RunJob(TPortJob &job, long long *ms = nullptr)
{
    const auto start = steady_clock::now();
    std::vector<std::string> lines;
    while (job.Slice(milliseconds(30)) == TPortJob::State::Going && steady_clock::now() - start < seconds(60)) {
        for (std::string &line : job.TakeLines()) lines.push_back(line);
    }
    for (std::string &line : job.TakeLines()) lines.push_back(line), std::printf("    | %s\n", line.c_str());
    if (ms) *ms = duration_cast<milliseconds>(steady_clock::now() - start).count();
    return lines;
}

bool Said(const std::vector<std::string> &lines, const std::string &text)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

std::string EchoCounts(SimProcess &board)
{
    kill(board.pid, SIGUSR1);
    return board.WaitLine("echo: received");
}

const BYTE EchoPort = 10;

}  // namespace

TEST_CASE(the_link_tests_find_exactly_what_the_echoing_simulator_plants)
{
    PortsFolder ports;
    TLoopbackTest::Limits limits;
    limits.bytes = 400000;
    {
        SimProcess board({"--port", "10", "--echo"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TLoopbackTest loop(EchoPort, ",", limits);
        const auto lines = RunJob(loop);
        CHECK(loop.Ended() == TLinkTest::End::Done && loop.Figures().Good == limits.bytes && loop.Figures().Errors == 0);
        CHECK(Said(lines, "Loopback: 400000 bytes sent, 400000 came back as sent in ") && Said(lines, " KB/s each way); no errors."));
        CHECK(Said(lines, ",") && !lines.empty() && lines.back().find('.') == lines.back().size() - 1);  // the user's separator, whatever the locale

        TRoundTripTest latency(EchoPort, ".", TRoundTripTest::Kind::Latency, 40);
        RunJob(latency);
        for (const TripFigures &f : latency.Figures())
            CHECK(f.Ms.size() == 40 && f.Min > 0 && f.Min <= f.Median && f.Median <= f.P99 && f.P99 <= f.Max && f.Max < 1000);
        TRoundTripTest none(EchoPort, ".", TRoundTripTest::Kind::PacketSizes);
        none.Halt();  // stopped before a size went: no success said
        CHECK(Said(none.TakeLines(), "Packet sizes: 0 of 97 sizes tried, from 1 to 2049 bytes; none was tried."));
        TRoundTripTest sizes(EchoPort, ".", TRoundTripTest::Kind::PacketSizes, 1, milliseconds(500));
        const auto said = RunJob(sizes);
        CHECK(Said(said, "Packet sizes: 97 of 97 sizes tried, from 1 to 2049 bytes; each came back whole within 0.5 s; the slowest, "));
        CHECK(EchoCounts(board).find("received " + std::to_string(limits.bytes + 40 * (1 + 64 + 512) + 1 + 96 * 1056)) != std::string::npos);
        ClosePort(EchoPort);
    }
    for (const Planted &p : Faults) {
        SimProcess board({"--port", "10", "--echo", p.option, "1009"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TLoopbackTest loop(EchoPort, ".", limits);
        const auto lines = RunJob(loop);
        CheckPlanted(loop.Check(), p, 1009, loop.Figures().Sent);
        const std::string counts = EchoCounts(board);
        const std::string planted = std::to_string(loop.Check().Errors());
        CHECK(counts.find((p.kind == echo::FaultKind::Lost ? "dropped " : p.kind == echo::FaultKind::Corrupted ? "corrupted " : p.kind == echo::FaultKind::Duplicated ? "duplicated " : "swapped ") + planted) != std::string::npos);
        CHECK(Said(lines, "Loopback: byte 1008 (frame 0, ") && Said(lines, "Loopback: and ") && Said(lines, "Loopback: the first bad frame, 0, from byte 100"));
        ClosePort(EchoPort);
    }
    {
        // A full transfer held until more comes: said by its size, never waited on for ever.
        SimProcess board({"--port", "10", "--echo", "--hold-size", "512"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TRoundTripTest sizes(EchoPort, ".", TRoundTripTest::Kind::PacketSizes, 1, milliseconds(300));
        const auto lines = RunJob(sizes);
        CHECK(Said(lines, "Packet sizes: 512 bytes did not come back whole within 0.3 s; they came with the next transfer"));
        CHECK(Said(lines, "sizes tried, from 1 to 2049 bytes; 1 did not come back whole: 512; the slowest"));
        ClosePort(EchoPort);
    }
    {
        SimProcess board({"--port", "10", "--echo", "--echo-delay", "25"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TRoundTripTest latency(EchoPort, ".", TRoundTripTest::Kind::Latency, 5);
        RunJob(latency);
        for (const TripFigures &f : latency.Figures()) CHECK(f.Ms.size() == 5 && f.Min >= 25 && f.Max < 500);
        ClosePort(EchoPort);
    }
    {
        // Echoes later than a trip's limit are late, not changed, and the board is heard; a loopback
        // whose echoes come in bursts 0.7 s apart waits for the last, and loses none; one slow to
        // start echoing waits for it within its silence.
        SimProcess board({"--port", "10", "--echo", "--echo-delay", "700"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TRoundTripTest latency(EchoPort, ".", TRoundTripTest::Kind::Latency, 3, milliseconds(500));
        RunJob(latency);
        CHECK(latency.Ended() == TLinkTest::End::Done);
        for (const TripFigures &f : latency.Figures()) CHECK(f.Changed == 0 && f.NotBack + f.Ms.size() == f.Trips && f.Trips == 3);
        for (std::uint64_t bytes : {std::uint64_t(0), std::uint64_t(5000)}) {
            std::this_thread::sleep_for(milliseconds(800));  // the last echo still to come is none of the next test's
            TLoopbackTest::Limits slow;
            slow.duration = seconds(2), slow.bytes = bytes;
            TLoopbackTest loop(EchoPort, ".", slow);
            RunJob(loop);
            CHECK(loop.Ended() == TLinkTest::End::Done && loop.Figures().Good == loop.Figures().Sent && loop.Figures().Errors == 0);
        }
        ClosePort(EchoPort);
    }
    {
        // Trips that come back changed are changed, each one, not "not back" after the first.
        SimProcess board({"--port", "10", "--echo", "--corrupt-every", "8"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TRoundTripTest latency(EchoPort, ".", TRoundTripTest::Kind::Latency, 3, milliseconds(300));
        RunJob(latency);
        for (const TripFigures &f : latency.Figures()) CHECK(f.Bytes < 8 || (f.Changed == 3 && f.NotBack == 0));
        ClosePort(EchoPort);
    }
    {
        // A board that stops echoing ends each test within its bound, with what it saw.
        SimProcess board({"--port", "10", "--echo", "--stop-echo-after", "100000"});
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        limits.silence = milliseconds(1000);
        TLoopbackTest loop(EchoPort, ".", limits);
        long long ms = 0;
        const auto lines = RunJob(loop, &ms);
        CHECK(loop.Ended() == TLinkTest::End::Silent && ms < 3000);
        CHECK(Said(lines, "Loopback: the board stopped echoing: nothing came back as sent for 1.0 s.") && Said(lines, " came back as sent in "));
        CHECK(loop.Figures().Good == 100000 && loop.Check().Faults().size() == 1 && loop.Check().Faults()[0].offset == 100000);
        for (auto kind : {TRoundTripTest::Kind::Latency, TRoundTripTest::Kind::PacketSizes}) {
            TRoundTripTest trips(EchoPort, ".", kind, 100, milliseconds(200));
            const auto said = RunJob(trips, &ms);
            CHECK(trips.Ended() == TLinkTest::End::Silent && ms < 3 * 200 + 500);
            CHECK(Said(said, ": the board stopped echoing: 3 transfers in a row brought none of their bytes back within 0.2 s."));
        }
        ClosePort(EchoPort);
    }
    {
        // One that stops echoing but goes on talking is no echo: each test ends all the same.
        PtyLink chatty(ports, EchoPort);
        std::atomic<bool> going{true};
        std::thread talk([&] {
            unsigned char buffer[4096];
            std::size_t echoed = 0;
            for (auto last = steady_clock::now(); going; std::this_thread::sleep_for(milliseconds(1))) {
                const ssize_t n = read(chatty.master, buffer, sizeof buffer);
                const std::size_t echo = n > 0 ? std::min<std::size_t>(std::size_t(n), 30000 - echoed) : 0;
                if (echo && write(chatty.master, buffer, echo) == ssize_t(echo)) echoed += echo;
                if (steady_clock::now() - last > milliseconds(100) && write(chatty.master, "alive\r\n", 7) == 7) last = steady_clock::now();
            }
        });
        CHECK(OpenPort(EchoPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000));
        TLoopbackTest loop(EchoPort, ".", limits);
        long long ms = 0;
        RunJob(loop, &ms);
        CHECK(loop.Ended() == TLinkTest::End::Silent && loop.Figures().Good == 30000 && ms < 3000);
        TRoundTripTest latency(EchoPort, ".", TRoundTripTest::Kind::Latency, 100, milliseconds(200));
        RunJob(latency, &ms);
        CHECK(latency.Ended() == TLinkTest::End::Silent && ms < 3 * 200 + 500);
        ClosePort(EchoPort);
        going = false;
        talk.join();
    }
}

int main() { return check::RunAll(); }
