#include "Win32Application.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <cstdio>

namespace {
bool busy = false;
std::vector<HWND> windows;  // ours, up now
}  // namespace

void TWin32Application::AddWindow(HWND window) { windows.push_back(window); }
void TWin32Application::RemoveWindow(HWND window) { windows.erase(std::remove(windows.begin(), windows.end(), window), windows.end()); }
int TWin32Application::Windows() { return int(windows.size()); }

TWin32Application::TWin32Application()
{
    // The window scales its own layout by the screen's resolution; without
    // this, Windows would say 96 dpi and blow the window up as a blurred bitmap.
    // (Vista and later; older systems have no scaling to undo.)
    if (HMODULE user = GetModuleHandleA("user32.dll"))
        if (FARPROC aware = GetProcAddress(user, "SetProcessDPIAware"))
            reinterpret_cast<BOOL(WINAPI *)()>(reinterpret_cast<void *>(aware))();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ShowErrorBox = ModalErrorBox;
}

void TWin32Application::ModalErrorBox(const std::string &text, const std::string &title)
{
    // The box runs a loop of its own, in which timer ticks go on: a fault that
    // repeats on every tick must not stack boxes without end. While one box
    // is up, further faults go to the error stream.
    static bool showing = false;
    // Nothing shows once the window is gone (a handler that ran on past its closing).
    if (showing || windows.empty()) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        return;
    }
    showing = true;
    HWND owner = GetActiveWindow();
    MessageBoxA(owner, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
    showing = false;
}

void TWin32Application::Dispatch(MSG &msg)
{
    // Our windows take the dialog manager's keys; anything else (the 1 ms
    // poll's ticks among them) goes straight on, with no look-up.
    if (msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST) {
        HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        char kind[8] = {};
        // So do the system's modeless dialogs (the log's find).
        const bool ours = root && (std::find(windows.begin(), windows.end(), root) != windows.end() ||
                                   (GetClassNameA(root, kind, sizeof kind) && std::strcmp(kind, "#32770") == 0));
        if (ours && IsDialogMessageA(root, &msg)) return;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

void TWin32Application::ProcessMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            Terminated = true;
            ExitCode = int(msg.wParam);
            return;
        }
        Dispatch(msg);
    }
}

int TWin32Application::Loop()
{
    MSG msg;
    while (!Terminated) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            Terminated = true;
            ExitCode = got == 0 ? int(msg.wParam) : 1;
            break;
        }
        Dispatch(msg);
    }
    return ExitCode;
}

void TWin32Application::KeepAlive()
{
    // A look that takes nothing: Windows then does not take the window for
    // hung (it ghosts one that has not looked for 5 s). Messages sent from
    // other threads run here, as in any wait for messages.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

bool TWin32Application::BusyCursor() { return busy; }

// The application has one cursor: the hourglass or the default, never a stack of them.
void TWin32Application::SetBusyCursor(bool on)
{
    busy = on;
    SetCursor(LoadCursor(nullptr, on ? IDC_WAIT : IDC_ARROW));
}
