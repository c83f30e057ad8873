// Work on the open port that goes a slice at a time between the window's
// events, so that the window answers meanwhile: a file sent, a link test.
#ifndef QUORVEL_PORTJOB_H
#define QUORVEL_PORTJOB_H

#include <chrono>
#include <string>
#include <vector>

class TPortJob {
public:
    virtual ~TPortJob() = default;
    enum class State { Going, Ended };
    // Works for about `budget`; every wait in it is bounded.
    virtual State Slice(std::chrono::milliseconds budget) = 0;
    // While it goes: its progress, for the status line.
    virtual std::string Progress() const = 0;
    // Its lines for the log as they come; its last ones once it has ended.
    virtual std::vector<std::string> TakeLines() = 0;
    // The user stopped it: it ends, and TakeLines gives its last lines.
    virtual void Halt() = 0;
    // What it does, for the line that puts other work off: "a file is being sent".
    virtual std::string Doing() const = 0;
    // It reads the port itself: nothing else may meanwhile.
    virtual bool ReadsPort() const = 0;
    // Its last line when a fault ended it.
    virtual std::string FaultLine() const = 0;
};

#endif
