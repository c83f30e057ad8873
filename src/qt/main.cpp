// The console on Qt: one window, the message loop until it closes.
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "QtApplication.h"
#include "QtForm1.h"
#include "WinCom.h"

namespace {

// Qt ends a start it cannot make (no platform plugin, no display) with a
// fatal message and an abort; we say it once, plainly, and exit with 1.
QtMessageHandler usualMessages = nullptr;
void StartMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtFatalMsg) {
        if (usualMessages) usualMessages(type, context, message);
        else std::fprintf(stderr, "%s\n", qPrintable(message));
        return;
    }
    const std::string why = message.toStdString();
    std::fprintf(stderr, "%s: %s\n", TApplication::FaultTitle(TApplication::ProgramFile()).c_str(),
                 TApplication::StartFailureText(why).c_str());
    std::_Exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    int result;
    try {
        usualMessages = qInstallMessageHandler(StartMessages);
        TQtApplication app(argc, argv);
        qInstallMessageHandler(usualMessages);
        QtForm1 form;
        form.show();
        result = app.exec();
    } catch (...) {
        // The toolkit is gone with the application: the error stream says it.
        TApplication::PrintFaults();
        result = TApplication::StartFailed();
    }
    // However the window left them, no port stays open.
    CloseAllPorts();
    return result;
}
