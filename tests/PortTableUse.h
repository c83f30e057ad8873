// Test helpers: the port table used as the console uses it, on any platform.
#ifndef QUORVEL_TESTS_PORTTABLEUSE_H
#define QUORVEL_TESTS_PORTTABLEUSE_H

#include <chrono>

#include "WinCom.h"

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

inline bool OpenConsoleWay(BYTE port) { return OpenPort(port, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000); }

// Waits until `count` bytes are waiting, as a poll loop would.
inline DWORD WaitForBytes(BYTE port, DWORD count)
{
    auto start = Clock::now();
    DWORD waiting = 0;
    while ((waiting = BytesWaiting(port)) < count && MsSince(start) < 2000) Sleep(1);
    return waiting;
}

#endif
