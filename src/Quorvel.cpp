#include "Quorvel.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QStyleFactory>
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
