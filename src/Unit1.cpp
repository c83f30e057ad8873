#include "Unit1.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QScreen>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Quorvel.h"

// ---------------------------------------------------------------- TComboBox

TComboBox::TComboBox(QWidget *parent) : QComboBox(parent)
{
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);  // completion is done in keyPressEvent, the way the list expects
    // Qt selects the entry matching the text when Enter is pressed or the focus
    // leaves, and reports that as a choice; the user chose nothing then.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
    disconnect(lineEdit(), &QLineEdit::returnPressed, this, nullptr);
    // Edits that do not come through our keys (paste, cut, Delete) leave no entry selected.
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] {
        if (!editing) ClearEntry();
    });
    connect(this, &QComboBox::activated, this, [this] { emit Change(); });
}

void TComboBox::ClearEntry()
{
    // Dropping the selected entry would also empty the text; keep what the user sees.
    QLineEdit *edit = lineEdit();
    QString text = edit->text();
    int cursor = edit->cursorPosition();
    ++editing;
    setCurrentIndex(-1);
    if (edit->text() != text) edit->setText(text);
    edit->setCursorPosition(cursor);
    --editing;
    emit Change();
}

void TComboBox::keyPressEvent(QKeyEvent *event)
{
    QLineEdit *edit = lineEdit();
    const Qt::KeyboardModifiers commandKeys = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    bool plain = !(event->modifiers() & commandKeys);
    if (plain && event->key() == Qt::Key_Backspace) {
        ++editing;
        QComboBox::keyPressEvent(event);
        --editing;
        ClearEntry();
        return;
    }
    QString typed = event->text();
    if (!plain || typed.size() != 1 || !typed[0].isPrint()) {
        QComboBox::keyPressEvent(event);
        return;
    }
    QString start = (edit->hasSelectedText() ? edit->text().left(edit->selectionStart()) : edit->text()) + typed;
    for (int i = 0; i < count(); ++i) {
        QString entry = itemText(i);
        if (!entry.startsWith(start, Qt::CaseInsensitive)) continue;
        bool changed = i != currentIndex();
        ++editing;
        setCurrentIndex(i);
        edit->setText(entry);
        edit->setSelection(int(start.size()), int(entry.size() - start.size()));
        --editing;
        if (changed) emit Change();
        return;
    }
    ++editing;
    QComboBox::keyPressEvent(event);
    --editing;
    ClearEntry();
}

// ---------------------------------------------------------------- TRadioGroup

TRadioGroup::TRadioGroup(const QString &caption, const QStringList &names, QWidget *parent) : QGroupBox(caption, parent)
{
    for (const QString &name : names) {
        auto *item = new QRadioButton(name, this);
        // Only a change of selection counts, however it is made (mouse, arrow keys, code).
        connect(item, &QRadioButton::toggled, this, [this](bool on) {
            SetTabStop();
            if (on) emit Click();
        });
        items.push_back(item);
    }
    SetTabStop();
}

void TRadioGroup::SetTabStop()
{
    // The group is one tab stop, its checked item; the arrow keys move within it.
    int checked = std::max(ItemIndex(), 0);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i]->setFocusPolicy(int(i) == checked ? Qt::StrongFocus : Qt::ClickFocus);
}

int TRadioGroup::ItemIndex() const
{
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i]->isChecked()) return int(i);
    return -1;
}

void TRadioGroup::SetItemIndex(int index) { items.at(std::size_t(index))->setChecked(true); }

void TRadioGroup::resizeEvent(QResizeEvent *event)
{
    QGroupBox::resizeEvent(event);
    // Items share the space under the caption evenly, each centred in its share.
    int lineHeight = fontMetrics().height();
    int top = lineHeight + 2;
    int cell = (height() - top - 4) / int(items.size());
    int itemHeight = std::min(cell, lineHeight + 4);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i]->setGeometry(8, top + int(i) * cell + (cell - itemHeight) / 2, width() - 16, itemHeight);
}

// ---------------------------------------------------------------- speeds

// Fixed-point with two decimals and 7 significant digits; scientific beyond that.
QString FormatSpeed(long double value, const QString &separator)
{
    constexpr int Precision = 7, Decimals = 2;
    if (std::isnan(value) || std::isinf(value)) throw EMathError(FloatInvalidText);
    QString sign = std::signbit(value) && value != 0 ? QStringLiteral("-") : QString();
    // The value's decimal digits (18, as far as the type carries) and the
    // position of the decimal point after the first of them.
    char text[64];
    std::snprintf(text, sizeof text, "%.17e", double(std::fabs(value)));  // plain double: every C library prints it
    std::string digits;
    const char *p = text;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9') digits += *p;
    int point = std::atoi(p + 1) + 1;

    // Round once, half away from zero, to 7 significant digits or to 2 decimals, whichever comes first.
    int keep = std::min(Precision, point + Decimals);
    if (keep < 0) {
        digits.clear();
    } else {
        bool up = std::size_t(keep) < digits.size() && digits[std::size_t(keep)] >= '5';
        digits.resize(std::size_t(keep));
        for (int i = keep - 1; up && i >= 0; --i) {
            if (digits[std::size_t(i)] == '9') digits[std::size_t(i)] = '0';
            else digits[std::size_t(i)]++, up = false;
        }
        if (up) digits.insert(digits.begin(), '1'), ++point;
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    if (digits.empty()) sign.clear(), point = 1;

    if (point > Precision) {
        // More integer digits than the precision holds: d.dddddd E nn.
        QString out = sign + QChar(digits[0]);
        if (digits.size() > 1) out += separator + QString::fromLatin1(digits.substr(1).c_str());
        return out + QStringLiteral("E%1").arg(point - 1, 2, 10, QChar('0'));
    }
    auto digit = [&](int i) { return i >= 0 && std::size_t(i) < digits.size() ? QChar(digits[std::size_t(i)]) : QChar('0'); };
    QString out = sign;
    if (point <= 0) out += QChar('0');
    for (int i = 0; i < point; ++i) out += digit(i);
    out += separator;
    for (int i = point; i < point + Decimals; ++i) out += digit(i);
    return out;
}

// ---------------------------------------------------------------- TForm1

namespace {

// A failed open said for the user: what went wrong, and what helps where we know.
QString OpenFailure(DWORD code)
{
    QString reason, hint;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        reason = QStringLiteral("no such device");
        hint = QStringLiteral("Is the board plugged in?");
        break;
    case ERROR_ACCESS_DENIED:
        reason = QStringLiteral("access denied");
        hint = QStringLiteral("The user may not use this device (on Linux: add the user to the group that owns "
                              "it, usually dialout, and log in again), or another program holds it.");
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        reason = QStringLiteral("busy");
        hint = QStringLiteral("Another program holds the port: close it, then choose the port again.");
        break;
    case ERROR_INVALID_FUNCTION:
        reason = QStringLiteral("not a serial port");
        break;
    default:
        reason = QStringLiteral("the system refused it");
        break;
    }
    QString text = QStringLiteral("%1 (error %2).").arg(reason).arg(code);
    return hint.isEmpty() ? text : text + QChar(' ') + hint;
}

// "MS Sans Serif" at height 11 (8 pt at 96 dpi). Where the system lacks it, Wine's
// clone from Debian's fonts-wine gives every caption its designed width. That face
// is bitmap-only, so at another resolution a scalable face of like width stands
// in, and the layout follows its text height (measured against the same face at
// 96 dpi, so that a stand-in face cannot distort the design).
QFont DesignFont(int dpi, double pixelRatio, double *scale)
{
    // Worked out once per run: the clones loaded where missing, and the scalable
    // stand-in (empty when "MS Sans Serif" itself scales).
    static const QString standIn = [] {
        const QString wine = QStringLiteral("/usr/share/wine/fonts/");
        const QStringList families = QFontDatabase::families();
        if (!families.contains(QStringLiteral("MS Sans Serif")))
            QFontDatabase::addApplicationFont(wine + QStringLiteral("ms_sans_serif.ttf"));
        if (!families.contains(QStringLiteral("Tahoma"))) QFontDatabase::addApplicationFont(wine + QStringLiteral("tahoma.ttf"));
        const QStringList scalable = {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Tahoma"),
                                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial")};
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), scalable);
        const QStringList now = QFontDatabase::families();
        if (!now.contains(QStringLiteral("MS Sans Serif")) || QFontDatabase::isSmoothlyScalable(QStringLiteral("MS Sans Serif")))
            return QString();
        for (const QString &candidate : scalable)
            if (now.contains(candidate)) return candidate;
        return QString();
    }();

    bool designScreen = dpi == 96 && pixelRatio == 1.0;
    QString family = designScreen || standIn.isEmpty() ? QStringLiteral("MS Sans Serif") : standIn;
    QFont face(family);
    face.setPixelSize(11);
    *scale = 1.0;
    if (dpi != 96) {
        QFont scaled = face;
        scaled.setPixelSize(qRound(11.0 * dpi / 96.0));
        *scale = double(QFontMetrics(scaled).height()) / QFontMetrics(face).height();
        face = scaled;
    }
    return face;
}

}  // namespace

TForm1::TForm1(QWidget *parent, int dpi) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Quorvel (Usb-Com)   vers 20-08-2013"));

    if (dpi <= 0) dpi = qRound(screen()->logicalDotsPerInchY());
    QFont face = DesignFont(dpi, devicePixelRatioF(), &scale);
    setFont(face);

    auto label = [this](const char *name, const QString &caption) {
        auto *control = new QLabel(caption, this);
        control->setObjectName(QLatin1String(name));
        return control;
    };
    auto button = [this](const char *name, const QString &caption, bool enabled) {
        auto *control = new QPushButton(caption, this);
        control->setObjectName(QLatin1String(name));
        control->setEnabled(enabled);
        control->setAutoDefault(false);
        return control;
    };

    Label2 = label("Label2", QStringLiteral("Text to send"));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setMaxLength(10000);  // the most one send takes, so the whole text always goes
    Edit1->installEventFilter(this);
    Label1 = label("Label1", QStringLiteral("#Sent"));
    Edit2 = new QLineEdit(this);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Button1 = button("Button1", QStringLiteral("Send"), false);
    ComboBox1 = new TComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    for (int port = 1; port <= PortCount; ++port) ComboBox1->addItem(QString::number(port));
    ComboBox1->setCurrentIndex(-1);
    ComboBox1->setEditText(QStringLiteral("ComPort"));
    Label3 = label("Label3", QStringLiteral("Reception"));
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Memo1->setFocusPolicy(Qt::StrongFocus);
    Memo1->setTabChangesFocus(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RadioGroup1 = new TRadioGroup(QStringLiteral(" Receive "), {QStringLiteral("Manually"), QStringLiteral("Timer")}, this);
    RadioGroup1->setObjectName(QStringLiteral("RadioGroup1"));
    RadioGroup1->SetItemIndex(1);
    Button3 = button("Button3", QStringLiteral("Receive Manually"), false);
    Button4 = button("Button4", QStringLiteral("Speed Test PC > PIC"), false);
    Button5 = button("Button5", QStringLiteral("Speed Test PIC > PC"), false);
    Button6 = button("Button6", QStringLiteral("Start/Stop  ^"), false);
    Button2 = button("Button2", QStringLiteral("Clear"), true);

    Place(Label2, 24, 24, 59, 13);
    Place(Edit1, 24, 40, 305, 21);
    Place(Label1, 360, 24, 29, 13);
    Place(Edit2, 352, 40, 41, 21);
    Place(Button1, 408, 40, 113, 25, akTop | akRight);
    Place(ComboBox1, 432, 8, 73, 21, akTop | akRight);
    Place(Label3, 176, 72, 49, 13);
    Place(Memo1, 24, 88, 369, 337, akLeft | akTop | akRight | akBottom);
    Place(RadioGroup1, 408, 80, 113, 81, akTop | akRight);
    Place(Button3, 408, 176, 113, 25, akTop | akRight);
    Place(Button4, 408, 232, 113, 25, akTop | akRight);
    Place(Button5, 408, 264, 113, 25, akTop | akRight);
    Place(Button6, 408, 352, 113, 25);
    Place(Button2, 408, 400, 113, 25, akRight | akBottom);

    QWidget *order[] = {Edit1,   Button1, Memo1, ComboBox1, Button2, Button3, RadioGroup1->Item(0), RadioGroup1->Item(1),
                        Edit2, Button4, Button5, Button6};
    for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

    designClient = QSize(qRound(537 * scale), qRound(453 * scale));
    resize(designClient);
    move(qRound(340 * scale), qRound(223 * scale));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(1);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(1000);
    Timer1->start();
    Timer2->start();

    // The inner call captures by reference so that it fits std::function's own
    // storage: the 1 ms poll then runs without an allocation per tick.
    auto handle = [this](auto sender, auto signal, void (TForm1::*handler)()) {
        connect(sender, signal, this, [this, handler] { TApplication::Run([this, &handler] { (this->*handler)(); }); });
    };
    handle(ComboBox1, &TComboBox::Change, &TForm1::ComboBox1Change);
    handle(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    handle(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    handle(Button3, &QPushButton::clicked, &TForm1::Button3Click);
    handle(Button6, &QPushButton::clicked, &TForm1::Button6Click);
    handle(RadioGroup1, &TRadioGroup::Click, &TForm1::RadioGroup1Click);
    handle(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    handle(Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
    handle(Button4, &QPushButton::clicked, &TForm1::Button4Click);
    handle(Button5, &QPushButton::clicked, &TForm1::Button5Click);

    Edit1->setFocus();
    TApplication::Run([this] { FormCreate(); });
}

TForm1::~TForm1() { TApplication::Run([this] { FormDestroy(); }); }

void TForm1::FormCreate()
{
    SendTimer = std::make_unique<TPerformanceTimer>("SendTime");
    ReadLocaleSettings();
}

void TForm1::FormDestroy() { SendTimer.reset(); }

void TForm1::ReadLocaleSettings()
{
    // The window's own locale when one was set on it, else the user's.
    QLocale settings = testAttribute(Qt::WA_SetLocale) ? locale() : QLocale::system();
    DecimalSeparator = settings.decimalPoint();
    if (DecimalSeparator.isEmpty()) DecimalSeparator = QStringLiteral(".");
}

void TForm1::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LocaleChange) TApplication::Run([this] { ReadLocaleSettings(); });
    QWidget::changeEvent(event);
}

void TForm1::Place(QWidget *control, int left, int top, int width, int height, int anchors)
{
    QRect rect(qRound(left * scale), qRound(top * scale), qRound(width * scale), qRound(height * scale));
    control->setGeometry(rect);
    placed.push_back({control, rect, anchors});
}

void TForm1::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Anchored edges keep their distance to the window's edges.
    int dx = width() - designClient.width();
    int dy = height() - designClient.height();
    for (const Placed &p : placed) {
        QRect r = p.rect;
        if (p.anchors & akRight) {
            if (p.anchors & akLeft) r.setWidth(std::max(0, r.width() + dx));
            else r.moveLeft(r.left() + dx);
        }
        if (p.anchors & akBottom) {
            if (p.anchors & akTop) r.setHeight(std::max(0, r.height() + dy));
            else r.moveTop(r.top() + dy);
        }
        p.control->setGeometry(r);
    }
}

void TForm1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous()) TApplication::Run([this] { FormShow(); });
}

void TForm1::closeEvent(QCloseEvent *event)
{
    TApplication::Run([this] { FormClose(); });
    event->accept();
}

void TForm1::FormShow()
{
    ComPort = 0;
    // Qt rewrites the text even when the index stays -1; keep the "ComPort" prompt.
    if (ComboBox1->currentIndex() != -1) ComboBox1->setCurrentIndex(-1);
    HeartbeatOn = false;
}

void TForm1::FormClose() { ClosePort(ComPort); }

void TForm1::AppendLine(const QString &line) { Memo1->appendPlainText(line); }

bool TForm1::event(QEvent *event)
{
    // A request to draw that comes within a frame of the last drawing waits
    // for the frame's end; what changed meanwhile is drawn then, together.
    if (event->type() == QEvent::UpdateRequest && DrawLater()) return true;
    return QWidget::event(event);
}

bool TForm1::DrawLater()
{
    constexpr qint64 FrameMs = 16;
    if (!drawn.isValid() || drawn.hasExpired(FrameMs)) {
        drawn.start();
        return false;
    }
    if (!drawPending) {
        drawPending = true;
        QTimer::singleShot(int(FrameMs - std::min(drawn.elapsed(), FrameMs)), this, [this] {
            drawPending = false;
            drawn.invalidate();  // the next request draws
            QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
        });
    }
    return true;
}

void TForm1::ComboBox1Change()
{
    BYTE port = BYTE(ComboBox1->currentIndex() + 1);
    // The same port again changes nothing while it works; a port that did not
    // open, or whose board dropped the line, is opened afresh.
    if (port == ComPort && (port == 0 || PortResponds(port))) return;
    ClosePort(ComPort);
    ComPort = port;
    // Clearing the choice releases the port; it does not open one in its place.
    if (ComPort != 0 && !OpenPort(ComPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000)) ReportOpenFailure(ComPort);
    Button1->setEnabled(true);
    Button4->setEnabled(true);
    Button5->setEnabled(true);
    Button6->setEnabled(true);
}

void TForm1::ReportOpenFailure(BYTE port)
{
    QString where = QStringLiteral("Port %1 (%2)").arg(port).arg(QString::fromLocal8Bit(PortDevicePath(port).c_str()));
    DWORD code = OpenPortError();
    if (PortIsOpen(port))
        AppendLine(QStringLiteral("%1 opened, but its queues or time-outs could not be set: error %2.").arg(where).arg(code));
    else
        AppendLine(QStringLiteral("%1 did not open: %2").arg(where, OpenFailure(code)));
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            QChar typed = QChar(13);
            TApplication::Run([this, &typed] { Edit1KeyPress(typed); });
        }
    }
    return QWidget::eventFilter(watched, event);  // the key goes on to the text box as it was
}

void TForm1::Edit1KeyPress(QChar &key)
{
    if (key == QChar(13)) Button1Click();
}

void TForm1::Button1Click()
{
    DWORD count = 0;
    // One byte per character; a character outside Latin-1 goes out as "?".
    if (PortIsOpen(ComPort)) count = WritePortText(ComPort, Edit1->text().toLatin1().toStdString());
    Edit2->setText(QString::number(count));
}

DWORD TForm1::DoReceive()
{
    if (!PortIsOpen(ComPort)) return 0;
    DWORD n = ReadPort(ComPort, RxBuffer.data(), DWORD(RxBuffer.size()));
    if (n == 0) return 0;
    AppendLine(QStringLiteral("# BytesReceived: ") + QString::number(n));
    // One character per byte; NUL bytes are left out, line ends go in as they came.
    QByteArray bytes(reinterpret_cast<const char *>(RxBuffer.data()), qsizetype(n));
    bytes.removeIf([](char c) { return c == 0; });
    AppendLine(QString::fromLatin1(bytes));
    return n;
}

void TForm1::Button3Click() { DoReceive(); }

void TForm1::Timer1Timer() { DoReceive(); }

void TForm1::RadioGroup1Click()
{
    if (RadioGroup1->ItemIndex() == 0) {
        Timer1->stop();
        Button3->setEnabled(true);
    } else if (RadioGroup1->ItemIndex() == 1) {
        Timer1->start();
        Button3->setEnabled(false);
    }
}

void TForm1::Button2Click() { Memo1->clear(); }

void TForm1::Button6Click()
{
    HeartbeatOn = !HeartbeatOn;
    // A running timer keeps its schedule: the next beat comes when it was due.
    if (!HeartbeatOn) Timer2->stop();
    else if (!Timer2->isActive()) Timer2->start();
}

void TForm1::Timer2Timer()
{
    if (HeartbeatOn && PortIsOpen(ComPort)) WritePort(ComPort, &HeartbeatByte, 1);
}

// ---------------------------------------------------------------- throughput tests

namespace {

using Clock = std::chrono::steady_clock;

// The application has one cursor: the hourglass or the default, never a stack of them.
void SetAppCursor(bool busy)
{
    if (busy) {
        if (QApplication::overrideCursor()) QApplication::changeOverrideCursor(Qt::WaitCursor);
        else QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    }
}

// When something last moved; a test's waits end once nothing has for StallLimit.
// Only the transfer itself counts as moving: the upload's writes and its
// transmit queue draining, the download's bytes arriving. So no path through
// either test holds the window longer than its transfer plus StallLimit,
// whatever else the board sends.
class Progress {
public:
    void Moved() { last = Clock::now(); }
    bool Stalled() const { return Clock::now() - last >= StallLimit; }

private:
    Clock::time_point last = Clock::now();
};

// While the upload writes, a write returns within a second even when the board
// takes nothing: the port's usual limit (10 ms a byte) would hold the window
// for 41 s per block. The port's own limits come back at the end of the scope.
class ShortWrites {
public:
    explicit ShortWrites(BYTE port) : port(port)
    {
        saved = GetPortTimeouts(port, usual);
        if (!saved) return;
        COMMTIMEOUTS brief = usual;
        brief.WriteTotalTimeoutMultiplier = 0;
        brief.WriteTotalTimeoutConstant = 1000;
        SetPortTimeouts(port, brief);
    }
    ~ShortWrites()
    {
        if (saved) SetPortTimeouts(port, usual);
    }
    ShortWrites(const ShortWrites &) = delete;
    ShortWrites &operator=(const ShortWrites &) = delete;

private:
    BYTE port;
    COMMTIMEOUTS usual{};
    bool saved = false;
};

// Bytes the last status refresh saw still on their way to the board.
DWORD QueuedOut(BYTE port) { return PortIsOpen(port) ? PortTable[port - 1]->Status.cbOutQue : 0; }

}  // namespace

bool TForm1::BeginSpeedTest(const QString &name)
{
    const QString noPort = name + QStringLiteral(": no port is open. Choose the board's port first.");
    if (!PortIsOpen(ComPort)) {
        AppendLine(noPort);
        return false;
    }
    SetAppCursor(true);
    Timer1->stop();
    Timer2->stop();
    // What was queued before the click runs now; nothing runs once the test has begun.
    QCoreApplication::processEvents();
    if (!PortIsOpen(ComPort)) {
        // A handler in that queue closed the port.
        EndSpeedTest({noPort});
        return false;
    }
    return true;
}

void TForm1::EndSpeedTest(const QStringList &lines)
{
    for (const QString &line : lines) AppendLine(line);
    if (RadioGroup1->ItemIndex() == 1) Timer1->start();
    if (HeartbeatOn) Timer2->start();
    else Timer2->stop();
    SetAppCursor(false);
}

QString TForm1::LineDropped() const
{
    if (PortResponds(ComPort)) return QString();
    return QStringLiteral(" The line dropped: choose the port again once the board is back.");
}

QString TForm1::SpeedLine(const QString &title, DWORD bytes) const
{
    long double speed = FloatDivide(FloatDivide(static_cast<long double>(bytes), SendTimer->Seconds()), 1024.0L);
    return title + FormatSpeed(speed, DecimalSeparator);
}

void TForm1::Button4Click()
{
    const QString name = QStringLiteral("Speed PC -> PIC");
    if (!BeginSpeedTest(name)) return;
    std::array<unsigned char, UploadBlock> block;
    block.fill('_');
    PurgeInput(ComPort);
    PurgeOutput(ComPort);
    block[0] = AnnounceByte;
    WritePort(ComPort, block.data(), 1);
    Sleep(100);

    // 64 blocks, each "%" and 4095 "_". A block the board takes only in part
    // is finished before the next one; the board must take all 262144 bytes
    // for the speed to stand.
    DWORD sent = 0;
    {
        ShortWrites bounded(ComPort);
        Progress progress;
        SendTimer->Reset();
        SendTimer->Start();
        for (int i = 0; i < int(TestVolume / UploadBlock); ++i) {
            DWORD done = 0;
            while (done < UploadBlock && !progress.Stalled()) {
                DWORD n = WritePort(ComPort, block.data() + done, UploadBlock - done);
                done += n;
                if (n) progress.Moved();
                else Sleep(1);  // a failed write returns at once; do not spin on it
            }
            sent += done;
            if (done < UploadBlock) break;
        }
        SendTimer->Stop();
    }
    if (sent < TestVolume) {
        EndSpeedTest({name + QStringLiteral(": the board took nothing for %1 s; %2 of %3 bytes went out.")
                                 .arg(StallLimit.count()).arg(sent).arg(TestVolume) + LineDropped()});
        return;
    }
    // The fixed volume over the timed writing; formatted now, before the wait.
    const QString result = SpeedLine(QStringLiteral("Speed PC -> PIC (KB/s): "), TestVolume);

    // The board's mark: a read that begins with "*". What comes before it is
    // read and dropped, and is no progress: a board that keeps sending must
    // not hold the wait open. Only the last block still draining is.
    Progress progress;
    DWORD queued = QueuedOut(ComPort);
    unsigned long long other = 0;  // bytes read that did not begin with the mark
    do {
        RxBuffer[0] = ' ';
        if (BytesWaiting(ComPort) != 0) {
            DWORD n = ReadPort(ComPort, RxBuffer.data(), DWORD(RxBuffer.size()));
            if (n != 0 && RxBuffer[0] != DoneByte) other += n;
        }
        DWORD now = QueuedOut(ComPort);
        if (now < queued) progress.Moved();
        queued = now;
        if (RxBuffer[0] != DoneByte && progress.Stalled()) {
            QString line = name + QStringLiteral(": all %1 bytes went out, but no \"*\" came back within %2 s")
                                      .arg(TestVolume).arg(StallLimit.count());
            if (other != 0) line += QStringLiteral("; the board kept sending other bytes (%1 of them).").arg(other);
            else line += QChar('.');
            EndSpeedTest({line + LineDropped()});
            return;
        }
    } while (RxBuffer[0] != DoneByte);
    EndSpeedTest({result});
}

void TForm1::Button5Click()
{
    const QString name = QStringLiteral("Speed PIC -> PC");
    if (!BeginSpeedTest(name)) return;
    DWORD total = 0;
    PurgeInput(ComPort);
    PurgeOutput(ComPort);
    WritePortText(ComPort, std::string(1, char(RequestByte)));
    SendTimer->Reset();
    SendTimer->Start();
    Progress progress;
    while (total < TestVolume) {
        DWORD n = BytesWaiting(ComPort) != 0 ? ReadPort(ComPort, RxBuffer.data(), DWORD(RxBuffer.size())) : 0;
        total += n;
        if (n) progress.Moved();
        else if (progress.Stalled()) break;
    }
    SendTimer->Stop();
    if (total < TestVolume) {
        EndSpeedTest({name + QStringLiteral(": nothing came for %1 s; %2 of %3 bytes came.")
                                 .arg(StallLimit.count()).arg(total).arg(TestVolume) + LineDropped()});
        return;
    }
    QStringList lines = {SpeedLine(QStringLiteral("Speed PIC -> PC (KB/s): "), total)};
    // The last read can bring more than was asked for; the speed counts it, and says so.
    if (total > TestVolume)
        lines << name + QStringLiteral(": %1 bytes came beyond %2.").arg(total - TestVolume).arg(TestVolume);
    EndSpeedTest(lines);
}
