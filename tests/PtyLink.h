// Test helpers: a pseudo-terminal linked as port n in a private ports folder,
// so that the real port table opens it as COMn; the test holds the board's end.
#ifndef QUORVEL_TESTS_PTYLINK_H
#define QUORVEL_TESTS_PTYLINK_H

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Points $XDG_CONFIG_HOME at a fresh folder for the life of the object.
class PortsFolder {
public:
    PortsFolder()
    {
        char templ[] = "/tmp/quorvel-test-XXXXXX";
        if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
        root = templ;
        folder = root + "/quorvel/ports";
        mkdir((root + "/quorvel").c_str(), 0700);
        mkdir(folder.c_str(), 0700);
        setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    }
    ~PortsFolder() { std::system(("rm -rf '" + root + "'").c_str()); }
    std::string Entry(int port) const { return folder + "/com" + std::to_string(port); }
    void Link(int port, const std::string &target) const
    {
        unlink(Entry(port).c_str());
        if (symlink(target.c_str(), Entry(port).c_str()) != 0) throw std::runtime_error("symlink failed");
    }
    std::string root, folder;
};

// In the USB CDC rig (tests/rig/): the board pulled out (the gadget unbound
// from its controller) or put back.
inline void RigPlug(bool in)
{
    const char *udc = std::getenv("QUORVEL_RIG_UDC"), *controller = std::getenv("QUORVEL_RIG_CONTROLLER");
    if (!udc || !controller) throw std::runtime_error("not in the USB CDC rig");
    std::string line = in ? std::string(controller) + "\n" : "\n";
    int fd = open(udc, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size())) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot write the gadget's UDC");
    }
    close(fd);
}

// One pseudo-terminal; the port table opens its device end as COMn.
class PtyLink {
public:
    PtyLink(const PortsFolder &ports, int port) : port(port)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pseudo-terminal");
        device = ptsname(master);
        termios t;
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        ports.Link(port, device);
    }
    // An existing pair instead: the board's end `boardEnd` (a USB gadget's
    // /dev/ttyGS0) held by the test, the port linked to `portDevice` (the
    // kernel's cdc-acm /dev/ttyACM0).
    PtyLink(const PortsFolder &ports, int port, const std::string &boardEnd, const std::string &portDevice)
        : port(port), device(portDevice)
    {
        master = open(boardEnd.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        termios t;
        if (master < 0 || tcgetattr(master, &t) != 0) throw std::runtime_error("cannot open " + boardEnd);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        ports.Link(port, portDevice);
    }
    ~PtyLink() { Hangup(); }
    PtyLink(const PtyLink &) = delete;
    PtyLink &operator=(const PtyLink &) = delete;

    // As a board would: bytes to the console.
    void Send(const std::string &bytes) const
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t r = write(master, bytes.data() + done, bytes.size() - done);
            if (r > 0) done += std::size_t(r);
            else {
                pollfd p{master, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }
    // Bytes the console sent: waits until `count` came or `ms` passed.
    std::string Receive(std::size_t count, int ms = 2000) const
    {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            char buffer[4096];
            ssize_t r = read(master, buffer, sizeof buffer);
            if (r > 0) got.append(buffer, std::size_t(r));
            else {
                pollfd p{master, POLLIN, 0};
                poll(&p, 1, 10);
            }
        }
        return got;
    }
    // Everything that arrives within `ms`.
    std::string Drain(int ms = 100) const { return Receive(std::size_t(-1), ms); }
    // The board goes away: the device end sees a hang-up.
    void Hangup()
    {
        if (master >= 0) close(master);
        master = -1;
    }

    int port;
    int master = -1;
    std::string device;
};

#endif
