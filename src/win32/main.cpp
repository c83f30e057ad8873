// The console on Win32: one window, the message loop until it closes.
#include "Win32Application.h"
#include "Win32Form1.h"
#include "WinCom.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show)
{
    int result;
    try {
        TWin32Application app;
        Win32Form1 form;
        form.Show(show);
        result = app.Loop();
    } catch (...) {
        // A window class or a window that could not be made: the system's box
        // says so (the program's own box shows only beside its window).
        TApplication::ShowErrorBox = [](const std::string &text, const std::string &title) {
            MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
        };
        result = TApplication::StartFailed();
    }
    // However the window left them, no port stays open.
    CloseAllPorts();
    return result;
}
