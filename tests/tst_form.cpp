// The main window offscreen: its layout at 96 dpi, anchors and scaling, its
// start state, and port choice against the real port table on pseudo-terminals.
#include <QClipboard>
#include <QFileDialog>
#include <QTemporaryDir>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QtTest>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>

#include "PtyLink.h"
#include "QtApplication.h"
#include "QtForm1.h"

namespace {

struct Control {
    const char *name, *kind;
    QRect rect;
    QString caption;
    bool enabled;
};

const Control layout[] = {
    {"Label2", "QLabel", {24, 24, 59, 13}, "Text to send", true},
    {"Edit1", "QLineEdit", {24, 40, 305, 21}, "", true},
    {"Label1", "QLabel", {360, 24, 29, 13}, "#Sent", true},
    {"Edit2", "QLineEdit", {352, 40, 41, 21}, "", true},
    {"Button1", "QPushButton", {408, 40, 113, 25}, "Send", false},
    {"ComboBox1", "QComboBox", {432, 8, 73, 21}, "ComPort", true},
    {"Label3", "QLabel", {176, 72, 49, 13}, "Reception", true},
    {"Memo1", "TQtLog", {24, 88, 369, 337}, "", true},
    {"RadioGroup1", "QGroupBox", {408, 80, 113, 81}, " Receive ", true},
    {"Button3", "QPushButton", {408, 176, 113, 25}, "Receive Manually", false},
    {"Button4", "QPushButton", {408, 232, 113, 25}, "Speed Test PC > PIC", false},
    {"Button5", "QPushButton", {408, 264, 113, 25}, "Speed Test PIC > PC", false},
    {"Button6", "QPushButton", {408, 352, 113, 25}, "Start/Stop  ^", false},
    {"Button2", "QPushButton", {408, 400, 113, 25}, "Clear", true},
};

QString Caption(QWidget *w)
{
    if (auto *b = qobject_cast<QPushButton *>(w)) return b->text();
    if (auto *l = qobject_cast<QLabel *>(w)) return l->text();
    if (auto *e = qobject_cast<QLineEdit *>(w)) return e->text();
    if (auto *c = qobject_cast<QComboBox *>(w)) return c->currentText();
    if (auto *g = qobject_cast<QGroupBox *>(w)) return g->title();
    if (auto *m = qobject_cast<TQtLog *>(w)) return m->Text();
    return {};
}

QStringList Log(QtForm1 &form) { return Widget(form.Memo1)->Text().split('\n', Qt::SkipEmptyParts); }

void Type(QtForm1 &form, const QString &keys)
{
    for (QChar c : keys) QTest::keyClick(Widget(form.ComboBox1), c.toLatin1());
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT
private slots:
    void controls_stand_where_the_design_puts_them()
    {
        QtForm1 form(nullptr, 96);
        QCOMPARE(form.windowTitle(), QString("Quorvel (Usb-Com)   vers 20-08-2013"));
        QCOMPARE(form.size(), QSize(537, 453));
        QCOMPARE(form.pos(), QPoint(340, 223));
        QCOMPARE(form.font().pixelSize(), 11);
        for (const Control &c : layout) {
            auto *w = form.findChild<QWidget *>(c.name);
            QVERIFY2(w, c.name);
            QVERIFY2(w->inherits(c.kind), c.name);
            QCOMPARE(w->geometry(), c.rect);
            QCOMPARE(Caption(w), c.caption);
            QCOMPARE(w->isEnabled(), c.enabled);
        }
        QCOMPARE(Widget(form.ComboBox1)->count(), 20);
        QCOMPARE(Widget(form.ComboBox1)->itemText(0), QString("1"));
        QCOMPARE(Widget(form.ComboBox1)->itemText(19), QString("20"));
        QCOMPARE(Widget(form.ComboBox1)->currentIndex(), -1);
        QVERIFY(Widget(form.ComboBox1)->isEditable());
        QCOMPARE(Widget(form.RadioGroup1)->ItemIndex(), 1);
        QCOMPARE(Widget(form.RadioGroup1)->Item(0)->text(), QString("Manually"));
        QCOMPARE(Widget(form.RadioGroup1)->Item(1)->text(), QString("Timer"));
        QCOMPARE(Widget(form.Memo1)->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(Widget(form.Timer1)->interval(), 1);
        QCOMPARE(Widget(form.Timer1)->timerType(), Qt::PreciseTimer);
        QVERIFY(Widget(form.Timer1)->isActive());
        QCOMPARE(Widget(form.Timer2)->interval(), 1000);
        QVERIFY(Widget(form.Timer2)->isActive());
        QCOMPARE(form.ComPort, BYTE(0));
        QVERIFY(!form.HeartbeatOn);
    }

    void captions_fit_their_controls_data()
    {
        QTest::addColumn<int>("dpi");
        QTest::newRow("96 dpi") << 96;
        QTest::newRow("144 dpi") << 144;
    }

    void captions_fit_their_controls()
    {
        QFETCH(int, dpi);
        QtForm1 form(nullptr, dpi);
        form.show();  // the combo lays out its text box when shown
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        for (auto *b : form.findChildren<QPushButton *>()) {
            int text = b->fontMetrics().horizontalAdvance(b->text());
            QVERIFY2(text + 8 <= b->width(), qPrintable(b->text()));
        }
        for (auto *l : form.findChildren<QLabel *>())
            QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width() + 1, qPrintable(l->text()));
        for (int i = 0; i < 2; ++i) {
            QRadioButton *item = Widget(form.RadioGroup1)->Item(i);
            QVERIFY2(item->sizeHint().width() <= item->width(), qPrintable(item->text()));
        }
        QLineEdit *combo = Widget(form.ComboBox1)->lineEdit();
        QVERIFY(combo->fontMetrics().horizontalAdvance("ComPort") <= combo->width());
    }

    void start_state_after_show_has_focus_in_the_text_box()
    {
        QtForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), Widget(form.Edit1));
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("ComPort"));
        // Tab walks the controls in the designed order (here with every button on).
        for (QPushButton *b : form.findChildren<QPushButton *>()) b->setEnabled(true);
        QList<QWidget *> order;
        for (int i = 0; i < 11; ++i) {
            QWidget *focus = QApplication::focusWidget();
            order << (focus->parentWidget() == Widget(form.RadioGroup1) ? Widget(form.RadioGroup1) : focus);
            QTest::keyClick(focus, Qt::Key_Tab);
        }
        QList<QWidget *> expected = {Widget(form.Edit1),   Widget(form.Button1), Widget(form.Memo1),       Widget(form.ComboBox1),
                                     Widget(form.Button2), Widget(form.Button3), Widget(form.RadioGroup1), Widget(form.Edit2),
                                     Widget(form.Button4), Widget(form.Button5), Widget(form.Button6)};
        QCOMPARE(order, expected);
    }

    void tab_lands_on_the_checked_receive_mode()
    {
        // The group is one tab stop: Tab and Shift+Tab reach the checked item
        // alone, and the arrow keys move the choice within the group.
        QtForm1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        auto press = [](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
            return QApplication::focusWidget();
        };
        // As the window starts, then as the user clicks each mode.
        for (int mode : {1, 0, 1}) {
            if (QApplication::focusWidget() != Widget(form.Edit1)) QTest::mouseClick(Widget(form.RadioGroup1)->Item(mode), Qt::LeftButton);
            QCOMPARE(Widget(form.RadioGroup1)->ItemIndex(), mode);
            // "Receive Manually" is on only in "Manually" mode; "Clear" comes before it.
            (mode == 0 ? static_cast<QWidget *>(Widget(form.Button3)) : Widget(form.Button2))->setFocus(Qt::TabFocusReason);
            QCOMPARE(press(Qt::Key_Tab), Widget(form.RadioGroup1)->Item(mode));
            QCOMPARE(press(Qt::Key_Tab), Widget(form.Edit2));
            QCOMPARE(press(Qt::Key_Tab, Qt::ShiftModifier), Widget(form.RadioGroup1)->Item(mode));
            QCOMPARE(press(Qt::Key_Tab, Qt::ShiftModifier), mode == 0 ? static_cast<QWidget *>(Widget(form.Button3)) : Widget(form.Button2));
        }
        Widget(form.RadioGroup1)->Item(1)->setFocus(Qt::TabFocusReason);
        QCOMPARE(press(Qt::Key_Up), Widget(form.RadioGroup1)->Item(0));
        QCOMPARE(Widget(form.RadioGroup1)->ItemIndex(), 0);
        QVERIFY(!Widget(form.Timer1)->isActive());  // the change ran its handler
        QCOMPARE(press(Qt::Key_Down), Widget(form.RadioGroup1)->Item(1));
        QVERIFY(Widget(form.Timer1)->isActive());
    }

    void the_log_selects_and_copies_what_it_holds_across_wrapped_lines()
    {
        QtForm1 form(nullptr, 96);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        TQtLog *log = Widget(form.Memo1);
        const std::string wrapped = "caf\xE9 " + std::string(300, 'w') + " end";  // several rows at this width
        for (const std::string &line : {std::string("first line"), wrapped, std::string("third")}) form.Memo1->Append(line);
        QApplication::processEvents();
        const QString wrappedText = QString::fromLatin1(wrapped.c_str());
        QCOMPARE(log->Text(), "first line\n" + wrappedText + "\nthird");
        QRect start = log->Where({0, 6}), inside = log->Where({1, 250}), last = log->Where({2, 3});
        QVERIFY(start.isValid() && inside.isValid() && last.isValid());
        QVERIFY(inside.top() > log->Where({1, 10}).top());  // a later row of the same line

        // The mouse, from a plain line into a wrapped one's later row, then on.
        QTest::mousePress(log->viewport(), Qt::LeftButton, {}, start.center() - QPoint(start.width() / 2, 0));
        QTest::mouseMove(log->viewport(), inside.center() - QPoint(inside.width() / 2, 0));
        QCOMPARE(log->SelectedText(), "line\n" + wrappedText.left(250));
        QTest::mouseMove(log->viewport(), last.center() - QPoint(last.width() / 2, 0));
        QTest::mouseRelease(log->viewport(), Qt::LeftButton, {}, last.center() - QPoint(last.width() / 2, 0));
        QCOMPARE(log->SelectedText(), "line\n" + wrappedText + "\nthi");
        QCOMPARE(QApplication::focusWidget(), log);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), "line\n" + wrappedText + "\nthi");  // Latin-1 as Unicode

        // The keys: to the start, then a line and a half with Shift; all.
        QTest::keyClick(log, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(log, Qt::Key_Down, Qt::ShiftModifier);
        QTest::keyClick(log, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(log->SelectedText(), "first line\nc");
        QTest::keyClick(log, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(log->SelectedText(), log->Text());

        // The context menu shows the view's items, keys and state, then the form's; choosing Copy copies.
        QStringList items;
        QTimer::singleShot(0, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (!menu) return;
            for (QAction *a : menu->actions())
                items << (a->isSeparator() ? QString("-") : a->text() + " " + a->shortcut().toString() + (a->isEnabled() ? "" : " (off)"));
            QApplication::clipboard()->clear();
            menu->actions().first()->trigger();
            menu->close();
        });
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, QPoint(5, 5), log->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(log->viewport(), &menuEvent);
        QCOMPARE(items, QStringList({"&Copy Ctrl+C", "-", "Select &All Ctrl+A", "-", "&Find... Ctrl+F", "Find &Next F3 (off)", "-", "Te&xt ",
                                     "&Hex Ctrl+H", "&Times Ctrl+T", "-", "&Save Log As... Ctrl+S", "Save &Received Bytes As... ", "-",
                                     "Ca&pture to File... "}));
        QCOMPARE(QApplication::clipboard()->text(), log->Text());
        form.activateWindow();  // offscreen, the closed popup leaves no window active
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), log);

        // Tab moves the focus on, in the designed order.
        QTest::keyClick(log, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), Widget(form.ComboBox1));

        // The view follows the end while it is at the end, and stays put above it.
        for (int i = 0; i < 200; ++i) form.Memo1->Append("line " + std::to_string(i));
        QVERIFY(log->AtEnd());
        QVERIFY(log->verticalScrollBar()->maximum() > 150);
        log->verticalScrollBar()->setValue(10);
        form.Memo1->Append("one more");
        QCOMPARE(log->verticalScrollBar()->value(), 10);
        log->verticalScrollBar()->setValue(log->verticalScrollBar()->maximum());
        form.Memo1->Append("and another");
        QVERIFY(log->AtEnd());
        QApplication::processEvents();
        QVERIFY(log->Where({form.Memo1->Lines.LineCount() - 1, 0}).isValid());  // the last line is in sight

        // No height is too low to draw it, down to none at all.
        const QSize size = log->size();
        for (int h = 0; h <= 130; ++h) {
            log->resize(size.width(), h);
            log->grab();
            QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, QPoint(5, h / 2));
        }
        log->resize(size);

        // "Clear" empties it, selection and all.
        QTest::mouseClick(Widget(form.Button2), Qt::LeftButton);
        QCOMPARE(log->Text(), QString());
        QCOMPARE(log->SelectedText(), QString());
        QCOMPARE(log->verticalScrollBar()->maximum(), 0);

        // One read of 70000 bytes with no line end: every row of it can be brought into sight,
        // a row a step of the scroll bar, and a row a key from its first byte to its last.
        std::string words;
        for (int i = 0; words.size() < 70000; ++i) words += "w" + std::to_string(100000 + i).substr(1) + " ";
        words.resize(70000);
        form.Memo1->Append(words);
        QApplication::processEvents();
        const int rowHeight = QFontMetrics(log->font()).height();
        const auto offsetAt = [&](int row) { return log->At(QPoint(1, 4 + row * rowHeight + 1)).offset; };
        QScrollBar *bar = log->verticalScrollBar();
        QVERIFY(bar->maximum() > 900);
        int next = 0;
        for (int value = 0; value <= bar->maximum(); ++value) {
            bar->setValue(value);
            if (value < bar->maximum()) QCOMPARE(offsetAt(0), next);
            else QVERIFY(offsetAt(0) <= next);  // the end may show part of a row above
            next = offsetAt(1);
        }
        QCOMPARE(log->Where({0, 69999}).isValid(), true);
        bar->setValue(0);
        const int rowBytes = offsetAt(1);
        QTest::keyClick(log, Qt::Key_Home, Qt::ControlModifier);
        int rows = 0;
        for (int before = -1; log->Caret().offset != before; ++rows) {
            QVERIFY(rows < 2000);
            before = log->Caret().offset;
            QTest::keyClick(log, Qt::Key_Down);
            QVERIFY(log->Where(log->Caret()).isValid());
            QVERIFY(log->Caret().offset - before <= rowBytes + 8);
        }
        QVERIFY(log->Where({0, 69999}).isValid());
        QVERIFY(rows > 900);
    }

    void the_log_shows_hex_finds_and_saves_from_its_keys_and_dialogs()
    {
        QtForm1 form(nullptr, 96);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        TQtLog *log = Widget(form.Memo1);
        const std::string bytes("ok\r\n\0\xff\x7f" "abcdefghijklmnopq", 24);
        form.Memo1->AppendRead(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), 0, 0);
        form.Memo1->Append("Speed PIC -> PC: 99.50 KB/s");
        log->setFocus();
        QCOMPARE(log->Text(), QString::fromLatin1("# BytesReceived: 24\nok\n\xff\x7f" "abcdefghijklmnopq\nSpeed PIC -> PC: 99.50 KB/s"));
        QTest::keyClick(log, Qt::Key_H, Qt::ControlModifier);
        QCOMPARE(log->Text(), "# BytesReceived: 24\n0000  6F 6B 0D 0A 00 FF 7F 61 62 63 64 65 66 67 68 69  ok.....abcdefghi\n"
                              "0010  6A 6B 6C 6D 6E 6F 70 71                          jklmnopq\nSpeed PIC -> PC: 99.50 KB/s");

        // Find: Ctrl+F opens the bar; Enter finds, F3 again, Escape leaves the bar for the log.
        QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
        QLineEdit *bar = log->FindBar();
        QVERIFY(bar->isVisible() && QApplication::focusWidget() == bar);
        QTest::keyClicks(bar, "0d 0a 00");
        QTest::keyClick(bar, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return log->SelectedText() == "0D 0A 00"; }, 2000));
        QTest::keyClick(bar, Qt::Key_Escape);
        QVERIFY(!bar->isVisible() && QApplication::focusWidget() == log);
        QTest::keyClick(log, Qt::Key_F, Qt::ControlModifier);
        bar->clear();
        QTest::keyClicks(bar, "SPEED");
        QTest::keyClick(bar, Qt::Key_Return);
        QVERIFY(QTest::qWaitFor([&] { return log->SelectedText() == "Speed"; }, 2000));
        // The bytes show as Latin-1: ÿ is the byte FF; € is in no byte, and is said so, not looked for as "?";
        // the status line reads back as it was typed.
        for (const auto &[typed, said] : std::vector<std::pair<QString, QString>>{
                 {"\u00ff", ""}, {"\u20ac5", "\u20ac cannot be in the log: it shows bytes as Latin-1"}, {"\u00e9", "\"\u00e9\" is not in the log."}}) {
            bar->clear();
            for (QChar c : typed) QTest::sendKeyEvent(QTest::Click, bar, Qt::Key_unknown, QString(c), Qt::NoModifier);  // as a keyboard layout types it
            QTest::keyClick(bar, Qt::Key_Return);
            QVERIFY(QTest::qWaitFor([&] { return !log->View().Working(); }, 2000));
            QCOMPARE(QString::fromLocal8Bit(log->View().Status().c_str()), said);
            if (said.isEmpty()) QCOMPARE(log->SelectedText(), QString("FF"));
        }

        // Both saves through the save dialog, the name typed into it.
        QTemporaryDir dir;
        auto save = [&](const QString &name, auto open) -> QByteArray {
            // Looked for until it is up (slow under emulation), then the name typed where the focus
            // is; asked whether to replace a file that is there, "Yes" clicked.
            QTimer answer;
            bool typed = false;
            QObject::connect(&answer, &QTimer::timeout, [&] {
                if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                    if (QAbstractButton *yes = box->button(QMessageBox::Yes)) QTest::mouseClick(yes, Qt::LeftButton);
                    return;
                }
                auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                if (typed || !dialog || !dialog->isVisible() || !QApplication::focusWidget() || QApplication::focusWidget()->window() != dialog) return;
                typed = true;
                QTest::keyClicks(QApplication::focusWidget(), dir.filePath(name));
                // Pressed once this timer's turn is over: a question it raises waits in a loop of its own.
                QTimer::singleShot(0, QApplication::focusWidget(), [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); });
            });
            answer.start(100);
            open();
            answer.stop();
            (void)QTest::qWaitFor([&] { return !log->View().Working() && !log->View().Status().empty(); }, 5000);
            QFile file(dir.filePath(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
        };
        QCOMPARE(save("log.txt", [&] { QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier); }), (log->Text() + "\n").toLatin1());
        QCOMPARE(QString::fromStdString(log->View().Status()), QString("Saved %1 bytes to %2.").arg(log->Text().size() + 1).arg(dir.filePath("log.txt")));
        QCOMPARE(save("bytes.bin", [&] { log->View().Command(TLogCommand::SaveReceived); }), QByteArray(bytes.data(), int(bytes.size())));
        // Through a link at the name: the file it points to gets the bytes and keeps its mode 600,
        // and the link stays. A link planted where a save once made its temporary file (the name
        // and the process's id) is never written through, and no temporary file stays.
        auto put = [&](const QString &name) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("keep") == 4);
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        };
        put("victim.txt"), put("planted-victim.txt");
        const QString planted = dir.filePath(QString("link.txt.quorvel-%1.tmp").arg(QCoreApplication::applicationPid()));
        QVERIFY(QFile::link("victim.txt", dir.filePath("link.txt")) && QFile::link("planted-victim.txt", planted));
        QCOMPARE(save("link.txt", [&] { QTest::keyClick(log, Qt::Key_S, Qt::ControlModifier); }), (log->Text() + "\n").toLatin1());
        QVERIFY(QFileInfo(dir.filePath("link.txt")).isSymLink() && QFileInfo(planted).isSymLink());
        QFile victim(dir.filePath("victim.txt")), untouched(dir.filePath("planted-victim.txt"));
        QVERIFY(victim.open(QIODevice::ReadOnly) && untouched.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), (log->Text() + "\n").toLatin1());
        QCOMPARE(untouched.readAll(), QByteArray("keep"));
        QCOMPARE(victim.permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(QDir(dir.path()).entryList({".quorvel-*"}, QDir::Files | QDir::Hidden), QStringList());
        QTest::keyClick(log, Qt::Key_Escape);
        QVERIFY(log->View().Status().empty());
    }

    void anchored_controls_follow_the_window_edges()
    {
        QtForm1 form(nullptr, 96);
        form.show();  // resize events reach only a shown window
        form.resize(537 + 100, 453 + 60);
        QCOMPARE(Widget(form.Memo1)->geometry(), QRect(24, 88, 369 + 100, 337 + 60));
        QCOMPARE(Widget(form.Button1)->geometry(), QRect(508, 40, 113, 25));
        QCOMPARE(Widget(form.ComboBox1)->geometry(), QRect(532, 8, 73, 21));
        QCOMPARE(Widget(form.Button2)->geometry(), QRect(508, 460, 113, 25));
        QCOMPARE(Widget(form.Button6)->geometry(), QRect(408, 352, 113, 25));  // left and top only
        QCOMPARE(Widget(form.Edit1)->geometry(), QRect(24, 40, 305, 21));
        form.resize(537, 453);
        QCOMPARE(Widget(form.Memo1)->geometry(), QRect(24, 88, 369, 337));
    }

    void another_resolution_scales_font_and_layout()
    {
        QtForm1 form(nullptr, 144);
        QCOMPARE(form.font().pixelSize(), 17);  // 11 px at 96 dpi, times 1.5, rounded
        double s = form.Scale();
        QVERIFY2(s > 1.3 && s < 1.7, qPrintable(QString::number(s)));
        QVERIFY(QFontInfo(form.font()).pixelSize() >= 16);  // really drawn larger, not a 96 dpi strike
        form.show();
        QCOMPARE(Widget(form.Button4)->geometry(), QRect(qRound(408 * s), qRound(232 * s), qRound(113 * s), qRound(25 * s)));
        QCOMPARE(form.size(), QSize(qRound(537 * s), qRound(453 * s)));
        form.resize(form.width() + 50, form.height());
        QCOMPARE(Widget(form.Button1)->x(), qRound(408 * s) + 50);
    }

    void typing_completes_and_opens_the_chosen_port()
    {
        PortsFolder ports;
        PtyLink one(ports, 1), twelve(ports, 12);
        QtForm1 form(nullptr, 96);
        form.show();
        Widget(form.ComboBox1)->setFocus();
        Widget(form.ComboBox1)->lineEdit()->selectAll();
        Type(form, "1");
        QCOMPARE(Widget(form.ComboBox1)->currentIndex(), 0);
        QCOMPARE(form.ComPort, BYTE(1));
        QVERIFY(!PortIsOpen(1));  // typing may go on to 10 to 19: nothing opens in passing
        for (QPushButton *b : {Widget(form.Button1), Widget(form.Button4), Widget(form.Button5), Widget(form.Button6)}) QVERIFY(b->isEnabled());
        QVERIFY(!Widget(form.Button3)->isEnabled());
        Type(form, "2");
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("12"));
        QCOMPARE(form.ComPort, BYTE(12));
        QVERIFY(!PortIsOpen(1));
        QVERIFY(PortIsOpen(12));
        HANDLE held = PortHandle(12);

        // Choosing the same entry again does nothing.
        Widget(form.ComboBox1)->activated(11);
        QVERIFY(PortIsOpen(12));
        QVERIFY(PortHandle(12) == held);

        // Backspace drops the choice and releases the port, and opens no other in its place.
        QTest::keyClick(Widget(form.ComboBox1), Qt::Key_Backspace);
        QCOMPARE(Widget(form.ComboBox1)->currentIndex(), -1);
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("1"));
        QCOMPARE(form.ComPort, BYTE(0));
        QVERIFY(!PortIsOpen(12));
        QVERIFY(!PortIsOpen(1));
        QVERIFY(Widget(form.Button1)->isEnabled());  // once on, the buttons stay on

        // Typing 2 then 0 selects "2" and then "20"; a character that begins no entry clears the choice.
        Widget(form.ComboBox1)->lineEdit()->selectAll();
        Type(form, "1");
        QCOMPARE(form.ComPort, BYTE(1));
        QTRY_VERIFY_WITH_TIMEOUT(PortIsOpen(1), 1500);  // once the choice has settled
        Type(form, "x");
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("1x"));
        QCOMPARE(Widget(form.ComboBox1)->currentIndex(), -1);
        QCOMPARE(form.ComPort, BYTE(0));
        QVERIFY(!PortIsOpen(1));
        QVERIFY(Log(form).isEmpty());
    }

    void the_selector_changes_only_when_the_user_changes_it()
    {
        // Keys and focus changes reach the window as a user's do: to the focus
        // widget. Enter, leaving the selector, or a pasted number select no
        // entry, so they open nothing and log nothing.
        PortsFolder ports;
        std::vector<std::unique_ptr<PtyLink>> boards;
        for (int port : {1, 2, 5, 12}) boards.push_back(std::make_unique<PtyLink>(ports, port));
        QtForm1 form(nullptr, 96);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        auto press = [](int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
        };
        auto nothingOpen = [&] {
            for (int port = 1; port <= PortCount; ++port)
                if (PortIsOpen(BYTE(port))) return false;
            return form.ComPort == 0 && Widget(form.ComboBox1)->currentIndex() == -1;
        };

        Widget(form.ComboBox1)->setFocus(Qt::MouseFocusReason);
        QCOMPARE(QApplication::focusWidget(), Widget(form.ComboBox1));
        press(Qt::Key_A, Qt::ControlModifier);
        press(Qt::Key_1);
        press(Qt::Key_2);
        QCOMPARE(form.ComPort, BYTE(12));
        press(Qt::Key_Home);
        press(Qt::Key_Right);
        press(Qt::Key_Backspace);
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("2"));
        QVERIFY(nothingOpen());
        press(Qt::Key_Return);
        press(Qt::Key_Enter);
        QVERIFY(nothingOpen());
        QTest::mouseClick(Widget(form.Edit1), Qt::LeftButton);  // focus leaves the selector
        QCOMPARE(QApplication::focusWidget(), Widget(form.Edit1));
        QVERIFY(nothingOpen());
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("2"));

        QApplication::clipboard()->setText("5");
        Widget(form.ComboBox1)->setFocus(Qt::TabFocusReason);
        press(Qt::Key_A, Qt::ControlModifier);
        press(Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(Widget(form.ComboBox1)->currentText(), QString("5"));
        press(Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != Widget(form.ComboBox1));
        QVERIFY(nothingOpen());
        QVERIFY(Log(form).isEmpty());

        // The arrow keys choose from the list, as the list's own keys.
        Widget(form.ComboBox1)->setFocus(Qt::TabFocusReason);
        press(Qt::Key_Down);
        QCOMPARE(Widget(form.ComboBox1)->currentIndex(), 0);
        QCOMPARE(form.ComPort, BYTE(1));
        press(Qt::Key_Down);
        QCOMPARE(form.ComPort, BYTE(2));
        QVERIFY(!PortIsOpen(1) && PortIsOpen(2));
        form.close();
    }

    void choosing_from_the_list_switches_ports()
    {
        PortsFolder ports;
        PtyLink three(ports, 3), twelve(ports, 12);
        QtForm1 form(nullptr, 96);
        form.show();
        Widget(form.ComboBox1)->setCurrentIndex(2);
        Widget(form.ComboBox1)->activated(2);
        QCOMPARE(form.ComPort, BYTE(3));
        QVERIFY(PortIsOpen(3));
        Widget(form.ComboBox1)->setCurrentIndex(11);
        Widget(form.ComboBox1)->activated(11);
        QVERIFY(!PortIsOpen(3));
        QVERIFY(PortIsOpen(12));
        // Closing the window releases the port.
        form.close();
        QVERIFY(!PortIsOpen(12));
    }

    void a_port_that_does_not_open_says_why_in_the_log()
    {
        PortsFolder ports;
        ports.Link(4, "/dev/quorvel-missing");
        PtyLink busy(ports, 5);
        QtForm1 form(nullptr, 96);
        Widget(form.ComboBox1)->setCurrentIndex(3);
        Widget(form.ComboBox1)->activated(3);
        QCOMPARE(form.ComPort, BYTE(4));
        QVERIFY(!PortIsOpen(4));
        for (QPushButton *b : {Widget(form.Button1), Widget(form.Button4), Widget(form.Button5), Widget(form.Button6)}) QVERIFY(b->isEnabled());
        QStringList log = Log(form);
        QCOMPARE(log.size(), 1);
        QCOMPARE(log[0], QString("Port 4 (/dev/quorvel-missing) did not open: no such device (error 2). Is the board plugged in?"));

        // Another program holds port 5.
        int other = open(busy.device.c_str(), O_RDWR | O_NOCTTY);
        QVERIFY(other >= 0);
        QCOMPARE(flock(other, LOCK_EX | LOCK_NB), 0);
        Widget(form.ComboBox1)->setCurrentIndex(4);
        Widget(form.ComboBox1)->activated(4);
        QVERIFY(!PortIsOpen(5));
        log = Log(form);
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[1].startsWith(QString("Port 5 (%1) did not open: busy").arg(busy.device.c_str())), qPrintable(log[1]));
        QVERIFY2(log[1].contains("Another program holds the port"), qPrintable(log[1]));
        close(other);
        // Once released, choosing it again works.
        Widget(form.ComboBox1)->setCurrentIndex(-1);
        Widget(form.ComboBox1)->activated(-1);
        Widget(form.ComboBox1)->setCurrentIndex(4);
        Widget(form.ComboBox1)->activated(4);
        QVERIFY(PortIsOpen(5));
        QCOMPARE(Log(form).size(), 2);

        // A driver that refuses the queues: the port is open only in part, which is said at once,
        // and choosing it again tries again.
        PtyLink six(ports, 6);
        qputenv("QUORVEL_MAX_QUEUE", "1000");
        Widget(form.ComboBox1)->setCurrentIndex(5);
        Widget(form.ComboBox1)->activated(5);
        QCOMPARE(Log(form).size(), 3);
        QCOMPARE(Log(form)[2], QString("Port 6 (%1) opened, but its queues or time-outs could not be set: error 8.").arg(six.device.c_str()));
        qunsetenv("QUORVEL_MAX_QUEUE");
        Widget(form.ComboBox1)->activated(5);
        QVERIFY(PortIsOpen(6) && !form.PortHalfOpen);
        QCOMPARE(Log(form).size(), 3);

        // Typing 20 passes through port 2, which is missing: that is not said.
        ports.Link(2, "/dev/quorvel-missing");
        PtyLink twenty(ports, 20);
        form.show();
        Widget(form.ComboBox1)->setFocus();
        Widget(form.ComboBox1)->lineEdit()->selectAll();
        Type(form, "20");
        QCOMPARE(form.ComPort, BYTE(20));
        QTest::qWait(1000);
        QCOMPARE(Log(form).size(), 3);
        // Where the choice stays on port 2, it is, once it has settled.
        Widget(form.ComboBox1)->lineEdit()->selectAll();
        Type(form, "2");
        QCOMPARE(Log(form).size(), 3);
        QTRY_COMPARE(Log(form).size(), 4);
        QVERIFY2(Log(form)[3].startsWith("Port 2 (/dev/quorvel-missing) did not open"), qPrintable(Log(form)[3]));
        form.FormClose();
        QVERIFY(!PortIsOpen(2));
    }
};

int main(int argc, char **argv)
{
    TQtApplication app(argc, argv);
    FormTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_form.moc"
