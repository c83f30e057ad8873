#include "QtApplication.h"

#include <QMessageBox>
#include <QStyleFactory>
#include <cstdio>
#include <exception>
#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {
#ifdef Q_OS_UNIX
// SIGTERM (a logout, `kill`) and SIGINT (Ctrl+C where it was started) close
// the window as the user would, so that the form lets its port go and the
// program ends with 0. The handler only writes a byte; the loop does the rest.
// A second signal ends the program at once: a handler that never returns
// must not make it deaf to Ctrl+C.
int quitPipe[2] = {-1, -1};
volatile std::sig_atomic_t quitAsked = 0;
void QuitSignal(int signal)
{
    if (quitAsked) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    quitAsked = 1;
    const char byte = 0;
    [[maybe_unused]] ssize_t n = write(quitPipe[1], &byte, 1);
}
#endif
}  // namespace

void TQtApplication::ModalErrorBox(const std::string &text, const std::string &title)
{
    // A fault that repeats on every tick must not stack boxes without end:
    // while one box is up, further faults go to the error stream.
    static bool showing = false;
    if (showing) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        return;
    }
    showing = true;
    QMessageBox box(QMessageBox::Critical, QString::fromStdString(title), QString::fromStdString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
    showing = false;
}

TQtApplication::TQtApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    // The layout is a fixed pixel design; one style keeps its metrics the same on every desktop.
    if (QStyle *style = QStyleFactory::create(QStringLiteral("Fusion"))) setStyle(style);
    ShowErrorBox = ModalErrorBox;
#ifdef Q_OS_UNIX
    if (quitPipe[0] >= 0 || pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        auto *notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [] {
            char byte;
            while (read(quitPipe[0], &byte, 1) > 0) {}
            closeAllWindows();
            quit();
        });
        struct sigaction action {};
        action.sa_handler = QuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
#endif
}

TQtApplication::~TQtApplication()
{
#ifdef Q_OS_UNIX
    // With no loop left to close a window, a signal ends the program as usual.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
#endif
}

void TQtApplication::ProcessMessages() { QCoreApplication::processEvents(); }

// The application has one cursor: the hourglass or the default, never a stack of them.
void TQtApplication::SetBusyCursor(bool busy)
{
    if (busy) {
        if (QApplication::overrideCursor()) QApplication::changeOverrideCursor(Qt::WaitCursor);
        else QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }
}

bool TQtApplication::event(QEvent *event)
{
    // The user changed the regional settings: every window reads them again.
    if (event->type() == QEvent::LocaleChange) {
        const QWidgetList windows = topLevelWidgets();
        for (QWidget *window : windows) {
            QEvent change(QEvent::LocaleChange);
            sendEvent(window, &change);
        }
    }
    return QApplication::event(event);
}

bool TQtApplication::notify(QObject *receiver, QEvent *event)
{
    // Handlers are run through Run(); this catches what an event override raises.
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportCurrentFault();
        return false;
    }
}
