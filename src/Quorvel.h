// The application frame, as the form sees it: the services its handlers use,
// and the rule for run-time faults. A widget set implements the services.
#ifndef QUORVEL_QUORVEL_H
#define QUORVEL_QUORVEL_H

#include <functional>
#include <string>

class TApplication {
public:
    TApplication();
    virtual ~TApplication();
    TApplication(const TApplication &) = delete;
    TApplication &operator=(const TApplication &) = delete;

    // Handles the messages waiting now, then returns.
    virtual void ProcessMessages() = 0;
    // The application's one cursor: the hourglass, or the default.
    virtual void SetBusyCursor(bool busy) = 0;
    // Looks at the message queue, taking no message, so that the system sees
    // the window alive through a long wait that runs nothing else.
    virtual void KeepAlive() {}

    // Runs one handler; a fault ends it and is reported, and the program goes on.
    static void Run(const std::function<void()> &handler);
    // The same for a toolkit's event override or slot, with no allocation. A
    // fault must be caught before it reaches the toolkit's own frames: on
    // 32-bit ARM they carry no unwind tables, and the program would end there.
    template <typename F> static void Guard(F &&f)
    {
        try {
            f();
        } catch (...) {
            ReportCurrentFault();
        }
    }
    static void ShowFault(const std::string &message);
    // Reports the exception being handled; called from inside a catch block.
    static void ReportCurrentFault();

    // A failure before the message loop, called from inside a catch block:
    // said once, in the box, and the exit status to end with.
    static int StartFailed();
    static std::string StartFailureText(const std::string &why);
    // Faults go to the error stream from here on (no toolkit left to show a box).
    static void PrintFaults();

    // The box's text and title, from the fault's message and the program file.
    static std::string FaultText(const std::string &message);
    static std::string FaultTitle(const std::string &programFile);
    // The running program's file, for the title.
    static std::string ProgramFile();

    // Shows the error box; the widget set sets its own, tests replace it to
    // see text and title without a modal loop.
    using ErrorBox = std::function<void(const std::string &text, const std::string &title)>;
    static ErrorBox ShowErrorBox;
};

// The one application of the program, once it is made.
extern TApplication *Application;

#endif
