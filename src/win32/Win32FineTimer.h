// A timer finer than SetTimer's: Windows raises anything below 10 ms to
// 10 ms and fires on the system tick (15.6 ms), so the log's 1 ms poll would
// take 64 looks a second. Here a thread waits on a high-resolution waitable
// timer and posts each tick to the window, one at a time; the handler runs on
// the window's thread, as any timer's does.
#ifndef QUORVEL_WIN32FINETIMER_H
#define QUORVEL_WIN32FINETIMER_H

#include <windows.h>

#include <atomic>

class TFineTimer {
public:
    // Ticks come to `owner` as `message` with `id` in wParam.
    TFineTimer(HWND owner, UINT message, WPARAM id, UINT ms);
    ~TFineTimer();
    TFineTimer(const TFineTimer &) = delete;
    TFineTimer &operator=(const TFineTimer &) = delete;
    // False where the system gives no such timer: SetTimer's is the one left.
    bool Start();
    void Stop();
    // The window took the tick it was posted: the next may be posted.
    void Taken() { posted = false; }
    bool HighResolution() const { return highResolution; }

private:
    static DWORD WINAPI Run(LPVOID self);
    HWND owner;
    UINT message;
    WPARAM id;
    UINT ms;
    HANDLE timer = nullptr, wake = nullptr, thread = nullptr;
    std::atomic<bool> posted{false}, stopping{false};
    bool running = false, highResolution = false, finerPeriod = false;
};

#endif
