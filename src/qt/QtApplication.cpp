#include "QtApplication.h"

#include <QMessageBox>
#include <QStyleFactory>
#include <cstdio>
#include <exception>

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
