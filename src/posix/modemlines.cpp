// The modem lines and the break, as EscapeCommFunction and SetCommState set
// them on a Windows driver, over the terminal's own ioctls.
#include "porttable.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/ioctl.h>
#include <termios.h>

using namespace standin;

namespace {

// QUORVEL_LINES_RECORD names a file that each change is added to, as
// "<ms> DTR on": a test's view of the lines. It also plays a driver that has
// them where the terminal refuses them (a pseudo-terminal has none; an
// emulator may not pass the call on at all).
const char *RecordFile() { return std::getenv("QUORVEL_LINES_RECORD"); }

void Record(const std::string &change)
{
    const char *path = RecordFile();
    if (!path) return;
    if (std::FILE *f = std::fopen(path, "a")) {
        using namespace std::chrono;
        const long long ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        std::fprintf(f, "%lld %s\n", ms, change.c_str());
        std::fclose(f);
    }
}

BOOL Change(int fd, unsigned long request, int bits, const char *what)
{
    const int r = bits ? ioctl(fd, request, &bits) : ioctl(fd, request);
    if (r != 0 && !RecordFile()) return FailErrno();
    Record(what);
    return TRUE;
}

}  // namespace

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD function)
{
    auto port = Find(h);
    if (!port) return Fail(ERROR_INVALID_HANDLE);
    switch (function) {
    case SETDTR: return Change(port->fd, TIOCMBIS, TIOCM_DTR, "DTR on");
    case CLRDTR: return Change(port->fd, TIOCMBIC, TIOCM_DTR, "DTR off");
    case SETRTS: return Change(port->fd, TIOCMBIS, TIOCM_RTS, "RTS on");
    case CLRRTS: return Change(port->fd, TIOCMBIC, TIOCM_RTS, "RTS off");
    // A pseudo-terminal takes a break and does nothing: that is its driver's answer.
    case SETBREAK: return Change(port->fd, TIOCSBRK, 0, "break on");
    case CLRBREAK: return Change(port->fd, TIOCCBRK, 0, "break off");
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

namespace standin {

BOOL SetLines(int fd, const DCB &dcb)
{
    // Handshake modes are the driver's to drive; enabled and disabled are set here.
    // A terminal without the lines (a pseudo-terminal) takes the settings as Windows' null-modem drivers do.
    for (const auto &[control, bit, name] : {std::make_tuple(DWORD(dcb.fDtrControl), TIOCM_DTR, "DTR"),
                                             std::make_tuple(DWORD(dcb.fRtsControl), TIOCM_RTS, "RTS")}) {
        if (control != DTR_CONTROL_ENABLE && control != DTR_CONTROL_DISABLE) continue;
        const bool on = control == DTR_CONTROL_ENABLE;
        int bits = bit;
        if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && errno != ENOTTY && errno != EINVAL) return FailErrno();
        Record(std::string(name) + (on ? " on" : " off"));
    }
    return TRUE;
}

}  // namespace standin
