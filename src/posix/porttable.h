// The stand-in's open ports, shared by its source files: each handle's
// descriptor and what the Win32 driver would keep for it, and the error
// codes its calls leave.
#ifndef QUORVEL_POSIX_PORTTABLE_H
#define QUORVEL_POSIX_PORTTABLE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "windows.h"

namespace standin {

struct Port {
    int fd = -1;
    COMMTIMEOUTS timeouts{};
    // The receive queue SetupComm asks for, as a Windows driver keeps one: the
    // line discipline hands over a few KB a read, so what has arrived is
    // gathered here whenever the port is read or asked what is waiting.
    std::vector<unsigned char> queue;     // its size is the queue's
    std::size_t queueHead = 0, queueTail = 0;  // what it holds: [head, tail)
#if defined(TIOCGICOUNT)
    serial_icounter_struct counts{};  // line-error counters at the last ClearCommError
    bool haveCounts = false;
    bool noCounts = false;  // the driver keeps none (a pseudo-terminal): do not ask again
#endif
};

// Handles are numbers that are never reused, so a stale handle is refused
// instead of reaching some other port.
extern std::mutex tableLock;
extern std::map<std::uintptr_t, std::shared_ptr<Port>> ports;
extern std::uintptr_t nextHandle;

BOOL Fail(DWORD code);  // keeps the code for GetLastError; FALSE
DWORD FromErrno(int e);
BOOL FailErrno();
std::shared_ptr<Port> Find(HANDLE h);  // nullptr for a handle that is not open
// What QUORVEL_DRIVER asks the stand-in to play, for the tests: words
// separated by commas.
//   settings-left      GetCommState reports what another program left: DTR and
//                      RTS off, RTS/CTS and XON/XOFF flow, abort on error, NULs dropped
//   no-state           GetCommState fails (error 31)
//   refuse-settings=N  SetCommState fails with error N (a CDC stack that refuses line coding)
//   write-timeout      a write that runs out of time fails with error 121 and
//                      says no byte went, as usbser.sys does, whatever went
//   status-fails=N     ClearCommError always fails with error N
//   gone=N             a hung-up device fails every call with error N
struct TDriverPlay {
    bool settingsLeft = false, noState = false, writeTimeout = false;
    DWORD refuseSettings = 0, statusFails = 0, gone = 0;
};
TDriverPlay DriverPlay();

// Raises or drops DTR and RTS as the settings' controls say (SetCommState).
BOOL SetLines(int fd, const DCB &dcb);

}  // namespace standin

#endif
