// The console on Qt: one window, the message loop until it closes.
#include "QtApplication.h"
#include "QtForm1.h"
#include "WinCom.h"

int main(int argc, char **argv)
{
    int result;
    {
        TQtApplication app(argc, argv);
        QtForm1 form;
        form.show();
        result = app.exec();
    }
    // However the window left them, no port stays open.
    CloseAllPorts();
    return result;
}
