// The application frame: the message loop, and the error box for run-time
// faults raised inside a handler or timer tick.
#ifndef QUORVEL_QUORVEL_H
#define QUORVEL_QUORVEL_H

#include <QApplication>
#include <functional>
#include <stdexcept>

// Floating-point division by zero, overflow and invalid operations are
// run-time faults here, never infinities or not-a-number values.
class EMathError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
extern const char *const FloatZeroDivideText;  // "Floating point division by zero"
extern const char *const FloatOverflowText;    // "Floating point overflow"
extern const char *const FloatInvalidText;     // "Invalid floating point operation"

// dividend / divisor, or the fault that the division raises.
long double FloatDivide(long double dividend, long double divisor);

class TApplication : public QApplication {
public:
    TApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;

    // Runs one handler; a fault ends it and is reported, and the program goes on.
    static void Run(const std::function<void()> &handler);
    static void ShowFault(const QString &message);

    // The box's text and title, from the fault's message and the program file.
    static QString FaultText(const QString &message);
    static QString FaultTitle(const QString &programFile);

    // Shows the box; tests replace it to see text and title without a modal loop.
    using ErrorBox = std::function<void(const QString &text, const QString &title)>;
    static ErrorBox ShowErrorBox;

protected:
    bool event(QEvent *event) override;
};

#endif
