// The console's one window: its layout, its state and its handlers.
#ifndef QUORVEL_UNIT1_H
#define QUORVEL_UNIT1_H

#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>
#include <array>
#include <chrono>
#include <memory>
#include <vector>

#include "TovanTiming.h"
#include "WinCom.h"

// What the board and the console exchange.
constexpr unsigned char HeartbeatByte = '^';
constexpr unsigned char AnnounceByte = '%';  // an upload follows
constexpr unsigned char RequestByte = '*';   // a download is wanted
constexpr unsigned char DoneByte = '*';      // the upload has arrived
constexpr DWORD TestVolume = 262144;         // bytes each throughput test moves
constexpr DWORD UploadBlock = 4096;          // bytes per write of the upload
// A throughput test gives up when nothing has moved for this long.
constexpr auto StallLimit = std::chrono::seconds(5);

// A speed as the log shows it: fixed, two decimals, at most 7 significant
// digits, the scientific form when the integer part needs more.
QString FormatSpeed(long double value, const QString &separator);

// Editable drop-down list that completes typed text against its entries.
// Change() follows every change of the selection made by the user.
class TComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TComboBox(QWidget *parent);
signals:
    void Change();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void ClearEntry();
    int editing = 0;  // inside our own key handling: the line edit's signals are ours
};

// A framed group of radio buttons, one of which is selected.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString &caption, const QStringList &items, QWidget *parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton *Item(int index) const { return items[std::size_t(index)]; }
signals:
    void Click();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void SetTabStop();
    std::vector<QRadioButton *> items;
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // dpi 0: the screen's. The design is for 96 dots per inch and scales from it.
    explicit TForm1(QWidget *parent = nullptr, int dpi = 0);
    ~TForm1() override;

    QLabel *Label1, *Label2, *Label3;
    QLineEdit *Edit1, *Edit2;
    QPushButton *Button1, *Button2, *Button3, *Button4, *Button5, *Button6;
    TComboBox *ComboBox1;
    QPlainTextEdit *Memo1;
    TRadioGroup *RadioGroup1;
    QTimer *Timer1, *Timer2;

    BYTE ComPort = 0;
    bool HeartbeatOn = false;
    std::array<unsigned char, 64001> RxBuffer{};
    std::unique_ptr<TPerformanceTimer> SendTimer;
    QString DecimalSeparator = QStringLiteral(".");  // the user's, for speeds

    double Scale() const { return scale; }

    void FormCreate();
    void FormDestroy();
    void FormShow();
    void FormClose();
    void ComboBox1Change();
    void Button1Click();
    void Edit1KeyPress(QChar &key);
    DWORD DoReceive();
    void Button3Click();
    void Timer1Timer();
    void RadioGroup1Click();
    void Button2Click();
    void Button6Click();
    void Timer2Timer();
    void Button4Click();
    void Button5Click();
    // Reads the decimal separator from the user's regional settings.
    void ReadLocaleSettings();

    // One line at the end of the reception log.
    void AppendLine(const QString &line);

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    enum Anchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
    struct Placed {
        QWidget *control;
        QRect rect;  // scaled, for the scaled design client size
        int anchors;
    };
    void Place(QWidget *control, int left, int top, int width, int height, int anchors = akLeft | akTop);
    void ReportOpenFailure(BYTE port);
    bool BeginSpeedTest(const QString &name);
    void EndSpeedTest(const QStringList &lines);
    QString LineDropped() const;
    // The result line: bytes over the stopwatch's seconds, in KB/s.
    QString SpeedLine(const QString &title, DWORD bytes) const;

    // The window is drawn at most once a frame: a board at full speed adds
    // log lines every millisecond, and drawing each time takes most of a core.
    bool DrawLater();
    QElapsedTimer drawn;  // since the window last drew
    bool drawPending = false;

    double scale = 1.0;
    QSize designClient;
    std::vector<Placed> placed;
};

#endif
