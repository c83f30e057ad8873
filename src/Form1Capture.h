// A capture to file as the window runs it: the log menu's items, the
// platform's dialogs, the lines and the status line it shows, and the timer
// that writes out what was gathered. The form hands it the bytes it reads and
// says when the board goes away and comes back.
#ifndef QUORVEL_FORM1CAPTURE_H
#define QUORVEL_FORM1CAPTURE_H

#include <memory>
#include <vector>

#include "Controls.h"
#include "LogCapture.h"
#include "PortJob.h"

class TFormCapture {
public:
    // `timer` writes out what was gathered; a job's progress keeps the status line while one runs.
    TFormCapture(TWindow &window, TMemo &memo, TTimer &timer, const std::unique_ptr<TPortJob> &job);
    TFormCapture(const TFormCapture &) = delete;
    TFormCapture &operator=(const TFormCapture &) = delete;

    // The run's, from the command line: the size limit, and the text beside;
    // with a path, a capture from the start, added to a file that is there.
    void Begin(const TCaptureOptions &options);
    std::vector<TMenuItem> Memo1Menu();
    void CaptureToFile1Click();
    void StopCapture1Click();
    void Add(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs);
    void Gap(bool away);
    void Timer7Timer();
    bool Running() const { return capture.Running(); }
    const TLogCapture &Capture() const { return capture; }

private:
    void Start(const TCaptureOptions &options, bool append);
    void Ended(const std::string &line);  // said once in the log; the timer and the status line go

    TWindow &window;
    TMemo &memo;
    TTimer &timer;
    const std::unique_ptr<TPortJob> &job;
    TCaptureOptions run;
    TLogCapture capture;
};

#endif
