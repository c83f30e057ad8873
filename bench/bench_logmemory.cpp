// The log's memory for what it keeps, by kind of content: a store on disk fed
// as the window feeds it (a read at a time, rows counted as a view counts
// them), each kind in a process of its own, so that its peak is its own.
// Beside it, the same bytes written to a file of the same disk: the floor.
//   quorvel-bench-logmemory [--megabytes N]   (N of each kind; 1024 by default)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LogDisk.h"
#include "LogLayout.h"
#include "LogStore.h"
#include "Measure.h"

namespace {

struct Kind {
    const char *name;
    std::size_t read;  // bytes a read
    std::string (*make)(std::mt19937 &random, std::size_t n);
};

std::string Ordinary(std::mt19937 &random, std::size_t n)
{
    std::string out;
    while (out.size() < n) out += "t=" + std::to_string(random() % 100000) + " adc=" + std::to_string(random() % 4096) + " state ok, all channels nominal\r\n";
    out.resize(n);
    return out;
}
std::string CrLf(std::mt19937 &, std::size_t n)
{
    std::string out;
    while (out.size() < n) out += "\r\n";
    return out.substr(0, n);
}
std::string NulLf(std::mt19937 &, std::size_t n)
{
    std::string out;
    while (out.size() < n) out += std::string("\0\n", 2);
    return out.substr(0, n);
}
std::string Random(std::mt19937 &random, std::size_t n)
{
    std::string out(n, '\0');
    for (char &c : out) c = char(random());
    return out;
}

const Kind kinds[] = {
    {"ordinary lines", 4096, Ordinary}, {"CR LF pairs", 4096, CrLf}, {"NUL LF pairs", 4096, NulLf},
    {"random bytes", 4096, Random},     {"a byte a read", 1, Random},
};

long ResidentKb()
{
    long kb = 0;
    if (std::FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
        std::fclose(f);
    }
    return kb;
}

// One kind, in this process: a line of figures.
int Feed(const Kind &kind, std::uint64_t megabytes)
{
    std::mt19937 random(7);
    // A byte a read keeps its count line with it: a smaller stream says as much.
    const std::uint64_t want = (kind.read == 1 ? megabytes / 16 : megabytes) << 20;
    const std::string pattern = kind.make(random, std::size_t(16) << 20);
    const long before = ResidentKb();
    TLogStore store;
    std::string why;
    if (!store.KeepOnDisk(TLogFolder::Base(), why)) {
        std::fprintf(stderr, "quorvel-bench-logmemory: %s\n", why.c_str());
        return 1;
    }
    store.SetFloor(0);
    TLogLines lines(store);
    TLogLayout layout(store, lines);
    int widths[256];
    for (int &w : widths) w = 7;
    layout.SetWidths(widths);
    layout.SetRoom(7 * 120);
    std::int64_t us = 0;
    std::uint64_t fed = 0;
    double halfKept = 0, halfHeld = 0;  // at half way: what grows with the log is the slope from there
    const auto start = bench::Clock::now();
    for (std::size_t at = 0; store.Bytes() < want; at = (at + kind.read) % (pattern.size() - kind.read)) {
        us += 1000;
        if (!store.AppendRead(reinterpret_cast<const unsigned char *>(pattern.data() + at), kind.read, us, us)) break;
        fed += kind.read;
        // As a view at the end counts rows: every few milliseconds' worth.
        if ((fed & 0xFFFFF) < kind.read) layout.TotalRows();
        if (halfKept == 0 && store.Bytes() >= want / 2) halfKept = double(store.Bytes()) / double(1 << 30), halfHeld = double(ResidentKb() - before) / 1024.0;
    }
    layout.TotalRows();
    const double seconds = bench::Since(start);
    const double kept = double(store.Bytes()) / double(1 << 30);
    const double held = double(ResidentKb() - before) / 1024.0;
    // Allowed: 100 MB, and a thousandth of what is kept.
    std::printf("logmemory: %-15s %6.2f GB kept, %6.1f MB held (allowed %6.1f), growing %5.2f MB a GB kept, peak %6.1f MB, %5.0f MB/s fed\n", kind.name,
                kept, held, 100 + kept * 1024 / 1000, (held - halfHeld) / (kept - halfKept), bench::PeakMegabytes(), double(fed) / (1 << 20) / seconds);
    return 0;
}

// The floor: the same amount written to a file of the same disk, a 4 KB write at a time.
void Floor(std::uint64_t megabytes)
{
    const std::string path = TLogFolder::Base() + "/floor.bench";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return;
    unlink(path.c_str());
    std::vector<char> block(4096, 'x');
    const auto start = bench::Clock::now();
    for (std::uint64_t n = 0; n < (megabytes << 20); n += block.size())
        if (write(fd, block.data(), block.size()) <= 0) break;
    close(fd);
    std::printf("logmemory: the floor: %llu MB written to a file of the same disk at %.0f MB/s\n", static_cast<unsigned long long>(megabytes),
                double(megabytes) / bench::Since(start));
}

}  // namespace

int main(int argc, char **argv)
{
    std::uint64_t megabytes = 1024;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--megabytes") megabytes = std::strtoull(argv[++i], nullptr, 10);
    std::string folder, why;
    if (!TLogFolder::Make(TLogFolder::Base(), folder, why)) {
        std::fprintf(stderr, "quorvel-bench-logmemory: %s\n", why.c_str());
        return 1;
    }
    TLogFolder::Remove(folder);
    Floor(megabytes);
    int failed = 0;
    for (const Kind &kind : kinds) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const int status = Feed(kind, megabytes);
            std::fflush(stdout);
            _exit(status);
        }
        int status = 0;
        waitpid(child, &status, 0);
        failed |= !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return failed;
}
