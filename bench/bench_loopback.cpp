// quorvel-bench-loopback [--seconds S] [--runs N]: the loopback test's
// throughput on a pseudo-terminal against the echoing simulator, beside a
// plain echo loop over the same port table and the same board (write 4 KB,
// read it back, compare, again), in turns in the same run. The loopback must
// reach 0.9 of the plain loop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LinkTests.h"
#include "Measure.h"
#include "WinCom.h"

namespace {

const BYTE Port = 15;

// KB/s each way of the plain loop for `seconds`; 0 when a block did not come back whole.
double PlainLoop(double seconds)
{
    std::vector<unsigned char> out(4096), in(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = (unsigned char)(i * 7 + 1);
    PurgeInput(Port);
    std::uint64_t moved = 0;
    const auto start = bench::Clock::now();
    while (bench::Since(start) < seconds) {
        if (WritePort(Port, out.data(), DWORD(out.size())) != out.size()) return 0;
        std::size_t got = 0;
        const auto asked = bench::Clock::now();
        while (got < in.size() && bench::Since(asked) < 2)
            if (BytesWaiting(Port)) got += ReadPort(Port, in.data() + got, DWORD(in.size() - got));
        if (got != in.size() || std::memcmp(in.data(), out.data(), in.size())) return 0;
        moved += got;
    }
    return double(moved) / 1024 / bench::Since(start);
}

double Loopback(double seconds, std::uint64_t &errors)
{
    TLoopbackTest::Limits limits;
    limits.duration = std::chrono::milliseconds((long long)(seconds * 1000));
    TLoopbackTest test(Port, ".", limits);
    while (test.Slice(std::chrono::milliseconds(30)) == TPortJob::State::Going) test.TakeLines();
    errors += test.Figures().Errors;
    return test.Figures().Kbps;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 2;
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[++i]));
    }
    char folder[] = "/tmp/quorvel-bench-loopback-XXXXXX";
    if (!mkdtemp(folder)) return 1;
    setenv("XDG_CONFIG_HOME", folder, 1);
    const pid_t board = fork();
    if (board == 0) {
        execl(QUORVEL_SIM, QUORVEL_SIM, "--port", "15", "--echo", static_cast<char *>(nullptr));
        _exit(127);
    }
    bool opened = false;
    for (int i = 0; i < 100 && !(opened = OpenPort(Port, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000)); ++i) usleep(50000);
    int status = 1;
    if (opened) {
        std::vector<double> plain, ours;
        std::uint64_t errors = 0;
        for (int r = 0; r < runs; ++r) {
            // In turns, so that a machine's slow spell falls on both.
            plain.push_back(PlainLoop(seconds));
            ours.push_back(Loopback(seconds, errors));
        }
        const double p = bench::Percentile(plain, 50), o = bench::Percentile(ours, 50), ratio = p > 0 ? o / p : 0;
        std::printf("loopback: a plain echo loop of 4 KB blocks %.0f KB/s, the loopback test %.0f KB/s each way (medians of %d runs of %.1f s); "
                    "%.2f x the plain loop (at least 0.90: %s); %llu errors\n",
                    p, o, runs, seconds, ratio, ratio >= 0.9 ? "ok" : "MISSED", (unsigned long long)errors);
        status = ratio >= 0.9 && errors == 0 ? 0 : 1;
    } else {
        std::printf("loopback: the simulator's port did not open\n");
    }
    CloseAllPorts();
    kill(board, SIGTERM);
    waitpid(board, nullptr, 0);
    rmdir((std::string(folder) + "/quorvel/ports").c_str());
    rmdir((std::string(folder) + "/quorvel").c_str());
    rmdir(folder);
    return status;
}
