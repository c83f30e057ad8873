// quorvel-sim: a test board on a pseudo-terminal, linked as one of the
// console's ports, so that the console can be run and tested without hardware.
#include <algorithm>
#include <csignal>
#include <memory>
#include <cstdio>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Board.h"
#include "Chaos.h"
#include "Echo.h"
#include "Terminal.h"
#include "portsfolder.h"

namespace {

using sim::Link;
using sim::Terminal;
using sim::Unlink;

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t countsRequested = 0;
volatile sig_atomic_t unplugRequested = 0;

void OnStop(int) { stopRequested = 1; }
void OnCounts(int) { countsRequested = 1; }
void OnUnplug(int) { unplugRequested = 1; }

void Say(const std::string &line) { std::printf("quorvel-sim: %s\n", line.c_str()); }

// Waits for the terminal or a signal, at most until `until`.
int Wait(int fd, short events, sim::Clock::time_point until, const sigset_t &open)
{
    auto left = std::max(until - sim::Clock::now(), sim::Clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{time_t(ns / 1000000000), long(ns % 1000000000)};
    pollfd p{fd, events, 0};
    int r = ppoll(&p, 1, &timeout, &open);
    return r > 0 ? p.revents : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(sim::Usage, stdout);
            return 0;
        }
    sim::Options options;
    std::string error;
    if (!sim::ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "quorvel-sim: %s\n%s", error.c_str(), sim::Usage);
        return 2;
    }

    // Signals are taken only while waiting, so a stop never lands mid-write.
    sigset_t blocked, open;
    sigemptyset(&blocked);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, &open);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, OnStop);
    std::signal(SIGUSR1, OnCounts);
    std::signal(SIGUSR2, OnUnplug);  // as a board unplugged by hand, and plugged in again
    std::signal(SIGPIPE, SIG_IGN);

    const std::string entry = (options.folder.empty() ? PortsFolder() : options.folder) + "/com" + std::to_string(options.port);
    Terminal terminal;
    const bool ownTerminal = options.device.empty();
    if (ownTerminal ? !terminal.Open(error) || !Link(entry, terminal.path, error) : !terminal.OpenDevice(options.device, error)) {
        Say(error);
        return 1;
    }
    Say("board on port " + std::to_string(options.port) + " (" + terminal.path +
        (ownTerminal ? ", linked as " + entry + ")" : ", served as it is)"));

    std::unique_ptr<sim::Board> made;
    if (options.echo) made = std::make_unique<sim::Echo>(options, sim::Clock::now(), [](const std::string &line) { Say(line); });
    else if (options.chaos) made = std::make_unique<sim::Chaos>(options, sim::Clock::now(), ownTerminal, [](const std::string &line) { Say(line); });
    else made = std::make_unique<sim::Board>(options, sim::Clock::now());
    sim::Board &board = *made;
    static unsigned char buffer[65536];
    int status = 0;
    int busy = 0;  // rounds in a row that moved bytes
    while (!stopRequested) {
        if (countsRequested) {
            countsRequested = 0;
            Say(board.Report());
        }
        auto now = sim::Clock::now();
        board.Tick(now);
        if (!ownTerminal && unplugRequested) {
            unplugRequested = 0;
            Say("unplug the device itself (its gadget, its cable): this one is not the simulator's to drop");
        }
        if (ownTerminal && (board.HangupDue() || unplugRequested)) {
            unplugRequested = 0;
            // As an unplugged board: the line goes dead, and a new one comes a second later.
            // What went out before that is let through first (a second at most), so the
            // console sees exactly the bytes that were sent.
            // The kernel hands bytes to the reading side in steps, so a single
            // empty reading can come between two steps: it must stay empty for 50 ms.
            auto limit = sim::Clock::now() + std::chrono::seconds(1);
            auto emptySince = sim::Clock::now();
            int waiting = 0;
            while (!stopRequested && sim::Clock::now() < limit && ioctl(terminal.device, FIONREAD, &waiting) == 0) {
                if (waiting > 0) emptySince = sim::Clock::now();
                else if (sim::Clock::now() - emptySince >= std::chrono::milliseconds(50)) break;
                Wait(-1, 0, sim::Clock::now() + std::chrono::milliseconds(2), open);
            }
            Unlink(entry, terminal.path);
            terminal.Close();
            Say("link dropped");
            auto back = sim::Clock::now() + std::chrono::seconds(1);
            while (!stopRequested && sim::Clock::now() < back) Wait(-1, 0, back, open);
            if (stopRequested) break;
            if (!terminal.Open(error) || !Link(entry, terminal.path, error)) {
                Say(error);
                status = 1;
                break;
            }
            board.Replugged(sim::Clock::now());
            Say("board back on port " + std::to_string(options.port) + " (" + terminal.path + ")");
            continue;
        }
        std::size_t canRead = board.ReadAllowance(now);
        std::size_t canWrite = board.WriteAllowance(now);
        short events = short((canRead ? POLLIN : 0) | (canWrite ? POLLOUT : 0));
        // While bytes flow, go straight back to the terminal: a wait each time
        // would make the board slower than a plain reader. Every few rounds
        // the wait comes anyway, as signals are taken only there.
        int ready = busy > 0 ? events : Wait(terminal.master, events, board.NextWake(now), open);
        bool moved = false, hungUp = (ready & (POLLHUP | POLLERR)) != 0;
        if (ready & POLLIN) {
            ssize_t n = read(terminal.master, buffer, std::min(canRead, sizeof buffer));
            if (n > 0) board.Receive(buffer, std::size_t(n), sim::Clock::now()), moved = true;
            if (n == 0 || (n < 0 && errno == EIO)) hungUp = true;
            if (auto timing = board.TakeUploadTiming()) Say(sim::FormatUploadTiming(*timing));
        }
        // What was read may have changed what is to go (a chaotic board calmed down).
        canWrite = std::min(canWrite, board.Pending());
        if ((ready & POLLOUT) && canWrite) {
            ssize_t n = write(terminal.master, board.Output(), canWrite);
            if (n > 0) board.Sent(std::size_t(n), sim::Clock::now()), moved = true;
        }
        busy = moved && busy < 15 ? busy + 1 : 0;
        if (hungUp && !ownTerminal) {
            // The device's link went down (a gadget unbound): its descriptor
            // stays hung up, so it is opened afresh until the link is back.
            terminal.Close();
            Say("link dropped");
            while (!stopRequested) {
                Wait(-1, 0, sim::Clock::now() + std::chrono::milliseconds(50), open);
                if (!terminal.OpenDevice(options.device, error)) continue;
                if (!(Wait(terminal.master, POLLIN, sim::Clock::now(), open) & (POLLHUP | POLLERR))) break;
                terminal.Close();
            }
            if (stopRequested) break;
            board.Replugged(sim::Clock::now());
            Say("board back on port " + std::to_string(options.port) + " (" + terminal.path + ")");
        }
    }
    if (ownTerminal) Unlink(entry, terminal.path);
    terminal.Close();
    Say(board.Report());
    return status;
}
