// Test helpers: the port table used as the console uses it, on any platform.
#ifndef QUORVEL_TESTS_PORTTABLEUSE_H
#define QUORVEL_TESTS_PORTTABLEUSE_H

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// What arrives at the port until `count` bytes came or `ms` passed.
inline std::string Receive(BYTE port, std::size_t count, int ms = 2000)
{
    std::vector<unsigned char> buffer(64000);
    std::string got;
    auto start = Clock::now();
    while (got.size() < count && MsSince(start) < ms) {
        DWORD n = ReadPort(port, buffer.data(), DWORD(std::min<std::size_t>(buffer.size(), count - got.size())));
        if (n) got.append(reinterpret_cast<char *>(buffer.data()), n);
        else Sleep(1);
    }
    return got;
}

// Everything that arrives within `ms`.
inline std::string Drain(BYTE port, int ms = 100) { return Receive(port, std::size_t(-1), ms); }

// Writes all of `bytes`, however the port splits them; false if it stops taking them.
inline bool Send(BYTE port, const std::string &bytes)
{
    std::size_t done = 0;
    auto start = Clock::now();
    while (done < bytes.size() && MsSince(start) < 10000) {
        DWORD n = WritePort(port, bytes.data() + done, DWORD(bytes.size() - done));
        done += n;
        if (!n) Sleep(1);
    }
    return done == bytes.size();
}

inline bool UnderWine()
{
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

// quorvel-nullmodem reads this program's output and can pull a port out, or
// put it back, as a board is unplugged and plugged in again. A real cable cannot.
inline bool CableListens()
{
    const char *cable = std::getenv("QUORVEL_NULLMODEM");
    return cable && std::strcmp(cable, "listening") == 0;
}

inline void TellCable(const char *what, BYTE port)
{
    std::printf("quorvel-nullmodem: %s %d\n", what, int(port));
    std::fflush(stdout);
}

#endif
