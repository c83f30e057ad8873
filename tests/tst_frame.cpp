// The application frame: a fault in a handler ends that handler, shows the
// error box with the right text and title, and the program goes on.
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <stdexcept>

#include "QtApplication.h"

namespace {

struct Box {
    QString text, title;
};
QList<Box> boxes;
TApplication::ErrorBox modalBox;  // the program's own box, kept before the tests replace it

// An object whose own event handling raises, as an event override might.
class Faulty : public QObject {
protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) throw std::runtime_error("Fault in an event");
        return QObject::event(e);
    }
};

}  // namespace

class FrameTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        boxes.clear();
        TApplication::ShowErrorBox = [](const std::string &text, const std::string &title) {
            boxes.append({QString::fromStdString(text), QString::fromStdString(title)});
        };
    }

    void a_fault_ends_its_handler_and_the_loop_goes_on()
    {
        bool restRan = false, nextRan = false;
        QTimer::singleShot(0, [&] {
            TApplication::Run([&] {
                throw std::runtime_error("Floating point division by zero");
                restRan = true;
            });
        });
        QTimer::singleShot(5, [&] { nextRan = true; });
        QTRY_VERIFY(nextRan);
        QVERIFY(!restRan);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString("Floating point division by zero."));
        QCOMPARE(boxes[0].title, QString("tst_frame"));
    }

    void a_fault_raised_by_event_handling_is_caught_by_the_frame()
    {
#if defined(__ARM_EABI__) && !defined(__aarch64__)
        QSKIP("32-bit ARM: Qt's own frames carry no unwind tables, so no fault can cross them to the frame; "
              "the console's overrides and slots catch their own (TApplication::Guard)");
#endif
        Faulty faulty;
        QCoreApplication::postEvent(&faulty, new QEvent(QEvent::User));
        QCoreApplication::sendPostedEvents(&faulty);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QString("Fault in an event."));
        bool later = false;
        QTimer::singleShot(0, [&] { later = true; });
        QTRY_VERIFY(later);
    }

    void the_real_box_is_modal_with_an_error_icon_and_one_ok()
    {
        TApplication::ShowErrorBox = modalBox;
        QString seenText, seenTitle;
        int buttons = 0;
        bool critical = false, nestedShown = false;
        QTimer::singleShot(50, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seenText = box->text();
            seenTitle = box->windowTitle();
            buttons = int(box->buttons().size());
            critical = box->icon() == QMessageBox::Critical && box->standardButtons() == QMessageBox::Ok;
            // A fault that repeats while the box is up does not stack another box.
            TApplication::Run([] { throw std::runtime_error("Again"); });
            nestedShown = QApplication::activeModalWidget() != box;
            box->button(QMessageBox::Ok)->click();
        });
        TApplication::Run([] { throw std::overflow_error("Floating point overflow"); });
        QCOMPARE(seenText, QString("Floating point overflow."));
        QCOMPARE(seenTitle, QString("tst_frame"));
        QCOMPARE(buttons, 1);
        QVERIFY(critical);
        QVERIFY(!nestedShown);
        QVERIFY(!QApplication::activeModalWidget());
    }

    void an_unknown_fault_is_still_reported()
    {
        TApplication::Run([] { throw 42; });
        QCOMPARE(boxes.size(), 1);
        QVERIFY(!boxes[0].text.isEmpty());
    }
};

int main(int argc, char **argv)
{
    TQtApplication app(argc, argv);
    modalBox = TApplication::ShowErrorBox;
    FrameTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frame.moc"
