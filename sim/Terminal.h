// A pseudo-terminal that stands for a port, and its link in a ports folder.
// Shared by the board simulator and the null-modem cable.
#ifndef QUORVEL_SIM_TERMINAL_H
#define QUORVEL_SIM_TERMINAL_H

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

// The far end of a pseudo-terminal, whose device end a port opens. The device
// end is held open too, so that the line keeps its settings and never reads as
// hung up between the console's visits; the console's reads and writes share
// it undisturbed.
struct Terminal {
    int master = -1, device = -1;
    std::string path;

    bool Open(std::string &error)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            error = std::string("no pseudo-terminal: ") + std::strerror(errno);
            Close();
            return false;
        }
        path = ptsname(master);
        device = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (device < 0 || !MakeRaw(device)) {
            error = "cannot set up " + path + ": " + std::strerror(errno);
            Close();
            return false;
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        return true;
    }
    // An existing terminal (a USB gadget's serial port, say), raw at 115200.
    bool OpenDevice(const std::string &name, std::string &error)
    {
        master = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (master < 0 || !MakeRaw(master)) {
            error = "cannot open " + name + ": " + std::strerror(errno);
            Close();
            return false;
        }
        path = name;
        return true;
    }
    // Raw at 115200, as the console's port is.
    static bool MakeRaw(int fd)
    {
        termios t;
        if (tcgetattr(fd, &t) != 0) return false;
        cfmakeraw(&t);
        cfsetspeed(&t, B115200);
        tcsetattr(fd, TCSANOW, &t);
        return true;
    }
    void Close()
    {
        if (master >= 0) close(master);
        if (device >= 0) close(device);
        master = device = -1;
    }
};

inline bool MakeFolders(const std::string &folder)
{
    for (std::size_t at = 1; at != std::string::npos;) {
        at = folder.find('/', at + 1);
        std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Points the port's entry at the device, replacing whatever was there.
inline bool Link(const std::string &entry, const std::string &device, std::string &error)
{
    std::string folder = entry.substr(0, entry.rfind('/'));
    std::string temporary = entry + ".new" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (!MakeFolders(folder) || symlink(device.c_str(), temporary.c_str()) != 0 ||
        rename(temporary.c_str(), entry.c_str()) != 0) {
        error = "cannot link " + entry + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes the entry only while it is still ours; another board may have taken the port since.
inline void Unlink(const std::string &entry, const std::string &device)
{
    char target[PATH_MAX];
    ssize_t n = readlink(entry.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, std::size_t(n)) == device) unlink(entry.c_str());
}

}  // namespace sim

#endif
