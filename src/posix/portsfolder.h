// Where ports are linked to devices on POSIX systems: the "comN" entries of
// $XDG_CONFIG_HOME/quorvel/ports (default ~/.config). Shared by the port
// table's stand-in and the board simulator, which links its terminal there.
#ifndef QUORVEL_PORTSFOLDER_H
#define QUORVEL_PORTSFOLDER_H

#include <cstdlib>
#include <string>

#include <pwd.h>
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

#endif
