// The whole console at random: the real form over the headless controls,
// against a board that does anything (quorvel-sim --chaos SEED on port 20),
// taking random user steps and checking after each what must always hold.
// The seed comes from QUORVEL_CHAOS_SEED (or, on Windows, from the runner,
// which starts the board), else it is drawn; either way it is printed, and
// the same seed makes the same board and the same user. The run lasts
// QUORVEL_CHAOS_SECONDS (30 by default). At its end the board turns
// well-behaved, and the console must work as new.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Chaos.h"
#include "Check.h"
#include "Completion.h"
#include "HeadlessWindow.h"
#include "LogViewCheck.h"
#include "Serial.h"
#include "Unit1.h"
#if defined(_WIN32)
#include <psapi.h>
#else
#include "PtyLink.h"
#include "SimProcess.h"
#endif

namespace {

using ms = std::chrono::milliseconds;
const BYTE BoardPort = 20;
const std::vector<int> Missing = {7, 13};  // ports with nothing behind them
constexpr double CalmRate = 100;        // KB/s: the board's pace once calm
std::uint64_t Seed = 0;
double Seconds = 30;
#if !defined(_WIN32)
pid_t BoardPid = -1;  // ended with the run, however it ends
#endif

// How long a handler may hold the window. The heartbeat's byte waits 20 ms,
// a send 1 s. A throughput test lasts as long as its bytes move, and gives up
// 5 s after the last one did: the watchdog holds it to that, and to a minute
// in all (the board's act is over within its limit, and floods are short).
const ms HeartbeatBound{250}, SendBound{1300}, OtherBound{500}, TestBound{60000};

std::size_t ResidentBytes()
{
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.WorkingSetSize : 0;
#else
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return std::size_t(resident) * std::size_t(sysconf(_SC_PAGESIZE));
#endif
}

unsigned long long AllMoved(bool written)
{
    unsigned long long n = 0;
    for (int port = 1; port <= PortCount; ++port) n += written ? PortBytesWritten(BYTE(port)) : PortBytesRead(BYTE(port));
    return n;
}

// A handler that overstays fails the run as it happens, whether or not it
// ever returns: any handler past its bound (and a little), a throughput test
// once no byte has moved either way for longer than a test may wait. A
// download waits 5 s after its last byte came; an upload 5 s after the
// queue last drained, which a board that reads nothing holds up to its
// longest pause after the last write.
class Watchdog {
public:
    Watchdog()
        : thread([this] {
              unsigned long long moved = 0;
              long long lastMove = 0;
              while (!done) {
                  Sleep(20);
                  const long long since = started, limit = bound, now = Now();
                  if (!since) continue;
                  const unsigned long long m = AllMoved(false) + AllMoved(true);
                  if (m != moved || lastMove < since) moved = m, lastMove = now;
                  if (now - since > limit + 2000) Stop("has held the window", now - since, limit);
                  if (stall && now - lastMove > stall + Slack) Stop("has moved no byte for", now - lastMove, stall);
              }
          })
    {
    }
    ~Watchdog()
    {
        done = true;
        thread.join();
    }
    // `quiet`: how long a throughput test may go on with no byte moving either way (0: not one).
    void Enter(const char *name, ms limit, ms quiet)
    {
        what = name, bound = limit.count(), stall = quiet.count(), started = Now();
    }
    void Leave() { started = 0; }
    static constexpr long long Slack = 1500;

private:
    static long long Now() { return std::chrono::duration_cast<ms>(Clock::now().time_since_epoch()).count() + 1; }
    void Stop(const char *how, long long took, long long limit)
    {
        std::printf("    %s %s %lld ms, beyond its %lld ms: the run ends here\n    again with QUORVEL_CHAOS_SEED=%" PRIu64
                    "\nFAIL  a_board_that_does_anything_and_a_user_who_does_anything\n0 passed, 1 failed, 0 skipped\n",
                    what.load(), how, took, limit, Seed);
        std::fflush(stdout);
#if !defined(_WIN32)
        if (BoardPid > 0) kill(BoardPid, SIGTERM);
#endif
        std::_Exit(1);
    }
    std::atomic<bool> done{false};
    std::atomic<long long> started{0}, bound{0}, stall{0};
    std::atomic<const char *> what{""};
    std::thread thread;
};

class Run {
public:
    Run()
    {
        TApplication::ShowErrorBox = [this](const std::string &text, const std::string &) { Fail("a run-time fault was reported: " + text); };
        Time(form.Timer1, "the poll", OtherBound);
        Time(form.Timer2, "the heartbeat", HeartbeatBound);
        Time(form.Timer3, "the reopening", OtherBound);
        Time(form.Timer4, "the open failure", OtherBound);
        // What a test runs before it begins: from then on nothing polls or beats.
        application.queued = [this] {
            if (form.Timer1->Enabled() || form.Timer2->Enabled()) Fail("a timer runs during a throughput test");
        };
        window.OnShow();
        int ones[256];
        std::fill(std::begin(ones), std::end(ones), 1);
        view.view.SetMetrics(ones, 1, 0);
        baseline = ResidentBytes();
    }
    ~Run()
    {
        window.OnClose();
        TApplication::ShowErrorBox = nullptr;
    }

    std::string failure;
    std::map<std::string, long long> longest;  // ms each kind of handler held the window at most
    long steps = 0, reads = 0, speedTests = 0, openSteps = 0;

    void Fail(const std::string &what)
    {
        if (failure.empty()) failure = "step " + std::to_string(steps) + ": " + what;
    }

    // One user step, and what must hold after it.
    void Step()
    {
        ++steps;
        const int op = Pick(1000);
        if (Clock::now() >= nextTest && chosen) {
            // Mostly on the board's port, as a user runs them.
            if (!PortIsOpen(BoardPort) && !form.BoardAway && Pick(4)) Choose(BoardPort - 1);
            ++speedTests;
            if (Pick(3)) Click(form.Button5, "a download", TestBound);
            else Click(form.Button4, "an upload", TestBound);
            nextTest = Clock::now() + ms(1000 + Pick(4000));
        } else if (op < 180) {
            form.Edit1->SetText(Text());
            Click(form.Button1, "Send", SendBound);
        } else if (op < 260) {
            form.Edit1->SetText(Text());
            char key = Pick(4) ? '\r' : char('a' + Pick(26));
            Timed("Enter", SendBound, [&] { form.Edit1->OnKeyPress(key); });
        } else if (op < 320) {
            const int choice = Pick(6);
            Choose(choice == 0 ? -1 : choice == 1 ? Missing[std::size_t(Pick(int(Missing.size())))] - 1 : BoardPort - 1);
        } else if (op < 340) {
            // Typed into the list: digits, letters and Backspace, as its completion takes them.
            for (int n = 1 + Pick(3); n > 0; --n)
                if (ComboType(entries, box, "1234567890ab\b"[Pick(13)]) && box.index != 0) Choose(box.index, true);
        } else if (op < 380) {
            form.RadioGroup1->SetItemIndex(Pick(2));
            Timed("the receive mode", OtherBound, [&] { form.RadioGroup1->OnClick(); });
        } else if (op < 410) {
            Click(form.Button3, "Receive Manually", OtherBound);
        } else if (op < 440) {
            // Now and then: a heartbeat switched on again waits its whole second.
            if (Pick(10) == 0) {
                if (form.Button6->Enabled()) beatToggled = true;
                Click(form.Button6, "the heartbeat switch", OtherBound);
            }
        } else if (op < 455) {
            Click(form.Button2, "Clear", OtherBound);
        } else if (op < 457) {
            // Enter held on a long text: the line fills when the board is not reading.
            // Stuck, the user lets go and waits a moment, the heartbeat on as often as not.
            form.Edit1->SetText(std::string(PortTextLimit, 'e'));
            for (int n = 0; n < 12 && form.Button1->Enabled(); ++n) {
                Click(form.Button1, "Send", SendBound);
                if (window.Find<HeadlessWindow::Edit>("Edit2")->text == std::to_string(PortTextLimit)) continue;
                if (!form.HeartbeatOn && Pick(2)) Click(form.Button6, "the heartbeat switch", OtherBound), beatToggled = true;
                window.Pump(1100);
                break;
            }
        } else if (op < 700) {
            ViewStep();
        }
        window.Pump(Pick(3));
        openSteps += PortIsOpen(BoardPort);
        Check();
    }

    // The board turns well-behaved: "hello" goes and comes back, and a download keeps the board's pace.
    void Calm()
    {
        if (form.HeartbeatOn) Click(form.Button6, "the heartbeat switch", OtherBound);
        form.RadioGroup1->SetItemIndex(1);
        form.RadioGroup1->OnClick();
        auto start = Clock::now();
        bool calm = false;
        while (!calm && MsSince(start) < 30000) {
            if (!PortIsOpen(BoardPort) && !form.BoardAway) Choose(BoardPort - 1);
            form.Edit1->SetText(sim::CalmWord);
            Click(form.Button1, "Send", SendBound);
            calm = window.PumpUntil([&] { return Shows("calm"); }, 1500) >= 0;
        }
        CHECK(calm);
        window.Pump(500);  // the echo of a calm word sent twice
        Click(form.Button2, "Clear", OtherBound);
        form.Edit1->SetText("hello");
        Click(form.Button1, "Send", SendBound);
        CHECK_EQ(window.Find<HeadlessWindow::Edit>("Edit2")->text, std::string("5"));
        CHECK(window.PumpUntil([&] { return Data() == "hello"; }, 3000) >= 0);
        Click(form.Button2, "Clear", OtherBound);
        Click(form.Button5, "a download", TestBound);
        const std::string line = form.Memo1->Lines.LineCount() ? form.Memo1->Lines.Line(0) : "";
        const std::string title = DownloadName + " (KB/s): ";
        const double speed = line.compare(0, title.size(), title) == 0 ? std::atof(line.c_str() + title.size()) : 0;
        std::printf("    once calm: %s (the board's pace %.0f KB/s)\n", line.c_str(), CalmRate);
        CHECK(std::fabs(speed - CalmRate) <= CalmRate / 100);
        Check();
    }

    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};

private:
    int Pick(int n) { return int(random() % std::uint64_t(n)); }

    // A text a user could type or paste: mostly short and plain, now and then long
    // (to the most a send takes), with bytes above 0x7F, one in ten with a byte
    // the board takes as a command; never the calm word's "!".
    std::string Text()
    {
        const int size = Pick(100);
        std::string text(std::size_t(size < 70 ? Pick(40) : size < 95 ? Pick(300) : Pick(int(PortTextLimit) + 1)), ' ');
        for (char &c : text) c = Pick(50) ? "abcdefghijklmnopqrstuvwxyz0123456789 "[Pick(37)] : char(0x80 + Pick(128));
        if (!text.empty() && Pick(10) == 0) text[std::size_t(Pick(int(text.size())))] = "*%^"[Pick(3)];
        return text;
    }

    // Port 1 is never typed to: under Wine it is the machine's own first serial port.
    void Choose(int index, bool typed = false)
    {
        form.ComboBox1->SetItemIndex(index);
        if (!typed) {
            box.index = index;
            box.text = index < 0 ? "" : std::to_string(index + 1);
            box.selFrom = box.selTo = int(box.text.size());
        }
        chosen = chosen || index >= 0;  // the first choice of none changes nothing
        Timed("the port's choice", OtherBound, [&] { form.ComboBox1->OnChange(); });
    }

    void Click(TButton *button, const char *what, ms bound)
    {
        if (!button->Enabled()) return;  // a user cannot click it
        const bool test = button == form.Button4 || button == form.Button5;
        const std::size_t before = form.Memo1->Lines.LineCount();
        const unsigned long long was = AllRead();
        const ms quiet = button == form.Button5 ? StallLimit : test ? StallLimit + ms(long(sim::LongestPause * 1000)) : ms(0);
        Timed(what, bound, [&] { button->OnClick(); }, quiet);
        if (button == form.Button3) Received(before);
        if (test) inTests += AllRead() - was;  // a test's bytes are its own, not the log's
        if (button == form.Button2) {
            if (form.Memo1->Lines.LineCount() != 0) Fail("\"Clear\" left lines in the log");
            clearedAt = AllRead() - inTests, counted = 0, scanned = 0;
        }
        if ((button == form.Button4 || button == form.Button5) && form.Memo1->Lines.LineCount() > before) {
            // A test's lines name it, or say that its board went away.
            const std::string name = button == form.Button4 ? UploadName : DownloadName;
            for (std::size_t i = before; i < form.Memo1->Lines.LineCount(); ++i) {
                const std::string line = form.Memo1->Lines.Line(i);
                if (line.compare(0, name.size(), name) != 0 && line.compare(0, 5, "Port ") != 0) Fail("a test wrote \"" + line + "\"");
            }
        }
    }

    template <typename F>
    void Timed(const char *what, ms bound, F handler, ms quiet = ms(0))
    {
        const auto start = Clock::now();
        watchdog.Enter(what, bound, quiet);
        TApplication::Run(handler);
        watchdog.Leave();
        const long long took = MsSince(start);
        longest[what] = std::max(longest[what], took);
        if (took > bound.count()) Fail(std::string(what) + " held the window " + std::to_string(took) + " ms, beyond its " + std::to_string(bound.count()) + " ms");
    }
    void Time(TTimer *timer, const char *what, ms bound)
    {
        auto handler = timer->OnTimer;
        timer->OnTimer = [this, timer, handler, what, bound] {
            const std::size_t before = form.Memo1->Lines.LineCount();
            Timed(what, bound, handler);
            if (timer == form.Timer1) Received(before);
        };
    }

    static unsigned long long AllRead() { return AllMoved(false); }

    // What a read put in the log from line `from` on: its count, then its bytes as they came.
    void Received(std::size_t from)
    {
        const TLogStore &log = form.Memo1->Lines;
        if (log.LineCount() <= from) return;
        const std::string count = log.Line(from), title = "# BytesReceived: ";
        if (count.compare(0, title.size(), title) != 0) return;  // no read: the board went away
        ++reads;
        const DWORD n = DWORD(std::strtoul(count.c_str() + title.size(), nullptr, 10));
        scratch.Clear();
        scratch.Append(ReceivedText(form.RxBuffer.data(), std::min<DWORD>(n, DWORD(form.RxBuffer.size()))));
        std::string why;
        if (log.LineCount() != from + 1 + scratch.LineCount())
            why = std::to_string(log.LineCount() - from - 1) + " lines where " + std::to_string(scratch.LineCount()) + " were due";
        for (std::size_t i = 0; why.empty() && i < scratch.LineCount(); ++i)
            if (log.Line(from + 1 + i) != scratch.Line(i)) why = "its line " + std::to_string(i) + " differs";
        // And its bytes kept exactly, every value.
        const TLogRead last = log.Reads() ? log.Read(log.Reads() - 1) : TLogRead{};
        const TLogRead *read = log.Reads() ? &last : nullptr;
        if (why.empty() && !(read && read->line == from && read->count == n)) why = "no read recorded at its count line";
        for (DWORD b = 0; why.empty() && b < n; ++b)
            if (log.At(read->at + b) != form.RxBuffer[b]) why = "its byte " + std::to_string(b) + " differs";
        if (!why.empty()) Fail("a read of " + std::to_string(n) + " bytes is not in the log as it came: " + why);
    }

    // The data lines since the last count line, joined.
    std::string Data() const
    {
        std::string text;
        const TLogStore &log = form.Memo1->Lines;
        for (std::size_t i = 0; i < log.LineCount(); ++i) {
            const std::string line = log.Line(i);
            if (line.compare(0, 17, "# BytesReceived: ") != 0) text += line;
        }
        return text;
    }
    bool Shows(const std::string &wanted) const
    {
        const TLogStore &log = form.Memo1->Lines;
        for (std::size_t i = log.LineCount(); i-- > 0 && i + 64 > log.LineCount();)
            if (log.Line(i) == wanted) return true;
        return false;
    }

    void ViewStep()
    {
        TLogView &v = view.view;
        switch (Pick(8)) {
        case 0: width = Pick(100), height = Pick(40), v.Resize(width, height); break;
        case 1:
            if (Pick(20) == 0) v.Shortcut(Pick(2) ? 'T' : 'H');  // the reads' times, hex, on or off
            else if (Pick(30) == 0) v.Find(std::string(1, char('a' + Pick(3))) + (Pick(2) ? " " : ""), Pick(2));
            else v.Key(TLogKey(Pick(12)), Pick(4));
            v.Work(2);  // a find goes on a slice a step
            break;
        case 2: v.Press(Pick(width + 4) - 2, Pick(height + 4) - 2, Pick(2)); break;
        case 3: v.Drag(Pick(width + 4) - 2, Pick(height + 6) - 3); break;
        case 4: v.Release(); break;
        case 5: v.Wheel(Pick(960) - 480); break;
        case 6: v.Scroll(TLogScroll(Pick(6))); break;
        default: v.ScrollTo(std::uint64_t(Pick(int(std::min<std::uint64_t>(v.TotalRows() + 3, 1u << 30))))); break;
        }
    }

    void Check()
    {
        // Every byte the ports gave, outside the throughput tests, is counted in the log, once.
        const TLogStore &log = form.Memo1->Lines;
        if (log.LineCount() < scanned) Fail("lines went from the log");
        for (; scanned < log.LineCount(); ++scanned) {
            const std::string line = log.Line(scanned);
            if (line.compare(0, 17, "# BytesReceived: ") == 0) counted += std::strtoull(line.c_str() + 17, nullptr, 10);
        }
        const unsigned long long read = AllRead() - inTests - clearedAt;
        if (counted != read) Fail("the log counts " + std::to_string(counted) + " bytes received, the ports gave " + std::to_string(read));

        // The controls agree with the state.
        const bool manual = form.RadioGroup1->ItemIndex() == 0;
        for (TButton *b : {form.Button1, form.Button4, form.Button5, form.Button6})
            if (b->Enabled() != chosen) Fail(chosen ? "a button off after a port was chosen" : "a button on before any port was chosen");
        if (form.Button3->Enabled() != manual) Fail("\"Receive Manually\" not on exactly in the manual mode");
        if (form.Timer1->Enabled() == manual) Fail("the poll not on exactly in the timer mode");
        if (form.HeartbeatOn && !form.Timer2->Enabled()) Fail("the heartbeat on, its timer off");
        if (beatToggled && !form.HeartbeatOn && form.Timer2->Enabled()) Fail("the heartbeat off, its timer on");
        if (form.Timer3->Enabled() != form.BoardAway) Fail("the reopening timer not on exactly while the board is away");

        // The view over the log stays whole.
        view.view.StoreChanged();
        const std::string broken = Invariants(view, width, height);
        if (!broken.empty()) Fail("the log's view: " + broken);

        // Memory is what the log holds, give or take a fixed amount.
        if (steps % 512 == 0) {
            const std::size_t resident = ResidentBytes(), allowed = baseline + 2 * log.Footprint() + (512u << 20);
            if (resident > allowed)
                Fail("the process holds " + std::to_string(resident >> 20) + " MB for a log of " + std::to_string(log.Footprint() >> 20) + " MB");
        }
    }

    Watchdog watchdog;
    std::mt19937_64 random{Seed};
    Log view{40, 10, 0, &form.Memo1->Lines};
    int width = 40, height = 10;
    TLogStore scratch;
    unsigned long long counted = 0, clearedAt = 0, inTests = 0;  // counted: since the log was last cleared
    std::size_t scanned = 0;
    std::size_t baseline = 0;
    bool chosen = false, beatToggled = false;
    Clock::time_point nextTest = Clock::now() + ms(500);
    std::vector<std::string> entries = [] {
        std::vector<std::string> e;
        for (int p = 1; p <= PortCount; ++p) e.push_back(std::to_string(p));
        return e;
    }();
    TComboText box;
};

}  // namespace

TEST_CASE(a_board_that_does_anything_and_a_user_who_does_anything)
{
#if !defined(_WIN32)
    PortsFolder ports;
    for (int port = 1; port < BoardPort; ++port) ports.Link(port, ports.root + "/absent");
    SimProcess board({"--port", std::to_string(BoardPort), "--chaos", std::to_string(Seed), "--rate", std::to_string(int(CalmRate))});
    BoardPid = board.pid;
#endif
    std::string failure;
    long steps = 0;
    {
        Run run;
        const auto begun = Clock::now();
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Seconds));
        while (run.failure.empty() && Clock::now() < end) {
            run.Step();
#if !defined(_WIN32)
            if (run.steps % 256 == 0) board.WaitLine("\n", 0);  // its account of itself is read as it goes
#endif
        }
        steps = run.steps;
        std::printf("    %ld user steps in %.0f s (seed %" PRIu64 "), the board's port open in %ld; %ld reads, %ld throughput tests, %zu lines in the log\n",
                    run.steps, double(MsSince(begun)) / 1000, Seed, run.openSteps, run.reads, run.speedTests, run.form.Memo1->Lines.LineCount());
        std::string held;
        for (const auto &l : run.longest) held += (held.empty() ? "" : ", ") + l.first + " " + std::to_string(l.second);
        std::printf("    the longest each held the window (ms): %s\n", held.c_str());
        if (run.failure.empty()) run.Calm();
        failure = run.failure;
    }
#if !defined(_WIN32)
    board.Stop();
    if (!failure.empty() || check::Failures()) {
        const std::string said = board.Output();
        std::size_t from = said.size();
        for (int n = 0; n < 40 && from > 0; ++n) from = said.rfind('\n', from - 1);
        std::printf("    the board's last words:\n%s\n", said.substr(from == std::string::npos ? 0 : from).c_str());
    }
#endif
    if (!failure.empty()) std::printf("    again with QUORVEL_CHAOS_SEED=%" PRIu64 "\n", Seed);
    CHECK_EQ(failure, std::string());
    CHECK(steps >= 100);  // the run ran
}

int main(int argc, char **argv)
{
    const char *seed = argc > 1 ? argv[1] : std::getenv("QUORVEL_CHAOS_SEED");
    Seed = seed && *seed ? std::strtoull(seed, nullptr, 10) : (std::uint64_t(std::random_device{}()) << 20) ^ std::random_device{}();
    Seed &= (std::uint64_t(1) << 53) - 1;
    if (const char *seconds = std::getenv("QUORVEL_CHAOS_SECONDS")) Seconds = std::max(1.0, std::atof(seconds));
    std::printf("the console on port %d, the board chaotic with seed %" PRIu64 ", for %.0f s%s\n", BoardPort, Seed, Seconds,
                UnderWine() ? " (under Wine)" : "");
    return check::RunAll();
}
