// The console on Win32: one window, the message loop until it closes.
#include "Win32Application.h"
#include "Win32Form1.h"
#include "WinCom.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show)
{
    int result;
    {
        TWin32Application app;
        Win32Form1 form;
        form.Show(show);
        result = app.Loop();
    }
    // However the window left them, no port stays open.
    CloseAllPorts();
    return result;
}
