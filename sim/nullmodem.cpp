// quorvel-nullmodem: two ports joined like a null-modem cable. Each is a
// pseudo-terminal linked as comN in a ports folder (the console's, or Wine's
// dosdevices); what is written to one is read from the other, at the pace the
// reading side takes it. Tests use it to be their own far end.
//
//   quorvel-nullmodem [--folder DIR] A B [-- COMMAND ARGS...]
//
// With a command, the cable lasts while the command runs and the exit status
// is the command's; without one, it lasts until SIGINT or SIGTERM.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Terminal.h"
#include "portsfolder.h"

namespace {

const char Usage[] =
    "usage: quorvel-nullmodem [--folder DIR] A B [-- COMMAND ARGS...]\n"
    "  Joins ports A and B (1 to 255) like a null-modem cable. DIR is where the\n"
    "  comN links go (default: the console's ports folder).\n";

volatile sig_atomic_t stopRequested = 0;
void OnStop(int) { stopRequested = 1; }

// Makes the device the controlling terminal of a session of its own: a
// keeper process leads it until the cable goes. No other session leader can
// then take the terminal as its own (Wine's server would, when it opens the
// port) and get a hang-up when the cable closes. Returns the keeper's end of
// a pipe whose closing ends the keeper.
int Keep(const std::string &device)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        close(pipeFds[1]);
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_IGN);
        setsid();
        int fd = open(device.c_str(), O_RDWR);  // without O_NOCTTY: it becomes ours
        if (fd >= 0) close(fd);
        char byte;
        while (read(pipeFds[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(pipeFds[0]);
    return pipeFds[1];
}

// One direction of the cable: bytes read from one terminal wait here until
// the other takes them, so a side that stops reading holds the writer back.
struct Lane {
    Lane(int from, int to) : from(from), to(to) {}
    int from, to;
    char buffer[4096];
    std::size_t begin = 0, end = 0;
    short WantFrom() const { return begin == end ? POLLIN : 0; }
    short WantTo() const { return begin != end ? POLLOUT : 0; }
    void Move(short fromReady, short toReady)
    {
        if (begin == end && (fromReady & POLLIN)) {
            ssize_t n = read(from, buffer, sizeof buffer);
            begin = 0;
            end = n > 0 ? std::size_t(n) : 0;
        }
        if (begin != end && (toReady & POLLOUT)) {
            ssize_t n = write(to, buffer + begin, end - begin);
            if (n > 0) begin += std::size_t(n);
        }
    }
};

int PortArgument(const char *text)
{
    char *rest = nullptr;
    long n = std::strtol(text, &rest, 10);
    return (*text && !*rest && n >= 1 && n <= 255) ? int(n) : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string folder = PortsFolder();
    std::vector<int> ports;
    std::vector<char *> command;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--folder" && i + 1 < argc) folder = argv[++i];
        else if (int port = PortArgument(argv[i])) ports.push_back(port);
        else {
            std::fputs(Usage, stderr);
            return 2;
        }
    }
    if (ports.size() != 2 || ports[0] == ports[1]) {
        std::fputs(Usage, stderr);
        return 2;
    }

    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, OnStop);
    std::signal(SIGPIPE, SIG_IGN);
    sim::Terminal ends[2];
    std::string entries[2];
    int keepers[2] = {-1, -1};
    std::string error;
    for (int i = 0; i < 2; ++i) {
        entries[i] = folder + "/com" + std::to_string(ports[i]);
        if (!ends[i].Open(error) || (keepers[i] = Keep(ends[i].path)) < 0 || !sim::Link(entries[i], ends[i].path, error)) {
            std::fprintf(stderr, "quorvel-nullmodem: %s\n", error.empty() ? std::strerror(errno) : error.c_str());
            return 1;
        }
    }
    std::printf("quorvel-nullmodem: port %d (%s) and port %d (%s) joined in %s\n", ports[0], ends[0].path.c_str(),
                ports[1], ends[1].path.c_str(), folder.c_str());
    std::fflush(stdout);

    pid_t child = -1;
    if (!command.empty()) {
        command.push_back(nullptr);
        child = fork();
        if (child == 0) {
            for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(s, SIG_DFL);
            execvp(command[0], command.data());
            std::fprintf(stderr, "quorvel-nullmodem: cannot run %s: %s\n", command[0], std::strerror(errno));
            _exit(127);
        }
    }

    Lane lanes[2] = {{ends[0].master, ends[1].master}, {ends[1].master, ends[0].master}};
    int status = 0;
    while (!stopRequested) {
        pollfd p[2] = {{ends[0].master, short(lanes[0].WantFrom() | lanes[1].WantTo()), 0},
                       {ends[1].master, short(lanes[1].WantFrom() | lanes[0].WantTo()), 0}};
        // A short wait, so that the end of the command is seen soon.
        if (poll(p, 2, child > 0 ? 20 : -1) > 0) {
            lanes[0].Move(p[0].revents, p[1].revents);
            lanes[1].Move(p[1].revents, p[0].revents);
        }
        int raw;
        if (child > 0 && waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            child = -1;
            break;
        }
    }
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        status = 1;
    }
    for (int i = 0; i < 2; ++i) {
        sim::Unlink(entries[i], ends[i].path);
        ends[i].Close();
        close(keepers[i]);
    }
    while (wait(nullptr) > 0) {
    }
    return status;
}
