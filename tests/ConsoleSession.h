// Test helper: the real window on port 20 with the real simulator behind it,
// and the reception log read back as lines.
#ifndef QUORVEL_TESTS_CONSOLESESSION_H
#define QUORVEL_TESTS_CONSOLESESSION_H

#include <QtTest>

#include "PtyLink.h"
#include "QtApplication.h"
#include "SimProcess.h"
#include "QtForm1.h"

// Faults the frame reports, kept here instead of shown in a modal box.
inline QStringList &Faults()
{
    static QStringList faults;
    return faults;
}
inline void CatchFaults()
{
    Faults().clear();
    TApplication::ShowErrorBox = [](const std::string &text, const std::string &) { Faults() << QString::fromStdString(text); };
}

// The log as lines, exactly as the log holds them.
inline QStringList Log(QtForm1 &form)
{
    QStringList lines;
    const TLogStore &log = form.Memo1->Lines;
    for (std::size_t i = 0; i < log.LineCount(); ++i) {
        std::string line = log.Line(i);
        lines << QString::fromLatin1(line.data(), qsizetype(line.size()));
    }
    return lines;
}

// What the log says came in: the sum of its counts and its data lines joined.
struct Received {
    int bytes = 0;
    QString text;
};
inline Received Parse(QtForm1 &form)
{
    Received r;
    const QStringList lines = Log(form);
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith("# BytesReceived: ")) r.bytes += lines[i].mid(17).toInt();
        else r.text += (r.text.isEmpty() || lines[i - 1].startsWith("# BytesReceived: ") ? "" : "\n") + lines[i];
    }
    return r;
}

// Shows the window and chooses port 20 from the list.
inline void ShowOnPort20(QtForm1 &form)
{
    form.show();
    Widget(form.ComboBox1)->setCurrentIndex(19);
    Widget(form.ComboBox1)->activated(19);
}

// In the USB CDC rig (tests/rig/) the board is the simulator on the gadget's
// /dev/ttyGS0, and port 20 the kernel's cdc-acm /dev/ttyACM0.
inline bool OnTheRig() { return std::getenv("QUORVEL_RIG_UDC") != nullptr; }

// A window on port 20 with the simulator behind it.
struct Session {
    explicit Session(std::vector<std::string> options = {}) : board(Options(options))
    {
        if (OnTheRig()) ports.Link(20, "/dev/ttyACM0");
        ShowOnPort20(form);
    }
    ~Session() { form.close(); }  // releases the port, as closing the window does
    static std::vector<std::string> Options(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"--port", "20"});
        if (OnTheRig()) options.insert(options.end(), {"--device", "/dev/ttyGS0"});
        return options;
    }
    // The board pulled out, and put back a second later.
    void Unplug()
    {
        if (!OnTheRig()) {
            kill(board.pid, SIGUSR2);
            return;
        }
        RigPlug(false);
        QTimer::singleShot(1000, [] { RigPlug(true); });
    }
    bool WaitBytes(int bytes, int ms = 3000)
    {
        return QTest::qWaitFor([&] { return Parse(form).bytes >= bytes; }, ms);
    }
    PortsFolder ports;
    SimProcess board;
    QtForm1 form;
};

// Text still goes out and comes back.
inline void CheckEcho(Session &s, const QString &text)
{
    Widget(s.form.Button2)->click();
    Widget(s.form.Edit1)->setText(text);
    Widget(s.form.Button1)->click();
    QCOMPARE(Widget(s.form.Edit2)->text(), QString::number(text.size()));
    QVERIFY(s.WaitBytes(int(text.size())));
    QCOMPARE(Parse(s.form).text, text);
}

// A window on port 20 whose board the test plays, on a pseudo-terminal.
struct ScriptedSession {
    ScriptedSession() { ShowOnPort20(form); }
    ~ScriptedSession() { form.close(); }
    PortsFolder ports;
    PtyLink board{ports, 20};
    QtForm1 form;
};

#endif
