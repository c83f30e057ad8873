// quorvel-nullmodem: two ports joined like a null-modem cable. Each is a
// pseudo-terminal linked as comN in a ports folder (the console's, or Wine's
// dosdevices); what is written to one is read from the other, at the pace the
// reading side takes it. Tests use it to be their own far end.
//
//   quorvel-nullmodem [--folder DIR] A B [-- COMMAND ARGS...]
//
// With a command, the cable lasts while the command runs and the exit status
// is the command's; without one, it lasts until SIGINT or SIGTERM.
//
// The command's output passes through the cable, which obeys two lines in it,
// so that a test can pull a port out as a board is unplugged, on any platform:
//   quorvel-nullmodem: unplug N   the port hangs up and its link goes
//   quorvel-nullmodem: plug N     a new terminal is linked as the port
// The command finds QUORVEL_NULLMODEM=listening in its environment.
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
const char Prefix[] = "quorvel-nullmodem: ";

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
    if (pid < 0) {
        int error = errno;
        close(pipeFds[0]);
        close(pipeFds[1]);
        errno = error;
        return -1;
    }
    if (pid == 0) {
        // Nothing else of the cable's stays open here: an end held by a
        // keeper could not hang up.
        close_range(3, unsigned(pipeFds[0]) - 1, 0);
        close_range(unsigned(pipeFds[0]) + 1, ~0u, 0);
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

// One end of the cable.
struct Port {
    int number = 0;
    std::string entry;
    sim::Terminal terminal;
    int keeper = -1;

    bool Plug(std::string &error)
    {
        if (terminal.Open(error)) {
            keeper = Keep(terminal.path);
            if (keeper < 0) error = std::string("cannot keep ") + terminal.path + ": " + std::strerror(errno);
            else if (sim::Link(entry, terminal.path, error)) return true;
        }
        Unplug();
        return false;
    }
    // As an unplugged board: the line hangs up and the port's name goes.
    void Unplug()
    {
        sim::Unlink(entry, terminal.path);
        terminal.Close();
        if (keeper >= 0) close(keeper);
        keeper = -1;
    }
};

// One direction of the cable: bytes read from one end wait here until the
// other takes them, so a side that stops reading holds the writer back.
// Bytes towards an end that is unplugged are lost, as on a real line.
struct Lane {
    char buffer[4096];
    std::size_t begin = 0, end = 0;
    short WantFrom() const { return begin == end ? POLLIN : 0; }
    short WantTo() const { return begin != end ? POLLOUT : 0; }
    void Move(int from, short fromReady, int to, short toReady)
    {
        if (begin == end && (fromReady & POLLIN)) {
            ssize_t n = read(from, buffer, sizeof buffer);
            begin = 0;
            end = n > 0 ? std::size_t(n) : 0;
        }
        if (to < 0) begin = end = 0;
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

// Passes the command's output on, line by line, and obeys the cable's lines.
struct Control {
    int fd = -1;
    std::string pending;

    // False when nothing came.
    bool Take(Port (&ports)[2])
    {
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) Finish();
            return false;
        }
        pending.append(chunk, std::size_t(n));
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol + 1);
            pending.erase(0, eol + 1);
            std::fwrite(line.data(), 1, line.size(), stdout);
            Obey(line, ports);
        }
        std::fflush(stdout);
        return true;
    }
    void Finish()
    {
        std::fwrite(pending.data(), 1, pending.size(), stdout);
        std::fflush(stdout);
        pending.clear();
        close(fd);
        fd = -1;
    }
    static void Obey(std::string line, Port (&ports)[2])
    {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.compare(0, sizeof Prefix - 1, Prefix) != 0) return;
        line.erase(0, sizeof Prefix - 1);
        bool plug = line.compare(0, 5, "plug ") == 0;
        bool unplug = line.compare(0, 7, "unplug ") == 0;
        if (!plug && !unplug) return;
        int number = PortArgument(line.c_str() + (plug ? 5 : 7));
        for (Port &port : ports) {
            if (port.number != number) continue;
            std::string error;
            if (unplug) port.Unplug();
            else if (port.terminal.master < 0 && !port.Plug(error))
                std::fprintf(stderr, "%s%s\n", Prefix, error.c_str());
        }
    }
};

}  // namespace

int main(int argc, char **argv)
{
    std::string folder = PortsFolder();
    std::vector<int> numbers;
    std::vector<char *> command;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--folder" && i + 1 < argc) folder = argv[++i];
        else if (int number = PortArgument(argv[i])) numbers.push_back(number);
        else {
            std::fputs(Usage, stderr);
            return 2;
        }
    }
    if (numbers.size() != 2 || numbers[0] == numbers[1]) {
        std::fputs(Usage, stderr);
        return 2;
    }

    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, OnStop);
    std::signal(SIGPIPE, SIG_IGN);
    Port ports[2];
    for (int i = 0; i < 2; ++i) {
        ports[i].number = numbers[i];
        ports[i].entry = folder + "/com" + std::to_string(numbers[i]);
        std::string error;
        if (!ports[i].Plug(error)) {
            std::fprintf(stderr, "%s%s\n", Prefix, error.c_str());
            return 1;
        }
    }
    std::printf("%sport %d (%s) and port %d (%s) joined in %s\n", Prefix, ports[0].number,
                ports[0].terminal.path.c_str(), ports[1].number, ports[1].terminal.path.c_str(), folder.c_str());
    std::fflush(stdout);

    pid_t child = -1;
    Control control;
    if (!command.empty()) {
        command.push_back(nullptr);
        int output[2];
        if (pipe2(output, O_CLOEXEC) != 0) {
            std::fprintf(stderr, "%sno pipe: %s\n", Prefix, std::strerror(errno));
            return 1;
        }
        child = fork();
        if (child == 0) {
            for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(s, SIG_DFL);
            dup2(output[1], STDOUT_FILENO);
            setenv("QUORVEL_NULLMODEM", "listening", 1);
            execvp(command[0], command.data());
            std::fprintf(stderr, "%scannot run %s: %s\n", Prefix, command[0], std::strerror(errno));
            _exit(127);
        }
        close(output[1]);
        control.fd = output[0];
    }

    Lane lanes[2];  // from port 0 to port 1, and back
    int status = 0;
    while (!stopRequested) {
        int a = ports[0].terminal.master, b = ports[1].terminal.master;
        pollfd p[3] = {{a, short(lanes[0].WantFrom() | lanes[1].WantTo()), 0},
                       {b, short(lanes[1].WantFrom() | lanes[0].WantTo()), 0},
                       {control.fd, POLLIN, 0}};
        // A short wait, so that the end of the command is seen soon.
        if (poll(p, 3, child > 0 ? 20 : -1) > 0) {
            lanes[0].Move(a, p[0].revents, b, p[1].revents);
            lanes[1].Move(b, p[1].revents, a, p[0].revents);
            if (p[2].revents) control.Take(ports);
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
    // What the command said last. Programs it started (Wine's server) may
    // hold the output open, so take only what is there.
    if (control.fd >= 0) {
        fcntl(control.fd, F_SETFL, O_NONBLOCK);
        while (control.fd >= 0 && control.Take(ports)) {
        }
        if (control.fd >= 0) control.Finish();
    }
    for (Port &port : ports) port.Unplug();
    while (wait(nullptr) > 0) {
    }
    return status;
}
