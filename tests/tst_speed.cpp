// The throughput tests in the real window, offscreen, against the real
// simulator: their results, the timers and cursor around them, boards that
// misbehave, and the speed's format and faults.
#include <QtTest>
#include <atomic>
#include <limits>
#include <thread>

#include "ConsoleSession.h"

namespace {

// The speed a result line states, or -1 when the line is not one.
double Speed(const QString &line, const QString &title)
{
    static const QRegularExpression number(QStringLiteral("^(\\d+)[.,](\\d\\d)$"));
    if (!line.startsWith(title)) return -1;
    QRegularExpressionMatch m = number.match(line.mid(title.size()));
    return m.hasMatch() ? (m.captured(1) + "." + m.captured(2)).toDouble() : -1;
}

const QString Up = QStringLiteral("Speed PC -> PIC (KB/s): ");
const QString Down = QStringLiteral("Speed PIC -> PC (KB/s): ");

// Seconds a click's handler took.
double Timed(QPushButton *button)
{
    QElapsedTimer clock;
    clock.start();
    button->click();
    return clock.elapsed() / 1000.0;
}

// The window after a test: timers as the mode and heartbeat say, the default cursor.
void CheckRestored(QtForm1 &form)
{
    QCOMPARE(Widget(form.Timer1)->isActive(), Widget(form.RadioGroup1)->ItemIndex() == 1);
    QCOMPARE(Widget(form.Timer2)->isActive(), form.HeartbeatOn);
    QVERIFY(QApplication::overrideCursor() == nullptr);
}

}  // namespace

class SpeedTest : public QObject {
    Q_OBJECT
private slots:
    void init() { CatchFaults(); }
    void cleanup() { QVERIFY2(Faults().isEmpty(), qPrintable(Faults().join(" | "))); }

    void decimal_separator_follows_the_locale()
    {
        QtForm1 form;
        QCOMPARE(QString::fromStdString(form.SendTimer->Name), QString("SendTime"));
        QString system = QLocale::system().decimalPoint();
        QCOMPARE(QString::fromStdString(form.DecimalSeparator), system.isEmpty() ? QString(".") : system);
        form.setLocale(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(QString::fromStdString(form.DecimalSeparator), QString(","));
        form.setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(QString::fromStdString(form.DecimalSeparator), QString("."));
        // A change of the user's settings reaches the application, and the window reads them again.
        form.unsetLocale();
        form.DecimalSeparator = "?";
        QEvent change(QEvent::LocaleChange);
        QCoreApplication::sendEvent(qApp, &change);
        QCOMPARE(QString::fromStdString(form.DecimalSeparator), system.isEmpty() ? QString(".") : system);
    }

    void no_port_gives_its_line_at_once()
    {
        // A port that did not open, then no port at all.
        PortsFolder ports;
        ports.Link(5, "/nonexistent/board");
        QtForm1 form;
        form.show();
        Widget(form.ComboBox1)->setCurrentIndex(4);
        Widget(form.ComboBox1)->activated(4);
        QVERIFY(!PortIsOpen(5));
        Widget(form.Button2)->click();
        for (int index : {4, -1}) {
            Widget(form.ComboBox1)->setCurrentIndex(index);
            Widget(form.ComboBox1)->activated(index);
            Widget(form.Button2)->click();
            for (QPushButton *button : {Widget(form.Button4), Widget(form.Button5)}) {
                QVERIFY(Timed(button) < 0.5);
                QVERIFY(QApplication::overrideCursor() == nullptr);
                QVERIFY(Widget(form.Timer1)->isActive());
            }
            QCOMPARE(Log(form), QStringList({"Speed PC -> PIC: no port is open. Choose the board's port first.",
                                             "Speed PIC -> PC: no port is open. Choose the board's port first."}));
        }
        form.close();
    }

    void both_directions_at_a_paced_rate()
    {
        Session s({"--rate", "256"});
        // The heartbeat is on; a beat has just gone, so the next is due during the test.
        Widget(s.form.Button6)->click();
        QVERIFY(QTest::qWaitFor([&] { return s.board.Counts().heartbeats >= 1; }, 3000));
        long long beats = s.board.Counts().heartbeats;

        // About 256 either way. The bounds leave room for a loaded machine; they
        // catch wrong units or a wrong volume, and the benchmarks give exact figures.
        Widget(s.form.Button4)->click();
        QStringList log = Log(s.form);
        QCOMPARE(log.size(), 2);
        double up = Speed(log[0], Up);
        QVERIFY2(up > 64 && up < 400, qPrintable(log[0]));
        double delivered = Speed(log[1].section(' ', 0, 8), "Speed PC -> PIC to the board (KB/s): ");
        QVERIFY2(delivered > 64 && delivered <= up, qPrintable(log[1]));
        SimCounts c = s.board.Counts();
        QCOMPARE(c.announces + c.uploadMarks, 65);  // the announce, and the first byte of each block
        QCOMPARE(c.upload, 262144);
        QCOMPARE(c.heartbeats, beats);  // none went out during the test
        CheckRestored(s.form);

        // In "Manually" mode the poll stays off after a test.
        QTest::mouseClick(Widget(s.form.RadioGroup1)->Item(0), Qt::LeftButton);
        Widget(s.form.Button5)->click();
        log = Log(s.form);
        QCOMPARE(log.size(), 3);  // the test's data is not shown
        double down = Speed(log[2], Down);
        QVERIFY2(down > 64 && down < 400, qPrintable(log[2]));
        QCOMPARE(s.board.Counts().requests, 1);
        qInfo("at 256 KB/s: %s | %s | %s", qPrintable(log[0]), qPrintable(log[1]), qPrintable(log[2]));
        QVERIFY(!Widget(s.form.Timer1)->isActive());
        CheckRestored(s.form);

        // The heartbeat goes on after the tests.
        long long after = s.board.Counts().heartbeats;
        QTest::qWait(2500);
        long long more = s.board.Counts().heartbeats - after;
        QVERIFY2(more >= 2 && more <= 3, qPrintable(QString::number(more)));
    }

    void upload_bytes_and_the_marks_rule_with_a_scripted_board()
    {
        // The test plays the board: it reads the upload, then answers with a read
        // that holds "*" but does not begin with it, and 300 ms later with "*".
        ScriptedSession s;
        PtyLink &board = s.board;
        QtForm1 &form = s.form;
        std::string got;
        std::thread script([&] {
            got = board.Receive(1 + 262144, 10000);
            board.Send("ab*");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            board.Send("*");
        });
        double seconds = Timed(Widget(form.Button4));
        script.join();
        std::string expected = "%";
        for (int block = 0; block < 64; ++block) expected += "%" + std::string(4095, '_');
        QVERIFY(got == expected);
        QVERIFY(seconds >= 0.3);
        // Both answers were taken by the wait: nothing is left for the poll to show.
        QTest::qWait(100);
        QStringList log = Log(form);
        QCOMPARE(log.size(), 2);
        QVERIFY(Speed(log[0], Up) > 0);
    }

    void a_board_that_keeps_sending_ends_the_upload_within_the_limit()
    {
        // A board that streams log text and never answers with a read that
        // begins with "*": what it sends is not progress, so the wait ends 5 s
        // after the last block, says why, and the window goes on.
        ScriptedSession s;
        PtyLink &board = s.board;
        QtForm1 &form = s.form;
        std::atomic<bool> quiet{false};
        std::atomic<std::int64_t> lastBlockNs{0};
        std::string got;
        std::thread script;
        struct Join {
            std::thread &script;
            std::atomic<bool> &quiet;
            ~Join()
            {
                quiet = true;
                if (script.joinable()) script.join();
            }
        } join{script, quiet};
        script = std::thread([&] {
            got = board.Receive(1 + 262144, 10000);
            lastBlockNs = std::chrono::steady_clock::now().time_since_epoch().count();
            auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!quiet && std::chrono::steady_clock::now() < end) {
                board.Send("log: still busy * working\r\n");
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            // Then a plain download, to show the next test runs as usual.
            std::string request = board.Receive(1, 5000);
            if (request == "*") board.Send(std::string(262144, 'd'));
        });
        Widget(form.Button4)->click();
        auto waited = std::chrono::steady_clock::now().time_since_epoch() - std::chrono::steady_clock::duration(lastBlockNs.load());
        double seconds = std::chrono::duration<double>(waited).count();
        QCOMPARE(got.size(), std::size_t(1 + 262144));
        QVERIFY2(seconds >= 4.9 && seconds < 7, qPrintable(QString::number(seconds)));
        QStringList log = Log(form);
        QRegularExpressionMatch m = QRegularExpression("^Speed PC -> PIC: all 262144 bytes went out, but no \"\\*\" came back within 5 s; "
                                                       "the board kept sending other bytes \\((\\d+) of them\\)\\.$")
                                        .match(log.value(0));
        QVERIFY2(log.size() == 2 && m.hasMatch(), qPrintable(log.join('|')));
        QVERIFY(m.captured(1).toInt() > 1000);
        CheckRestored(form);

        // The window answers: its poll shows the stream while the board goes on.
        QVERIFY(QTest::qWaitFor([&] { return Log(form).size() >= 3; }, 1000));
        quiet = true;
        QTest::qWait(50);
        Widget(form.Button2)->click();
        Widget(form.Button5)->click();
        log = Log(form);
        QVERIFY2(!log.isEmpty() && Speed(log.last(), Down) > 0, qPrintable(log.join('|')));
    }

    void result_uses_the_locales_separator()
    {
        Session s;
        s.form.setLocale(QLocale(QLocale::German, QLocale::Germany));
        Widget(s.form.Button5)->click();
        QStringList log = Log(s.form);
        QCOMPARE(log.size(), 1);
        QVERIFY2(QRegularExpression("^Speed PIC -> PC \\(KB/s\\): \\d+,\\d\\d$").match(log[0]).hasMatch(), qPrintable(log[0]));
    }

    void a_zero_second_timing_is_a_fault()
    {
        Session s;
        s.form.SendTimer = std::make_unique<TPerformanceTimer>("SendTime", 0, [] { return std::int64_t(0); });
        Widget(s.form.Button4)->click();
        QCOMPARE(Faults(), QStringList({"Floating point division by zero."}));
        Faults().clear();
        // No result line; the test stopped where the fault was: timers off, hourglass up.
        QVERIFY(Log(s.form).isEmpty());
        QVERIFY(!Widget(s.form.Timer1)->isActive());
        QVERIFY(!Widget(s.form.Timer2)->isActive());
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }

    void a_silent_board_ends_both_tests_within_the_limit()
    {
        Session s({"--silent"});
        double seconds = Timed(Widget(s.form.Button4));
        QVERIFY2(seconds >= 5 && seconds < 9, qPrintable(QString::number(seconds)));
        seconds = Timed(Widget(s.form.Button5));
        QVERIFY2(seconds >= 5 && seconds < 9, qPrintable(QString::number(seconds)));
        QStringList log = Log(s.form);
        QCOMPARE(log.size(), 3);
        QCOMPARE(log[0], QString("Speed PC -> PIC: all 262144 bytes went out, but no \"*\" came back within 5 s."));
        QVERIFY2(log[1].startsWith("Speed PC -> PIC: the PC's queue read empty after "), qPrintable(log[1]));
        QCOMPARE(log[2], QString("Speed PIC -> PC: nothing came for 5 s; 0 of 262144 bytes came."));
        CheckRestored(s.form);
        CheckEcho(s, "still here");
    }

    void a_short_or_long_download_is_told()
    {
        {
            Session s({"--short", "1000"});
            double seconds = Timed(Widget(s.form.Button5));
            QVERIFY2(seconds >= 5 && seconds < 9, qPrintable(QString::number(seconds)));
            QCOMPARE(Log(s.form), QStringList({"Speed PIC -> PC: nothing came for 5 s; 261144 of 262144 bytes came."}));
            CheckRestored(s.form);
        }
        {
            // The test ends once 262144 are in; what the last read brought beyond
            // that is said, and whatever comes after the test shows in the log.
            Session s({"--extra", "1000"});
            QVERIFY(Timed(Widget(s.form.Button5)) < 5);
            QStringList log = Log(s.form);
            QVERIFY2(Speed(log.value(0), Down) > 0, qPrintable(log.join('|')));
            int beyond = 0;
            if (log.size() > 1) {
                QRegularExpressionMatch m =
                    QRegularExpression("^Speed PIC -> PC: (\\d+) bytes came beyond 262144\\.$").match(log[1]);
                QVERIFY2(m.hasMatch(), qPrintable(log[1]));
                beyond = m.captured(1).toInt();
            }
            if (beyond < 1000) QVERIFY(s.WaitBytes(1000 - beyond));
            QTest::qWait(100);
            QCOMPARE(beyond + Parse(s.form).bytes, 1000);
            CheckRestored(s.form);
        }
    }

    void a_board_that_drops_the_line_ends_the_test_and_comes_back()
    {
        Session s({"--hangup-after", "100000"});
        double seconds = Timed(Widget(s.form.Button5));
        QVERIFY2(seconds < 9, qPrintable(QString::number(seconds)));
        QCOMPARE(Log(s.form), QStringList({"Speed PIC -> PC: nothing came for 5 s; 100000 of 262144 bytes came. "
                                           "The line dropped: the port will be opened again by itself once the board is back."}));
        CheckRestored(s.form);

        // The console opens the board's new line by itself, and says so once.
        QVERIFY(!s.board.WaitLine("board back on port 20", 5000).empty());
        QVERIFY(QTest::qWaitFor([&] { return Log(s.form).size() == 2; }, 2000));
        QCOMPARE(Log(s.form).last(), QString("Port 20 (%1): the board is back.").arg(PortDevicePath(20).c_str()));
        QVERIFY(PortResponds(20));
        CheckEcho(s, "back");

        // The upload: the board stops taking data and drops the line.
        Widget(s.form.Button2)->click();
        seconds = Timed(Widget(s.form.Button4));
        QVERIFY2(seconds < 9, qPrintable(QString::number(seconds)));
        QStringList log = Log(s.form);
        QRegularExpressionMatch m = QRegularExpression("^Speed PC -> PIC: the board took nothing for 5 s; (\\d+) of 262144 bytes "
                                                       "went out\\. The line dropped: the port will be opened again by itself once the board is back\\.$")
                                        .match(log.value(0));
        QVERIFY2(log.size() == 1 && m.hasMatch(), qPrintable(log.join('|')));
        QVERIFY(m.captured(1).toInt() >= 100000 && m.captured(1).toInt() < 262144);
        CheckRestored(s.form);
        QVERIFY(!s.board.WaitLine("board back on port 20", 5000).empty());
        QVERIFY(QTest::qWaitFor([&] { return Log(s.form).size() == 2; }, 2000));
        QVERIFY(Log(s.form).last().endsWith("): the board is back."));
        CheckEcho(s, "again");
    }
};

int main(int argc, char **argv)
{
    TQtApplication app(argc, argv);
    SpeedTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_speed.moc"
