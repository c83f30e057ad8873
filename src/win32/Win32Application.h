// The application frame on Win32: the message loop (with the dialog
// manager's keys: Tab, the arrows in a group), the application's one cursor,
// and the modal error box for run-time faults.
#ifndef QUORVEL_WIN32_WIN32APPLICATION_H
#define QUORVEL_WIN32_WIN32APPLICATION_H

#include <windows.h>

#include <string>
#include <vector>

#include "Quorvel.h"

class TWin32Application : public TApplication {
public:
    TWin32Application();

    void ProcessMessages() override;
    void SetBusyCursor(bool busy) override;
    void KeepAlive() override;

    // Takes messages until the program is asked to end; its exit code.
    int Loop();
    // The loop took WM_QUIT: the main window closed.
    bool Terminated = false;
    int ExitCode = 0;

    static bool BusyCursor();
    // The top-level windows of ours: they take the dialog manager's keys, and
    // the error box shows only while one is up.
    static void AddWindow(HWND window);
    static void RemoveWindow(HWND window);
    static int Windows();
    // The program's own error box: modal, an error icon and one OK button.
    static void ModalErrorBox(const std::string &text, const std::string &title);
    // Handles one message as the loop does (the dialog manager's keys first).
    static void Dispatch(MSG &msg);
};

// Runs a window procedure's work: a fault is reported there, since nothing
// may leave through the system's frames.
template <typename Work>
LRESULT Guarded(Work &&work)
{
    try {
        return work();
    } catch (...) {
        TApplication::ReportCurrentFault();
        return 0;
    }
}

#endif
