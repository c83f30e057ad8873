// The real window, offscreen, against the real board simulator: sending,
// reception in both modes, the log's lines and the heartbeat.
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include "ConsoleSession.h"

// When a widget was painted, and when its document last changed.
class DrawWatch : public QObject {
public:
    explicit DrawWatch(TQtLog *log) : log(log)
    {
        clock.start();
        log->viewport()->installEventFilter(this);
        connect(log, &TQtLog::Changed, this, [this] { changed = clock.nsecsElapsed(); });
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) ++paints, painted = clock.nsecsElapsed();
        return false;
    }
    TQtLog *log;
    QElapsedTimer clock;
    int paints = 0;
    qint64 painted = -1, changed = -1;
};

// A context menu opened by a right click through the window on `target`,
// the item clicked where it stands; whether it was there and enabled.
bool Choose(QWidget &form, QWidget *target, const QString &caption)
{
    QTimer pick;
    bool enabled = false;
    QObject::connect(&pick, &QTimer::timeout, [&] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QAction *action : menu ? menu->actions() : QList<QAction *>())
            if (action->text() == caption) {
                enabled = action->isEnabled();
                if (enabled) QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(action).center());
                else menu->close();
            }
    });
    pick.start(20);
    QTest::mouseClick(form.windowHandle(), Qt::RightButton, {}, target->mapTo(&form, target->rect().center()));
    pick.stop();
    return enabled;
}

// Answers the next file dialog with `path`, typed where the user types it, of the type `filter` when given.
void AnswerDialog(QTimer &answer, const QString &path, const QString &filter = QString())
{
    QObject::connect(&answer, &QTimer::timeout, [&answer, path, filter] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || !QApplication::focusWidget() || QApplication::focusWidget()->window() != dialog) return;
        answer.stop();
        if (!filter.isEmpty()) dialog->selectNameFilter(filter);
        QTest::keyClicks(QApplication::focusWidget(), path);
        QTimer::singleShot(0, QApplication::focusWidget(), [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); });
    });
    answer.start(50);
}

// The longest the window went without running a timer, from now until `done`.
qint64 LongestGap(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock, since;
    clock.start(), since.start();
    qint64 longest = 0;
    while (!done() && clock.elapsed() < ms) {
        QTest::qWait(5);
        longest = std::max(longest, since.restart());
    }
    return longest;
}

class ConsoleTest : public QObject {
    Q_OBJECT
private slots:
    void init() { CatchFaults(); }
    void cleanup() { QVERIFY2(Faults().isEmpty(), qPrintable(Faults().join(" | "))); }

    void sending_by_button_and_by_enter()
    {
        Session s;
        // Before a port is chosen, and after the choice is cleared, Enter sends nothing and shows 0.
        Widget(s.form.ComboBox1)->setCurrentIndex(-1);
        Widget(s.form.ComboBox1)->activated(-1);
        Widget(s.form.Edit1)->setText("hello");
        QTest::keyClick(Widget(s.form.Edit1), Qt::Key_Return);
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("0"));
        QCOMPARE(Widget(s.form.Edit1)->text(), QString("hello"));

        Widget(s.form.ComboBox1)->setCurrentIndex(19);
        Widget(s.form.ComboBox1)->activated(19);
        QVERIFY(PortIsOpen(20));
        Widget(s.form.Edit2)->clear();
        QTest::mouseClick(Widget(s.form.Button1), Qt::LeftButton);
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("5"));
        QVERIFY(s.WaitBytes(5));
        QCOMPARE(Log(s.form), QStringList({"# BytesReceived: 5", "hello"}));

        Widget(s.form.Edit2)->clear();
        QTest::keyClick(Widget(s.form.Edit1), Qt::Key_Enter);  // the keypad's Enter is Enter too
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("5"));
        QCOMPARE(Widget(s.form.Edit1)->text(), QString("hello"));
        QVERIFY(s.WaitBytes(10));
        QCOMPARE(Parse(s.form).text, QString("hellohello"));
        SimCounts c = s.board.Counts();
        QCOMPARE(c.text, 10);
        QCOMPARE(c.heartbeats + c.announces + c.requests + c.upload, 0);

        // One byte per character on the wire: Latin-1, and "?" for what it lacks.
        Widget(s.form.Button2)->click();
        QVERIFY(Log(s.form).isEmpty());
        QString high;
        for (int code = 0x80; code <= 0xFF; ++code) high += QChar(code);
        Widget(s.form.Edit1)->setText("a" + QString(QChar(0x20AC)) + "b" + high);
        Widget(s.form.Button1)->click();
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("131"));
        QVERIFY(s.WaitBytes(131));
        QCOMPARE(Parse(s.form).text, "a?b" + high);

        // The text box holds at most what one send takes.
        Widget(s.form.Edit1)->setText(QString(10001, 'x'));
        QCOMPARE(Widget(s.form.Edit1)->text().size(), 10000);
    }

    void sending_with_a_line_end_as_hex_and_from_the_history()
    {
        Session s;
        ShowOnPort20(s.form);
        QVERIFY(QTest::qWaitForWindowExposed(&s.form));
        QLineEdit *edit = Widget(s.form.Edit1);
        auto choose = [&](const QString &caption) { Choose(s.form, edit, caption); };
        auto send = [&](const QString &typed) {
            edit->clear();
            QTest::keyClicks(edit, typed);
            QTest::keyClick(edit, Qt::Key_Return);
        };
        choose("Line End: CR LF");
        send("AT");
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("4"));  // the line end is counted
        QVERIFY(s.WaitBytes(4));
        choose("Send as &Hex");
        send("41 0d0A 00 ff");
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("7"));
        QVERIFY(s.WaitBytes(11));
        // What the board echoed, byte for byte.
        QByteArray echoed;
        const TLogStore &log = s.form.Memo1->Lines;
        for (std::size_t k = 0; k < log.Reads(); ++k)
            for (std::uint32_t i = 0; i < log.Read(k).count; ++i) echoed += char(log.At(log.Read(k).at + i));
        QCOMPARE(echoed, QByteArray("AT\r\nA\r\n\0\xff\r\n", 11));
        // Bad hex: said, nothing sent, the box as it was.
        send("41 0G");
        QCOMPARE(Log(s.form).last(), QString("Not sent: \"G\" at character 5 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A)."));
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("7"));
        QCOMPARE(edit->text(), QString("41 0G"));
        // Up and Down through what was sent, back to what was typed; Escape brings it back at once.
        for (const auto &[key, shown] : {std::make_pair(Qt::Key_Up, "41 0d0A 00 ff"), std::make_pair(Qt::Key_Up, "AT"), std::make_pair(Qt::Key_Up, "AT"),
                                        std::make_pair(Qt::Key_Down, "41 0d0A 00 ff"), std::make_pair(Qt::Key_Down, "41 0G"),
                                        std::make_pair(Qt::Key_Up, "41 0d0A 00 ff"), std::make_pair(Qt::Key_Escape, "41 0G")}) {
            QTest::keyClick(edit, key, key == Qt::Key_Down ? Qt::KeypadModifier : Qt::NoModifier);  // the keypad's Down, as X11 marks it
            QCOMPARE(edit->text(), QString(shown));
        }
        QTRY_COMPARE(s.board.Counts().text, 11);
    }

    void modem_lines_from_the_port_list_and_a_file_of_100_mb_sent_whole_or_stopped()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath("lines");
        qputenv("QUORVEL_LINES_RECORD", record.toLocal8Bit());
        {
            // With no port open, the port list's items are greyed.
            QtForm1 idle;
            idle.show();
            QVERIFY(QTest::qWaitForWindowExposed(&idle));
            QVERIFY(!Choose(idle, Widget(idle.ComboBox1)->lineEdit(), "&DTR"));
        }
        // 100 MB of heartbeat bytes, which the board counts and does not echo.
        const QString path = dir.filePath("big.bin");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            const QByteArray mb(1 << 20, char(HeartbeatByte));
            for (int i = 0; i < 100; ++i) QVERIFY(file.write(mb) == mb.size());
        }
        auto sendFile = [&](QtForm1 &form) {
            QTimer answer;
            AnswerDialog(answer, path);
            QVERIFY(Choose(form, Widget(form.Edit1), "Send &File..."));
            QTRY_VERIFY(form.Job != nullptr);
        };
        {
            Session s;
            QVERIFY(QTest::qWaitForWindowExposed(&s.form));
            QWidget *list = Widget(s.form.ComboBox1)->lineEdit();
            // Through the real menu: raised on open, then DTR dropped (the timings are the headless test's).
            QFile lines(record);
            QVERIFY(Choose(s.form, list, "&DTR"));
            QCOMPARE(Log(s.form).last(), QString("Port 20: DTR off."));
            QVERIFY(lines.open(QIODevice::ReadOnly));
            QCOMPARE(QString::fromLatin1(lines.readAll()).remove(QRegularExpression("\\d+ ")), QString("DTR on\nRTS on\nDTR off\n"));
            qunsetenv("QUORVEL_LINES_RECORD");

            sendFile(s.form);
            const qint64 gap = LongestGap([&] { return !s.form.Job; }, 120000);
            const QString sent = Log(s.form).last();
            qInfo("%s; the window's longest gap %lld ms", qPrintable(sent), gap);
            QVERIFY2(sent.startsWith("Send File: big.bin, 104857600 bytes sent in "), qPrintable(sent));
            QVERIFY(gap < 300);
            QTRY_COMPARE_WITH_TIMEOUT(s.board.Counts().heartbeats, 104857600LL, 10000);
        }

        // Into a board that stops reading: the window still answers; Escape in the log stops it and says how much went.
        ScriptedSession held;
        const unsigned long long before = PortBytesWritten(20);
        sendFile(held.form);
        QVERIFY(LongestGap([] { return false; }, 1500) < 300);
        QVERIFY(QString::fromStdString(Widget(held.form.Memo1)->View().Status()).startsWith("Send File: big.bin: "));
        Widget(held.form.Memo1)->setFocus();
        QTest::keyClick(Widget(held.form.Memo1), Qt::Key_Escape);
        QVERIFY(!held.form.Job);
        const QString stopped = QString("Send File: big.bin stopped: %1 of 104857600 bytes sent in ").arg(PortBytesWritten(20) - before);
        QVERIFY2(Log(held.form).last().startsWith(stopped), qPrintable(Log(held.form).last()));
    }

    void link_tests_from_the_speed_buttons_menu_and_escape_on_the_button()
    {
        Session s({"--echo"});
        QVERIFY(QTest::qWaitForWindowExposed(&s.form));
        // Each to its end, its lines in the log; the poll (on) reads nothing meanwhile.
        const struct {
            TButton *button;
            const char *item, *said;
        } runs[] = {{s.form.Button5, "L&atency Test", "Latency, 512 bytes, 100 round trips (ms): min "},
                    {s.form.Button4, "&Packet Size Test", "Packet sizes: 97 of 97 sizes tried, from 1 to 2049 bytes; each came back whole within "}};
        for (const auto &run : runs) {
            QVERIFY(Choose(s.form, Widget(run.button), run.item));
            QTRY_VERIFY_WITH_TIMEOUT(!s.form.Job, 30000);
            QVERIFY2(Log(s.form).join('\n').contains(run.said), qPrintable(Log(s.form).join('\n')));
        }
        // The loopback, stopped by Escape where the focus is (the button); the window answers meanwhile.
        QVERIFY(Choose(s.form, Widget(s.form.Button4), "&Loopback Test"));
        QVERIFY(s.form.Job && LongestGap([] { return false; }, 1000) < 300);
        QVERIFY(QString::fromStdString(Widget(s.form.Memo1)->View().Status()).startsWith("Loopback: "));
        QVERIFY(!Choose(s.form, Widget(s.form.Button5), "&Loopback Test"));  // one at a time
        Widget(s.form.Button4)->setFocus();
        QTest::keyClick(Widget(s.form.Button4), Qt::Key_Escape);
        QVERIFY(!s.form.Job && Widget(s.form.Memo1)->View().Status().empty());
        const QStringList log = Log(s.form);
        QVERIFY2(log.contains("Loopback: stopped.") && log.last().endsWith("each way); no errors."), qPrintable(log.join('\n')));
        QTest::qWait(300);  // the echoes still on their way went with the test, not into the log
        QCOMPARE(Log(s.form), log);
    }

    void a_capture_from_the_logs_menu_keeps_every_byte_through_a_gap_and_the_window_closing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("capture.bin");
        auto bytes = [](const QString &file) { QFile f(file); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); };
        Session s;
        Widget(s.form.Button2)->click();
        TQtLog *log = Widget(s.form.Memo1);
        auto status = [&] { return QString::fromStdString(log->View().Status()); };
        auto send = [&](const QString &text, int total) {
            Widget(s.form.Edit1)->setText(text);
            Widget(s.form.Button1)->click();
            QVERIFY(s.WaitBytes(total));
        };
        // Captured with the log as text beside it; the status line shows the file and its size,
        // and what came is on disk within a second.
        QTimer answer;
        AnswerDialog(answer, path, "Received bytes, and the log as text with times beside (*)");
        QVERIFY(Choose(s.form, log, "Ca&pture to File..."));
        QVERIFY2(s.form.Capture->Running(), qPrintable(Log(s.form).join('\n')));
        send("hello", 5);
        QTRY_COMPARE_WITH_TIMEOUT(bytes(path), QByteArray("hello"), 1000);
        QTRY_COMPARE(status(), "Capture: " + path + ", 5 bytes");
        // The board goes away and comes back: the same file goes on, the text beside says where the gap was.
        s.Unplug();
        QTRY_VERIFY_WITH_TIMEOUT(Log(s.form).last().endsWith("the board is back."), 5000);
        send("again", 10);
        QVERIFY(Choose(s.form, log, "Stop Ca&pture"));
        QCOMPARE(Log(s.form).last(), "Capture stopped: 10 bytes went to " + path + ".");
        QVERIFY(status().isEmpty());
        const QString text = QString::fromLatin1(bytes(path + ".txt"));
        QVERIFY2(text.contains("\nhello\n# Gap: the board went away after byte 5 of capture.bin   ") && text.contains("\n# Gap: the board is back   ") &&
                     text.endsWith("\nagain\n"),
                 qPrintable(text));
        // Again into it: asked, added to its end; closing the window writes out what was gathered.
        QTimer box;
        QObject::connect(&box, &QTimer::timeout, [&box] {
            auto *asked = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            for (QAbstractButton *button : asked ? asked->buttons() : QList<QAbstractButton *>())
                if (button->text() == "&Append") box.stop(), QTest::mouseClick(button, Qt::LeftButton);
        });
        box.start(50);
        QTimer again;
        AnswerDialog(again, path);
        QVERIFY(Choose(s.form, log, "Ca&pture to File..."));
        QVERIFY(s.form.Capture->Running());
        send("more", 14);
        s.form.close();
        QCOMPARE(bytes(path), QByteArray("helloagainmore"));
    }

    void reception_lines_leave_out_nul_and_pass_line_ends()
    {
        Session s;
        WritePort(20, "A\0B", 3);  // echoed back as 41 00 42
        QVERIFY(s.WaitBytes(3));
        QCOMPARE(Log(s.form), QStringList({"# BytesReceived: 3", "AB"}));

        // A read of NULs alone still gives its two lines; line ends in data break the line.
        Widget(s.form.Button2)->click();
        WritePort(20, "\0\0", 2);
        QVERIFY(s.WaitBytes(2));
        QCOMPARE(Log(s.form), QStringList({"# BytesReceived: 2", ""}));
        Widget(s.form.Button2)->click();
        WritePort(20, "one\r\ntwo\nthree", 14);
        QVERIFY(s.WaitBytes(14));
        QCOMPARE(Log(s.form), QStringList({"# BytesReceived: 14", "one", "two", "three"}));

        // Nothing waiting: a poll adds no line.
        QTest::qWait(100);
        QCOMPARE(Log(s.form).size(), 4);
        QCOMPARE(s.form.DoReceive(), DWORD(0));
        QCOMPARE(Log(s.form).size(), 4);
    }

    void manual_mode_reads_only_when_asked()
    {
        Session s;
        QVERIFY(Widget(s.form.Timer1)->isActive());
        QVERIFY(!Widget(s.form.Button3)->isEnabled());
        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(0), Qt::LeftButton);
        QVERIFY(!Widget(s.form.Timer1)->isActive());
        QVERIFY(Widget(s.form.Button3)->isEnabled());

        Widget(s.form.Edit1)->setText("hello");
        Widget(s.form.Button1)->click();
        Widget(s.form.Edit1)->setText("world");
        Widget(s.form.Button1)->click();
        QVERIFY(QTest::qWaitFor([&] { return s.board.Counts().sent == 10; }, 3000));
        QTest::qWait(50);
        QVERIFY(Log(s.form).isEmpty());
        QTest::mouseClick(Widget(s.form.Button3), Qt::LeftButton);
        QCOMPARE(Log(s.form), QStringList({"# BytesReceived: 10", "helloworld"}));
        Widget(s.form.Button3)->click();  // nothing more waiting
        QCOMPARE(Log(s.form).size(), 2);

        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(1), Qt::LeftButton);
        QVERIFY(Widget(s.form.Timer1)->isActive());
        QVERIFY(!Widget(s.form.Button3)->isEnabled());
        // Choosing the mode already chosen runs nothing.
        Widget(s.form.Timer1)->stop();
        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(1), Qt::LeftButton);
        QVERIFY(!Widget(s.form.Timer1)->isActive());
    }

    void a_streaming_board_is_drawn_once_a_frame()
    {
        // Lines come every millisecond; each goes into the log at once, the
        // drawing follows at most once a frame, and the last lines are drawn.
        Session s({"--stream", "300"});
        QTest::qWait(100);
        DrawWatch watch(Widget(s.form.Memo1));
        QTest::qWait(500);
        Widget(s.form.ComboBox1)->setCurrentIndex(-1);  // no port: the log stops growing
        Widget(s.form.ComboBox1)->activated(-1);
        double ms = watch.clock.elapsed();
        QTest::qWait(100);
        const QStringList lines = Log(s.form);
        int reads = int(std::count_if(lines.begin(), lines.end(), [](const QString &l) { return l.startsWith("# BytesReceived: "); }));
        qInfo("%d reads, %d paints in %.0f ms", reads, watch.paints, ms);
        QVERIFY(watch.paints <= ms / 16 + 5);
        QVERIFY(reads > watch.paints);
        QVERIFY(watch.painted > watch.changed);

        // Ctrl+T on the log: each read's time of day and gap. They rise, each
        // gap is the difference of the times, and the bytes after the first
        // read are the board's pace times the time since it, within 2% (the
        // board itself may wake late and catch up in a burst).
        Widget(s.form.Memo1)->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_T, Qt::ControlModifier);
        const QRegularExpression timed("^# BytesReceived: (\\d+)   (\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{3})(  \\+(\\d+)\\.(\\d{3}) s)?$");
        double first = -1, last = -1, worst = 0;
        long long bytes = 0;
        for (const QString &line : Widget(s.form.Memo1)->Text().split('\n')) {
            if (!line.startsWith("# BytesReceived: ")) continue;
            const QRegularExpressionMatch m = timed.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            const double at = m.captured(2).toInt() * 3600 + m.captured(3).toInt() * 60 + m.captured(4).toInt() + m.captured(5).toInt() / 1000.0;
            if (last >= 0) {
                QVERIFY2(at >= last && m.hasCaptured(6), qPrintable(line));
                QVERIFY(std::abs(m.captured(7).toInt() + m.captured(8).toInt() / 1000.0 - (at - last)) <= 0.0015);
                bytes += m.captured(1).toLongLong();
                worst = std::max(worst, std::abs(bytes / (300.0 * 1024) - (at - first)));
            } else {
                first = at;
            }
            last = at;
        }
        const double off = std::abs(bytes / (300.0 * 1024) - (last - first));
        qInfo("times: %.0f ms of reads, %lld bytes after the first: %.1f ms off the board's pace at the end, at most %.1f ms on the way",
              (last - first) * 1000, bytes, off * 1000, worst * 1000);
        QVERIFY(last - first > 0.4);
        QVERIFY(off <= 0.02 * (last - first) + 0.002);
    }

    void an_unplugged_board_is_noticed_and_opened_again_by_itself()
    {
        Session s;
        const QString where = QString("Port 20 (%1): ").arg(PortDevicePath(20).c_str());
        const QString gone = where + "the board went away; it will be opened again when it is back.";
        const QString back = where + "the board is back.";
        QElapsedTimer clock;
        clock.start();
        // Runs the window until the simulator says `line`, and gives when it did (ms).
        auto simSays = [&](const char *line) {
            bool said = QTest::qWaitFor([&] { return !s.board.WaitLine(line, 0).empty(); }, 5000);
            return said ? clock.elapsed() : -1;
        };
        auto logShows = [&](const QString &line) {
            bool shown = QTest::qWaitFor([&] { return Log(s.form).contains(line); }, 3000);
            return shown ? clock.elapsed() : -1;
        };

        // "Timer" mode: the poll notices, once; sends show 0 while it is away.
        s.Unplug();
        qint64 dropped = simSays("link dropped"), noticed = logShows(gone);
        QVERIFY2(dropped >= 0 && noticed >= 0, qPrintable(QString("%1 %2 %3").arg(dropped).arg(noticed).arg(Log(s.form).join("|"))));
        qInfo("noticed %lld ms after the link dropped", noticed - dropped);
        QVERIFY(noticed - dropped < 250);
        QVERIFY(!PortIsOpen(20));
        Widget(s.form.Edit1)->setText("lost");
        Widget(s.form.Button1)->click();
        QCOMPARE(Widget(s.form.Edit2)->text(), QString("0"));
        qint64 returned = simSays("board back on port 20"), reopened = logShows(back);
        QVERIFY(returned >= 0 && reopened >= 0);
        qInfo("opened again %lld ms after the board came back", reopened - returned);
        // On the rig the simulator has the gadget's device again at once; the
        // link itself comes back a second later.
        QVERIFY(reopened - returned < (OnTheRig() ? 2500 : 1500));
        QCOMPARE(Log(s.form), QStringList({gone, back}));
        CheckEcho(s, "hello");

        // "Manually" mode: nothing polls, but the device's removal is noticed at once; the port comes back by itself.
        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(0), Qt::LeftButton);
        Widget(s.form.Button2)->click();
        s.Unplug();
        QVERIFY(simSays("link dropped") >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(Log(s.form), QStringList({gone}), 1000);
        QVERIFY(simSays("board back on port 20") >= 0 && logShows(back) >= 0);
        Widget(s.form.Edit1)->setText("manual");
        Widget(s.form.Button1)->click();
        QVERIFY(QTest::qWaitFor([&] { return s.board.Counts().text >= 10; }, 2000));
        QTest::qWait(50);
        Widget(s.form.Button3)->click();
        QCOMPARE(Log(s.form).mid(2), QStringList({"# BytesReceived: 6", "manual"}));

        // Clearing the choice while the board is away stops the retrying.
        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(1), Qt::LeftButton);
        Widget(s.form.Button2)->click();
        s.Unplug();
        QVERIFY(logShows(gone) >= 0);
        Widget(s.form.ComboBox1)->setCurrentIndex(-1);
        Widget(s.form.ComboBox1)->activated(-1);
        QVERIFY(simSays("board back on port 20") >= 0);
        QTest::qWait(1200);
        QCOMPARE(Log(s.form), QStringList({gone}));
        QVERIFY(!PortIsOpen(20));
    }

    void heartbeat_once_a_second_while_on()
    {
        Session s;
        QVERIFY(Widget(s.form.Timer2)->isActive());  // running from the start, silent while off
        QTest::qWait(1200);
        QCOMPARE(s.board.Counts().heartbeats, 0);

        QTest::mouseClick(Widget(s.form.Button6), Qt::LeftButton);
        QVERIFY(s.form.HeartbeatOn);
        QTest::qWait(2500);
        long long beats = s.board.Counts().heartbeats;
        QVERIFY2(beats >= 2 && beats <= 3, qPrintable(QString::number(beats)));

        QTest::mouseClick(Widget(s.form.Button6), Qt::LeftButton);
        QVERIFY(!s.form.HeartbeatOn);
        QVERIFY(!Widget(s.form.Timer2)->isActive());
        QTest::qWait(1200);
        QCOMPARE(s.board.Counts().heartbeats, beats);
        QCOMPARE(Widget(s.form.Button6)->text(), QString("Start/Stop  ^"));
        QVERIFY(Log(s.form).isEmpty());  // a heartbeat has no answer

        // On, with no port: ticks send nothing and raise nothing.
        Widget(s.form.ComboBox1)->setCurrentIndex(-1);
        Widget(s.form.ComboBox1)->activated(-1);
        Widget(s.form.Button6)->click();
        QVERIFY(Widget(s.form.Timer2)->isActive());
        s.form.Timer2Timer();
        QTest::qWait(1100);
        QCOMPARE(s.board.Counts().heartbeats, beats);
    }
};

int main(int argc, char **argv)
{
    TQtApplication app(argc, argv);
    ConsoleTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_console.moc"
