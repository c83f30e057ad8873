#include "Quorvel.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QStyleFactory>
#include <cmath>
#include <cstdio>
#include <exception>

#include "Unit1.h"
#include "WinCom.h"

namespace {

void ModalErrorBox(const QString &text, const QString &title)
{
    // A fault that repeats on every tick must not stack boxes without end:
    // while one box is up, further faults go to the error stream.
    static bool showing = false;
    if (showing) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
        return;
    }
    showing = true;
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
    showing = false;
}

}  // namespace

TApplication::ErrorBox TApplication::ShowErrorBox = ModalErrorBox;

const char *const FloatZeroDivideText = "Floating point division by zero";
const char *const FloatOverflowText = "Floating point overflow";
const char *const FloatInvalidText = "Invalid floating point operation";

long double FloatDivide(long double dividend, long double divisor)
{
    if (std::isnan(dividend) || std::isnan(divisor) || (std::isinf(dividend) && std::isinf(divisor)))
        throw EMathError(FloatInvalidText);
    if (divisor == 0) throw EMathError(dividend == 0 ? FloatInvalidText : FloatZeroDivideText);
    long double quotient = dividend / divisor;
    if (std::isinf(quotient) && !std::isinf(dividend)) throw EMathError(FloatOverflowText);
    return quotient;
}

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    // The layout is a fixed pixel design; one style keeps its metrics the same on every desktop.
    if (QStyle *style = QStyleFactory::create(QStringLiteral("Fusion"))) setStyle(style);
}

QString TApplication::FaultText(const QString &message)
{
    if (!message.isEmpty() && message.back() > QChar('.')) return message + QChar('.');
    return message;
}

QString TApplication::FaultTitle(const QString &programFile)
{
    QString name = QFileInfo(programFile).fileName();
    int dot = name.indexOf(QChar('.'));
    if (dot >= 0) name.truncate(dot);
    return name.left(1) + name.mid(1).toLower();
}

void TApplication::ShowFault(const QString &message)
{
    ShowErrorBox(FaultText(message), FaultTitle(QCoreApplication::applicationFilePath()));
}

// Reports the exception being handled; called from inside a catch block.
static void ShowCurrentFault()
{
    try {
        throw;
    } catch (const std::exception &e) {
        TApplication::ShowFault(QString::fromUtf8(e.what()));
    } catch (...) {
        TApplication::ShowFault(QStringLiteral("Unknown run-time fault"));
    }
}

void TApplication::Run(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (...) {
        ShowCurrentFault();
    }
}

bool TApplication::event(QEvent *event)
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

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    // Handlers are run through Run(); this catches what an event override raises.
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentFault();
        return false;
    }
}

#ifndef QUORVEL_NO_MAIN
int main(int argc, char **argv)
{
    int result;
    {
        TApplication app(argc, argv);
        TForm1 form;
        form.show();
        result = app.exec();
    }
    // However the window left them, no port stays open.
    CloseAllPorts();
    return result;
}
#endif
