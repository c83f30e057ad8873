// Test helper: the real quorvel-sim, started as a child process, with its
// output lines and its counts of what it received.
#ifndef QUORVEL_TESTS_SIMPROCESS_H
#define QUORVEL_TESTS_SIMPROCESS_H

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

struct SimCounts {
    long long text = -1, heartbeats = -1, announces = -1, upload = -1, uploadMarks = -1, requests = -1, sent = -1;
};

class SimProcess {
public:
    // Starts the simulator with these options (XDG_CONFIG_HOME as the caller set it)
    // and waits until it has linked its port.
    explicit SimProcess(std::vector<std::string> options)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        options.insert(options.begin(), QUORVEL_SIM);
        // Built for another processor, it runs under the emulator the tests run under.
        if (const char *emulator = std::getenv("QUORVEL_EMULATOR")) {
            std::vector<std::string> words;
            std::istringstream in(emulator);
            for (std::string word; in >> word;) words.push_back(word);
            options.insert(options.begin(), words.begin(), words.end());
        }
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            std::vector<char *> argv;
            for (std::string &o : options) argv.push_back(o.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        fd = out[0];
        if (WaitLine("board on port", 5000).empty()) throw std::runtime_error("quorvel-sim did not start: " + Output());
    }
    ~SimProcess() { Stop(); }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // The next line holding `text`, or "" when none came within `ms`.
    std::string WaitLine(const std::string &text, int ms = 3000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                lines.push_back(line);
                if (line.find(text) != std::string::npos) return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (fd < 0) return "";
            // What has come is read even when no time is left, so that a
            // caller may look without waiting.
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(std::max<long long>(left, 0))) <= 0) {
                if (left <= 0) return "";
                continue;
            }
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fd);
                fd = -1;
            } else {
                pending.append(buffer, std::size_t(n));
            }
        }
    }

    // What the simulator has received so far, by kind.
    SimCounts Counts()
    {
        if (pid > 0) kill(pid, SIGUSR1);
        return Parse(WaitLine("received text"));
    }

    // Ends the simulator; its last counts.
    SimCounts Stop()
    {
        SimCounts last;
        if (pid > 0) {
            kill(pid, SIGTERM);
            last = Parse(WaitLine("received text"));
            waitpid(pid, &status, 0);
            pid = -1;
        }
        if (fd >= 0) close(fd);
        fd = -1;
        return last;
    }

    std::string Output() const
    {
        std::string all;
        for (const std::string &line : lines) all += line + "\n";
        return all + pending;
    }

    static SimCounts Parse(const std::string &line)
    {
        SimCounts c;
        std::sscanf(line.c_str(), "quorvel-sim: received text %lld, heartbeats %lld, announces %lld, upload %lld (%lld \"%%\"), requests %lld; sent %lld",
                    &c.text, &c.heartbeats, &c.announces, &c.upload, &c.uploadMarks, &c.requests, &c.sent);
        return c;
    }

    pid_t pid = -1;
    int status = 0;

private:
    int fd = -1;
    std::string pending;
    std::vector<std::string> lines;
};

#endif
