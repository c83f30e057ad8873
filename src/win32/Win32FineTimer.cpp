#include "Win32FineTimer.h"

#include <mmsystem.h>

namespace {
// Windows 10 1803 and later; older systems refuse the flag, and take timeBeginPeriod instead.
constexpr DWORD HighResolutionFlag = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
}  // namespace

TFineTimer::TFineTimer(HWND owner, UINT message, WPARAM id, UINT ms) : owner(owner), message(message), id(id), ms(ms ? ms : 1) {}

TFineTimer::~TFineTimer()
{
    Stop();
    if (thread) {
        stopping = true;
        SetEvent(wake);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (wake) CloseHandle(wake);
    if (timer) CloseHandle(timer);
}

bool TFineTimer::Start()
{
    if (running) return true;
    if (!timer) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, HighResolutionFlag, TIMER_ALL_ACCESS);
        highResolution = timer != nullptr;
        if (!timer) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!timer || !wake) return false;
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        if (!thread) return false;
    }
    // Without the high-resolution timer, a finer system tick for as long as it runs.
    if (!highResolution) finerPeriod = timeBeginPeriod(1) == TIMERR_NOERROR;
    LARGE_INTEGER due;
    due.QuadPart = -LONGLONG(ms) * 10000;  // relative, in 100 ns
    if (!SetWaitableTimer(timer, &due, LONG(ms), nullptr, nullptr, FALSE)) {
        if (finerPeriod) timeEndPeriod(1), finerPeriod = false;
        return false;
    }
    posted = false;
    running = true;
    return true;
}

void TFineTimer::Stop()
{
    if (!running) return;
    CancelWaitableTimer(timer);
    if (finerPeriod) timeEndPeriod(1), finerPeriod = false;
    running = false;
}

DWORD WINAPI TFineTimer::Run(LPVOID parameter)
{
    auto *self = static_cast<TFineTimer *>(parameter);
    const HANDLE waits[] = {self->wake, self->timer};
    while (!self->stopping) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) continue;
        // One tick waiting at a time: a window busy for a while finds one, not a backlog.
        if (!self->posted.exchange(true) && !PostMessageW(self->owner, self->message, self->id, 0)) self->posted = false;
    }
    return 0;
}
