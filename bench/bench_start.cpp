// Start-up: from starting the program to its window shown on the X display,
// the console beside a bare Qt window started the same way.
//   quorvel-bench-start CONSOLE REFERENCE [--runs N]
// The X server tells when a window is mapped; nothing in the programs is changed.
#include <X11/Xlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Measure.h"

using namespace bench;

namespace {

// Seconds from spawning `program` to its first window mapped; -1 when none
// came within 10 s.
double TimeToWindow(Display *display, const char *program)
{
    XSync(display, True);  // forget what earlier runs left behind
    char *argv[] = {const_cast<char *>(program), nullptr};
    pid_t pid;
    auto start = Clock::now();
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return -1;
    double took = -1;
    while (took < 0 && Since(start) < 10) {
        while (took < 0 && XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify && !event.xmap.override_redirect) took = Since(start);
        }
        pollfd p{ConnectionNumber(display), POLLIN, 0};
        if (took < 0) poll(&p, 1, 5);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return took;
}

}  // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        std::fprintf(stderr, "usage: quorvel-bench-start CONSOLE REFERENCE [--runs N]\n");
        return 2;
    }
    int runs = argc > 4 && !std::strcmp(argv[3], "--runs") ? std::max(1, std::atoi(argv[4])) : 5;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "quorvel-bench-start: no X display (DISPLAY is \"%s\")\n", getenv("DISPLAY") ? getenv("DISPLAY") : "");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);

    const char *mode = "start";
    std::printf("%s: from starting the program to its window mapped on X display %s; a warm-up, then %d runs each, "
                "taking turns\n", mode, DisplayString(display), runs);
    std::vector<double> console, reference;
    for (int i = -1; i < runs; ++i) {
        double c = TimeToWindow(display, argv[1]) * 1000, r = TimeToWindow(display, argv[2]) * 1000;
        if (c < 0 || r < 0) {
            std::fprintf(stderr, "quorvel-bench-start: no window came within 10 s\n");
            return 2;
        }
        if (i >= 0) console.push_back(c), reference.push_back(r);  // the first run fills the file cache
    }
    double c = Median(console), r = Median(reference);
    std::printf("%s: console ms: %s\n", mode, Series(console, 1).c_str());
    std::printf("%s: bare Qt window ms: %s\n", mode, Series(reference, 1).c_str());
    std::printf("%s: median console/bare window %.2f; target under 300 ms: %s\n", mode, c / r, Verdict(c < 300));
    XCloseDisplay(display);
    return c < 300 ? 0 : 1;
}
