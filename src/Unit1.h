// The console's one window: its design, its state and its handlers, written
// once over the control layer; a widget set draws it.
#ifndef QUORVEL_UNIT1_H
#define QUORVEL_UNIT1_H

#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "Controls.h"
#include "FileSend.h"
#include "Form1Capture.h"
#include "LinkTests.h"
#include "Sending.h"
#include "Serial.h"
#include "TovanTiming.h"
#include "WinCom.h"

// The window's layout: every control, where it stands, and how it starts.
extern const TFormDesign Form1Design;
// The port list's entries: "1" to "20".
std::vector<std::string> PortNumbers();
// The context menus' items, after the platform's own where it has them: the
// send box's, the port list's (the modem lines) and the speed-test buttons' (the link tests).
std::vector<TMenuItem> SendBoxMenu(TLineEnd lineEnd, bool hex, bool fileMay, std::function<void(TLineEnd)> setLineEnd,
                                   std::function<void()> toggleHex, std::function<void()> sendFile);
std::vector<TMenuItem> LinesMenu(bool may, bool dtr, bool rts, std::function<void()> dtrClick, std::function<void()> rtsClick,
                                 std::function<void()> pulseClick, std::function<void()> breakClick);
std::vector<TMenuItem> LinkTestsMenu(bool may, std::function<void()> loopback, std::function<void()> latency, std::function<void()> sizes);
// The log's items after its own: a capture to file, or its stop while one runs.
std::vector<TMenuItem> CaptureMenu(bool running, std::function<void()> start, std::function<void()> stop);
// The line for an escape of the port's (SETDTR...) that failed with `code`.
std::string EscapeFailureLine(BYTE port, DWORD function, DWORD code);

class TForm1 {
public:
    // Builds the window's controls from its design and binds their events.
    explicit TForm1(TWindow &window);
    virtual ~TForm1();
    TForm1(const TForm1 &) = delete;
    TForm1 &operator=(const TForm1 &) = delete;

    TWindow &Window;
    TLabel *Label1, *Label2, *Label3;
    TEdit *Edit1, *Edit2;
    TButton *Button1, *Button2, *Button3, *Button4, *Button5, *Button6;
    TComboBox *ComboBox1;
    TMemo *Memo1;
    TRadioGroup *RadioGroup1;
    TTimer *Timer1, *Timer2;
    TTimer *Timer3;  // while the board is away: tries its port again
    TTimer *Timer4;  // says a failed open once the choice has settled
    TTimer *Timer5;  // ends a DTR pulse or a break once its time is up
    TTimer *Timer6;  // runs Job a slice at a time
    TTimer *Timer7;  // writes out what a capture gathered

    BYTE ComPort = 0;
    bool HeartbeatOn = false;
    bool heartbeatStuck = false;  // the last beat did not go, and that has been said
    std::array<unsigned char, 64001> RxBuffer{};
    std::unique_ptr<TPerformanceTimer> SendTimer;
    std::string DecimalSeparator = ".";  // the user's, for speeds
    // The chosen port's board went away: its handle is closed, and Timer3
    // opens the same port again once the board is back.
    bool BoardAway = false;
    // The chosen port opened, but refused its queues or time-outs: it is neither read nor written.
    bool PortHalfOpen = false;
    std::string PortPath;  // the device the port opened, for the log
    std::string BoardKey;  // what that board is ("" for no USB identity), to find it again
    // What Send adds and how it reads the box, for this run (the send box's context menu).
    TLineEnd LineEnd = TLineEnd::None;
    bool SendHex = false;
    TSendHistory History;
    // The modem lines as the user left them; both raised on each open.
    bool DtrOn = true, RtsOn = true;
    static constexpr int PulseMs = 100, BreakMs = 250;
    // A file being sent or a link test: the window answers between its slices.
    std::unique_ptr<TPortJob> Job;
    // A capture to file: every byte read goes there too, as it came.
    std::unique_ptr<TFormCapture> Capture;

    void FormCreate();
    void FormDestroy();
    void FormShow();
    void FormClose();
    void FormDeviceChange();
    void ComboBox1Change();
    void ComboBox1DropDown();
    void Button1Click();
    void Edit1KeyPress(char &key);
    bool Edit1KeyDown(TEditKey key);  // Up, Down, Escape: the texts sent
    std::vector<TMenuItem> Edit1Menu();
    std::vector<TMenuItem> ComboBox1Menu();  // the port list's: the modem lines
    void DTR1Click();
    void RTS1Click();
    void PulseDTR1Click();
    void SendBreak1Click();
    void SendFile1Click();
    void Timer5Timer();
    void Timer6Timer();
    bool Memo1Escape();  // stops the job
    void FormEscape();
    // The speed-test buttons' context menu: the tests of a board that echoes.
    std::vector<TMenuItem> Button4Menu();
    void LoopbackTest1Click();
    void LatencyTest1Click();
    void PacketSizeTest1Click();
    DWORD DoReceive();
    void Button3Click();
    void Timer1Timer();
    void RadioGroup1Click();
    void Button2Click();
    void Button6Click();
    void Timer2Timer();
    void Button4Click();
    void Button5Click();
    void Timer3Timer();
    void Timer4Timer();
    // Reads the decimal separator from the user's regional settings.
    void ReadLocaleSettings();

private:
    template <typename T>
    T *Find(const char *name);
    bool OpenChosenPort();
    // Whether typing may still go on from this entry to another ("2" to "20").
    bool MayGoOn(int index) const;
    std::string unsettledFailure;
    bool openPending = false;  // a typed choice that may go on: Timer4 opens it once it has settled
    bool Testing = false;      // a speed test runs: nothing else may close its port
    // Notices a board that went away: at once when asked, else at most every 50 ms.
    void LookForBoard(bool now);
    void BoardGone(bool say);
    void StopReopening();
    // The board is back under another number: the port list chooses it.
    void FollowBoard(BYTE port);
    std::chrono::steady_clock::time_point lastLook;
    // A DTR pulse or a break under way: the call that ends it, on which port, when.
    DWORD lineEnd = 0;
    BYTE linePort = 0;
    std::chrono::steady_clock::time_point lineUntil;
    std::chrono::steady_clock::time_point statusShown;  // a file send's progress, last put in the status line
    // An escape of the port's (SETDTR...), said in the log as `done` or as failed.
    bool Escape(DWORD function, const std::string &done);
    void EndLineChange();  // a pulse or a break under way ends now, on its own port
    void Settle();         // a typed choice still waiting to settle opens now: the user acts on it
    void StartJob(std::unique_ptr<TPortJob> job);
    void StopJob();
    void EndJob();
    // Whether `name` may not run now because a job runs; said in the log if so.
    bool JobRuns(const std::string &name);
    bool BeginSpeedTest(const std::string &name);
    SpeedTestRun SpeedRun();  // a test's run on the chosen port, keeping the window alive
    void EndSpeedTest(const std::vector<std::string> &lines);
};

#endif
