// quorvel-bench-peer upload|download FD: the far end of a plain transfer over
// the terminal FD, in a process of its own as the simulator is. It says "r"
// on its standard output once it is ready, then reads 262144 bytes (upload),
// or waits for one byte and answers with 262144 (download).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "Protocol.h"

namespace {

constexpr std::size_t Volume = TestVolume;
unsigned char buffer[Volume];

bool Move(ssize_t (*io)(int, void *, std::size_t), int fd, std::size_t want, std::size_t chunk)
{
    for (std::size_t done = 0; done < want;) {
        ssize_t r = io(fd, buffer + done, std::min(chunk, want - done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += std::size_t(r);
    }
    return true;
}

ssize_t Read(int fd, void *data, std::size_t n) { return read(fd, data, n); }
ssize_t Write(int fd, void *data, std::size_t n) { return write(fd, data, n); }

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) return 2;
    int fd = std::atoi(argv[2]);
    std::memset(buffer, 'x', sizeof buffer);
    if (write(1, "r", 1) != 1) return 1;
    if (!std::strcmp(argv[1], "upload")) return Move(Read, fd, Volume, 65536) ? 0 : 1;
    if (!std::strcmp(argv[1], "download")) return Move(Read, fd, 1, 1) && Move(Write, fd, Volume, Volume) ? 0 : 1;
    return 2;
}
