// The console on Qt: one window, the message loop until it closes.
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "QtApplication.h"
#include "QtForm1.h"
#include "Sending.h"
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
    // Help needs no display: said before the toolkit starts.
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            TLineEnd end;
            bool hex;
            TCaptureOptions capture;
            std::string said;
            const char *const help[] = {argv[0], "--help"};
            ReadCommandLine(2, help, end, hex, capture, said);
            std::printf("%s\n", said.c_str());
            return 0;
        }
    try {
        usualMessages = qInstallMessageHandler(StartMessages);
        TQtApplication app(argc, argv);
        qInstallMessageHandler(usualMessages);
        // What is left once Qt took its own options.
        TLineEnd lineEnd = TLineEnd::None;
        bool hex = false;
        TCaptureOptions capture;
        std::string said;
        if (const int read = ReadCommandLine(argc, argv, lineEnd, hex, capture, said)) {
            std::fprintf(read == 1 ? stdout : stderr, "%s\n", said.c_str());
            return read == 1 ? 0 : 2;
        }
        QtForm1 form;
        form.LineEnd = lineEnd, form.SendHex = hex;
        form.Capture->Begin(capture);
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
