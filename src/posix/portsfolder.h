// Where ports are linked to devices on POSIX systems: the "comN" entries of
// $XDG_CONFIG_HOME/quorvel/ports (default ~/.config), and the port names
// that lead there. Shared by the port table's stand-in and the board
// simulator, which links its terminal there.
#ifndef QUORVEL_PORTSFOLDER_H
#define QUORVEL_PORTSFOLDER_H

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

inline std::string PortsFolder()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd *pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/quorvel/ports";
}

// "COMn" (n 1..9) or "\\.\COMn" (n >= 1) gives n; anything else 0. As a DOS
// device name (never with the prefix) every "COMn" counts.
inline unsigned PortNumber(const char *name, bool dosName = false)
{
    if (!name) return 0;
    bool device = std::strncmp(name, "\\\\.\\", 4) == 0;
    if (device && dosName) return 0;
    if (device) name += 4;
    if (strncasecmp(name, "COM", 3) != 0) return 0;
    name += 3;
    if (*name < '1' || *name > '9') return 0;
    unsigned long n = 0;
    for (; *name; ++name) {
        if (*name < '0' || *name > '9' || n > 99999) return 0;
        n = n * 10 + unsigned(*name - '0');
    }
    // Win32 only knows COM1 to COM9 by their bare names.
    if (!device && !dosName && n > 9) return 0;
    return unsigned(n);
}

// The device port n opens: the target of its link, else /dev/ttyACM<n-1>.
inline std::string DevicePath(unsigned n)
{
    std::string entry = PortsFolder() + "/com" + std::to_string(n);
    struct stat st;
    if (lstat(entry.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return entry;
        char target[PATH_MAX];
        ssize_t len = readlink(entry.c_str(), target, sizeof target - 1);
        if (len <= 0) return entry;
        target[len] = 0;
        if (target[0] == '/') return target;
        return PortsFolder() + "/" + target;
    }
    return "/dev/ttyACM" + std::to_string(n - 1);
}

#endif
