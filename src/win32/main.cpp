// The console on Win32: one window, the message loop until it closes.
#include <cstdlib>

#include "Win32Application.h"
#include "Win32Form1.h"
#include "Sending.h"
#include "WinCom.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show)
{
    int result;
    try {
        TWin32Application app;
        TLineEnd lineEnd = TLineEnd::None;
        bool hex = false;
        TCaptureOptions capture;
        std::string said;
        if (const int read = ReadCommandLine(__argc, __argv, lineEnd, hex, capture, said)) {
            // A window program has no console to write to: the system's box says it.
            MessageBoxA(nullptr, said.c_str(), "Quorvel", MB_OK | (read == 1 ? MB_ICONINFORMATION : MB_ICONERROR));
            return read == 1 ? 0 : 2;
        }
        Win32Form1 form;
        form.LineEnd = lineEnd, form.SendHex = hex;
        form.Capture->Begin(capture);
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
