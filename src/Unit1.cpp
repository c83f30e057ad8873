#include "Unit1.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Protocol.h"
#include "Quorvel.h"
#include "PortIdentity.h"
#include "Serial.h"

template <typename T>
T *TForm1::Find(const char *name)
{
    if (T *control = Window.Find<T>(name)) return control;
    throw std::logic_error(std::string("the window has no control ") + name);
}

TForm1::TForm1(TWindow &window) : Window(window)
{
    Window.Build(Form1Design);
    Label1 = Find<TLabel>("Label1"), Label2 = Find<TLabel>("Label2"), Label3 = Find<TLabel>("Label3");
    Edit1 = Find<TEdit>("Edit1"), Edit2 = Find<TEdit>("Edit2");
    Button1 = Find<TButton>("Button1"), Button2 = Find<TButton>("Button2"), Button3 = Find<TButton>("Button3");
    Button4 = Find<TButton>("Button4"), Button5 = Find<TButton>("Button5"), Button6 = Find<TButton>("Button6");
    ComboBox1 = Find<TComboBox>("ComboBox1");
    Memo1 = Find<TMemo>("Memo1"), Memo1->KeepOnDisk();
    RadioGroup1 = Find<TRadioGroup>("RadioGroup1");
    Timer1 = Find<TTimer>("Timer1"), Timer2 = Find<TTimer>("Timer2"), Timer3 = Find<TTimer>("Timer3");
    Timer4 = Find<TTimer>("Timer4"), Timer5 = Find<TTimer>("Timer5"), Timer6 = Find<TTimer>("Timer6"), Timer7 = Find<TTimer>("Timer7");
    Capture = std::make_unique<TFormCapture>(Window, *Memo1, *Timer7, Job);

    Window.OnShow = [this] { FormShow(); };
    Window.OnClose = [this] { FormClose(); };
    Window.OnSettingChange = [this] { ReadLocaleSettings(); };
    Window.OnDeviceChange = [this] { FormDeviceChange(); };
    Window.OnEscape = [this] { FormEscape(); };
    ComboBox1->OnChange = [this] { ComboBox1Change(); };
    ComboBox1->OnDropDown = [this] { ComboBox1DropDown(); };
    ComboBox1->OnMenu = [this] { return ComboBox1Menu(); };
    Memo1->OnEscape = [this] { return Memo1Escape(); };
    Timer5->OnTimer = [this] { Timer5Timer(); };
    Timer6->OnTimer = [this] { Timer6Timer(); };
    Button1->OnClick = [this] { Button1Click(); };
    Edit1->OnKeyPress = [this](char &key) { Edit1KeyPress(key); };
    Edit1->OnKeyDown = [this](TEditKey key) { return Edit1KeyDown(key); };
    Edit1->OnMenu = [this] { return Edit1Menu(); };
    Button2->OnClick = [this] { Button2Click(); };
    Button3->OnClick = [this] { Button3Click(); };
    RadioGroup1->OnClick = [this] { RadioGroup1Click(); };
    Timer1->OnTimer = [this] { Timer1Timer(); };
    Timer2->OnTimer = [this] { Timer2Timer(); };
    Button6->OnClick = [this] { Button6Click(); };
    Button4->OnClick = [this] { Button4Click(); };
    Button5->OnClick = [this] { Button5Click(); };
    Button4->OnMenu = Button5->OnMenu = [this] { return Button4Menu(); };
    Timer3->OnTimer = [this] { Timer3Timer(); };
    Timer4->OnTimer = [this] { Timer4Timer(); };
    TApplication::Run([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    TApplication::Run([this] { FormDestroy(); });
    Window.ClearEvents();
}

void TForm1::FormCreate()
{
    SendTimer = std::make_unique<TPerformanceTimer>("SendTime");
    ReadLocaleSettings();
}

void TForm1::FormDestroy() { SendTimer.reset(); }

void TForm1::ReadLocaleSettings()
{
    DecimalSeparator = Window.LocaleDecimalSeparator();
    if (DecimalSeparator.empty()) DecimalSeparator = ".";
}

void TForm1::FormShow()
{
    ComPort = 0;
    ComboBox1->SetItemIndex(-1);
    HeartbeatOn = false;
}

void TForm1::FormClose()
{
    Capture->StopCapture1Click();
    Job.reset();
    Timer6->SetEnabled(false);
    EndLineChange();
    StopReopening();
    ClosePort(ComPort);
}

void TForm1::ComboBox1Change()
{
    BYTE port = BYTE(ComboBox1->ItemIndex() + 1);
    // The port whose board is away, chosen again: try it now, and go on trying.
    if (BoardAway && port == ComPort) return Timer3Timer();
    // The same port again changes nothing while it works; a port that did not
    // open, or whose board dropped the line, is opened afresh.
    if (port == ComPort && !PortHalfOpen && (port == 0 || PortResponds(port))) return;
    StopReopening();
    Timer4->SetEnabled(false);
    EndLineChange();  // a break or a pulse under way ends on its own port, not with it
    ClosePort(ComPort);
    PortHalfOpen = false;
    ComPort = port;
    openPending = false;
    heartbeatStuck = false;
    // Typing 12 passes through 1: a port that typing may still go past opens
    // once the choice has settled, so that none is opened in passing (a
    // Bluetooth port can hold an open for seconds). A choice from the list opens at once.
    if (ComPort != 0 && ComboBox1->Typed && MayGoOn(ComboBox1->ItemIndex())) {
        openPending = true;
        Timer4->SetEnabled(true);
    }
    // Clearing the choice releases the port; it does not open one in its place.
    else if (ComPort != 0 && !OpenChosenPort()) {
        // Typing 20 passes through 2: a failure is said only for the port the
        // choice settles on, so one that typing may still go past waits a moment.
        unsettledFailure = OpenFailureLine(ComPort);
        // A port open in part is said at once: it would look as if it worked.
        if (MayGoOn(ComboBox1->ItemIndex()) && !PortHalfOpen) Timer4->SetEnabled(true);
        else Timer4Timer();
    }
    Button1->SetEnabled(true);
    Button4->SetEnabled(true);
    Button5->SetEnabled(true);
    Button6->SetEnabled(true);
}

bool TForm1::OpenChosenPort()
{
    bool opened = OpenPort(ComPort, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000);
    PortHalfOpen = !opened && PortIsOpen(ComPort);
    DtrOn = RtsOn = true;  // the port table raises both
    if (PortIsOpen(ComPort)) {
        PortPath = PortDevicePath(ComPort);
        // The board as it is known wherever it comes back.
        BoardKey = PortIdentity(ComPort).Key();
        if (DWORD refused = PortSettingsRefused(ComPort))
            Memo1->Append("Port " + std::to_string(ComPort) + " (" + PortPath + ") did not take its line settings (error " +
                          std::to_string(refused) + "); it is open as it is.");
    }
    lastLook = std::chrono::steady_clock::now();
    return opened;
}

void TForm1::ComboBox1DropDown()
{
    // What is behind each number, read as the list opens.
    std::vector<TItemNote> notes;
    for (const TPortIdentity &id : PortIdentities()) notes.push_back({id.Describe(), !id.present});
    ComboBox1->Notes = notes;
}

void TForm1::FormDeviceChange()
{
    // A board pulled out is noticed at once in either mode, and one plugged in
    // again is looked for at once; a speed test looks for itself as it ends.
    if (Testing) return;
    if (BoardAway) return Timer3Timer();
    LookForBoard(true);
}

void TForm1::LookForBoard(bool now)
{
    if (!PortIsOpen(ComPort)) return;
    auto time = std::chrono::steady_clock::now();
    if (!now && time - lastLook < std::chrono::milliseconds(50)) return;
    lastLook = time;
    if (!PortResponds(ComPort)) BoardGone(true);
}

void TForm1::BoardGone(bool say)
{
    // The dead handle goes at once: a returning USB board gets another name
    // while the old one is still open.
    ClosePort(ComPort);
    BoardAway = true;
    Capture->Gap(true);
    if (say) Memo1->Append("Port " + std::to_string(ComPort) + " (" + PortPath + "): the board went away; it will be opened again when it is back.");
    Timer3->SetEnabled(true);
}

void TForm1::StopReopening()
{
    BoardAway = false;
    Timer3->SetEnabled(false);
}

void TForm1::Timer3Timer()
{
    if (!BoardAway) return StopReopening();
    // A board known by what it is may come back under another number (Linux
    // gives it the next free name while its old one is held); another board
    // on its old number is not it. One with no such identity comes back under
    // its own number only.
    BYTE port = ComPort;
    if (!BoardKey.empty() && (port = FindBoard(BoardKey, ComPort)) == 0) return;
    if (port != ComPort) return FollowBoard(port);
    // Quietly: a board that is not back yet, or is still busy (a modem manager
    // probing it), is tried again at the next tick.
    if (!OpenChosenPort()) {
        ClosePort(ComPort);
        PortHalfOpen = false;
        return;
    }
    StopReopening();
    Capture->Gap(false);
    Memo1->Append("Port " + std::to_string(ComPort) + " (" + PortPath + "): the board is back.");
}

void TForm1::FollowBoard(BYTE port)
{
    if (!OpenPort(port, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 64000)) {
        ClosePort(port);
        return;
    }
    const std::string was = "Port " + std::to_string(ComPort) + " (" + PortPath + ")";
    // Chosen as the user would: the handler closes the old port and takes the new number.
    ComboBox1->SetItemIndex(port - 1);
    ComboBox1Change();
    Capture->Gap(false);
    Memo1->Append(was + ": the board is back as port " + std::to_string(ComPort) + " (" + PortPath + ").");
}

bool TForm1::MayGoOn(int index) const
{
    static const std::vector<std::string> entries = PortNumbers();
    if (index < 0 || std::size_t(index) >= entries.size()) return false;
    const std::string &chosen = entries[std::size_t(index)];
    return std::any_of(entries.begin(), entries.end(), [&](const std::string &entry) {
        return entry.size() > chosen.size() && entry.compare(0, chosen.size(), chosen) == 0;
    });
}

void TForm1::Timer4Timer()
{
    Timer4->SetEnabled(false);
    if (openPending) {
        openPending = false;
        if (ComPort != 0 && !OpenChosenPort()) Memo1->Append(OpenFailureLine(ComPort));
        return;
    }
    if ((!PortIsOpen(ComPort) || PortHalfOpen) && !BoardAway && ComPort != 0) Memo1->Append(unsettledFailure);
    unsettledFailure.clear();
}

void TForm1::Edit1KeyPress(char &key)
{
    if (key == 13) Button1Click();
}

bool TForm1::Edit1KeyDown(TEditKey key)
{
    if (key == TEditKey::Escape && Job) {
        StopJob();
        return true;
    }
    std::string text;
    const bool took = key == TEditKey::Up ? History.Up(Edit1->Text(), text) : key == TEditKey::Down ? History.Down(text) : History.Escape(text);
    if (took) Edit1->SetText(text);
    return took;
}

std::vector<TMenuItem> TForm1::Edit1Menu()
{
    Settle();
    return SendBoxMenu(LineEnd, SendHex, PortIsOpen(ComPort) && !PortHalfOpen && !Job, [this](TLineEnd end) { LineEnd = end; },
                       [this] { SendHex = !SendHex; }, [this] { SendFile1Click(); });
}

// ---------------------------------------------------------------- modem lines

std::vector<TMenuItem> TForm1::ComboBox1Menu()
{
    Settle();
    // Greyed with no port open, and while a pulse or a break is under way.
    return LinesMenu(PortIsOpen(ComPort) && !lineEnd, DtrOn, RtsOn, [this] { DTR1Click(); }, [this] { RTS1Click(); }, [this] { PulseDTR1Click(); },
                     [this] { SendBreak1Click(); });
}

bool TForm1::Escape(DWORD function, const std::string &done)
{
    const std::string port = "Port " + std::to_string(ComPort) + ": ";
    if (EscapePort(ComPort, function)) {
        Memo1->Append(port + done);
        return true;
    }
    Memo1->Append(EscapeFailureLine(ComPort, function, PortLastError(ComPort)));
    LookForBoard(true);
    return false;
}

void TForm1::DTR1Click()
{
    if (PortIsOpen(ComPort) && Escape(DtrOn ? CLRDTR : SETDTR, DtrOn ? "DTR off." : "DTR on.")) DtrOn = !DtrOn;
}

void TForm1::RTS1Click()
{
    if (PortIsOpen(ComPort) && Escape(RtsOn ? CLRRTS : SETRTS, RtsOn ? "RTS off." : "RTS on.")) RtsOn = !RtsOn;
}

// The line goes back on a timer, so the window answers meanwhile.
void TForm1::PulseDTR1Click()
{
    if (!PortIsOpen(ComPort) || lineEnd || !Escape(CLRDTR, "DTR off for a pulse of " + std::to_string(PulseMs) + " ms.")) return;
    DtrOn = false;
    lineEnd = SETDTR, linePort = ComPort;
    lineUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(PulseMs);
    Timer5->SetEnabled(true);
}

void TForm1::SendBreak1Click()
{
    if (!PortIsOpen(ComPort) || lineEnd || !Escape(SETBREAK, "break for " + std::to_string(BreakMs) + " ms.")) return;
    lineEnd = CLRBREAK, linePort = ComPort;
    lineUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(BreakMs);
    Timer5->SetEnabled(true);
}

void TForm1::Timer5Timer()
{
    if (lineEnd && std::chrono::steady_clock::now() < lineUntil) return;
    EndLineChange();
}

void TForm1::EndLineChange()
{
    Timer5->SetEnabled(false);
    const DWORD end = lineEnd;
    lineEnd = 0;
    // A board gone meanwhile took the line with it.
    if (!end || linePort != ComPort || !PortIsOpen(ComPort)) return;
    if (end == SETDTR) DtrOn = Escape(SETDTR, "DTR on: the pulse is over.");
    else Escape(CLRBREAK, "the break is over.");
}

void TForm1::Settle()
{
    if (openPending) Timer4Timer();
}

// ---------------------------------------------------------------- a file, a link test

void TForm1::SendFile1Click()
{
    if (!PortIsOpen(ComPort) || PortHalfOpen || Job) return;
    const std::string path = Window.AskOpenPath("Send File");
    if (path.empty() || !PortIsOpen(ComPort)) return;
    auto send = std::make_unique<TFileSend>(ComPort, path, DecimalSeparator);
    if (send->Failed()) return Memo1->Append(send->Said());
    StartJob(std::move(send));
}

std::vector<TMenuItem> TForm1::Button4Menu()
{
    Settle();
    // Greyed while a break or a pulse holds the line, as for the other menus.
    return LinkTestsMenu(PortIsOpen(ComPort) && !PortHalfOpen && !Job && !BoardAway && !lineEnd, [this] { LoopbackTest1Click(); },
                         [this] { LatencyTest1Click(); }, [this] { PacketSizeTest1Click(); });
}

void TForm1::LoopbackTest1Click() { StartJob(std::make_unique<TLoopbackTest>(ComPort, DecimalSeparator, TLoopbackTest::Limits{})); }

void TForm1::LatencyTest1Click() { StartJob(std::make_unique<TRoundTripTest>(ComPort, DecimalSeparator, TRoundTripTest::Kind::Latency)); }

void TForm1::PacketSizeTest1Click()
{
    StartJob(std::make_unique<TRoundTripTest>(ComPort, DecimalSeparator, TRoundTripTest::Kind::PacketSizes, 1, std::chrono::milliseconds(500)));
}

void TForm1::StartJob(std::unique_ptr<TPortJob> job)
{
    // A menu's item may be taken by its key after the state it was built in has gone.
    if (!PortIsOpen(ComPort) || PortHalfOpen || Job) return;
    Job = std::move(job);
    Memo1->SetStatus(Job->Progress());
    statusShown = std::chrono::steady_clock::now();
    Timer6->SetEnabled(true);
}

void TForm1::Timer6Timer()
{
    if (!Job) return Timer6->SetEnabled(false);
    // A slice short enough for the window to answer between them. A fault
    // ends the job, said once, rather than at every tick.
    TPortJob::State state;
    try {
        state = Job->Slice(std::chrono::milliseconds(30));
    } catch (...) {
        const std::string line = Job->FaultLine();
        EndJob();
        Memo1->Append(line);
        throw;
    }
    for (const std::string &line : Job->TakeLines()) Memo1->Append(line);
    if (state == TPortJob::State::Ended) return EndJob();
    const auto now = std::chrono::steady_clock::now();
    if (now - statusShown >= std::chrono::milliseconds(100)) Memo1->SetStatus(Job->Progress()), statusShown = now;
    LookForBoard(false);
}

void TForm1::StopJob()
{
    if (!Job) return;
    Job->Halt();
    EndJob();
}

void TForm1::EndJob()
{
    // Its last lines go with it.
    std::unique_ptr<TPortJob> ended = std::move(Job);
    Timer6->SetEnabled(false);
    Memo1->SetStatus("");
    for (const std::string &line : ended->TakeLines()) Memo1->Append(line);
}

bool TForm1::JobRuns(const std::string &name)
{
    if (Job) Memo1->Append(name + ": " + Job->Doing() + "; wait for its end, or press Escape to stop it.");
    return Job != nullptr;
}

bool TForm1::Memo1Escape()
{
    if (!Job) return false;
    StopJob();
    return true;
}

void TForm1::FormEscape() { StopJob(); }

void TForm1::Button1Click()
{
    Settle();
    // A file's bytes go as they are, and a link test's are its own: nothing is put among them.
    if (JobRuns("Send")) return;
    DWORD count = 0;
    std::chrono::milliseconds bound = SendLimit;
    const std::string typed = Edit1->Text();
    // The box's text as it stands, or the bytes it names in hex, and the line end chosen.
    std::string text = typed, why;
    if (SendHex && !HexToBytes(typed, text, why)) {
        Memo1->Append(why);
        return;
    }
    text += LineEndBytes(LineEnd);
    History.Sent(typed);
    // A full box and its line end are more than one text takes: they go as bytes, none cut.
    if (PortIsOpen(ComPort)) count = text.size() <= PortTextLimit ? SendText(ComPort, text, &bound) : SendBytes(ComPort, text, &bound);
    // A driver that failed the write with a time-out does not say what went: neither does "#Sent".
    const bool unknown = count < text.size() && PortWriteUnknown(ComPort);
    Edit2->SetText(unknown ? "?" : std::to_string(count));
    LookForBoard(true);
    // A board that takes nothing ends the send within its limit; what did not
    // go is said (a board that went away has been said above, its port closed).
    const std::size_t wanted = text.size();
    if (PortIsOpen(ComPort) && count < wanted) Memo1->Append(unknown ? UnknownSentLine(wanted, bound) : PartSentLine(count, wanted, bound));
}

DWORD TForm1::DoReceive()
{
    // A link test reads its echoes itself.
    if (!PortIsOpen(ComPort) || (Job && Job->ReadsPort())) return 0;
    DWORD n = ReadPort(ComPort, RxBuffer.data(), DWORD(RxBuffer.size()));
    if (n == 0) {
        LookForBoard(false);
        return 0;
    }
    // The log keeps the read's bytes as they came, with the moment it was made; a capture, the same bytes.
    using namespace std::chrono;
    const std::int64_t monotonicUs = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
    const std::int64_t wallUs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    Memo1->AppendRead(RxBuffer.data(), n, monotonicUs, wallUs);
    Capture->Add(RxBuffer.data(), n, monotonicUs, wallUs);
    return n;
}

void TForm1::Button3Click()
{
    Settle();
    DoReceive();
}

void TForm1::Timer1Timer() { DoReceive(); }

void TForm1::RadioGroup1Click()
{
    if (RadioGroup1->ItemIndex() == 0) {
        Timer1->SetEnabled(false);
        Button3->SetEnabled(true);
    } else if (RadioGroup1->ItemIndex() == 1) {
        Timer1->SetEnabled(true);
        Button3->SetEnabled(false);
    }
}

void TForm1::Button2Click() { Memo1->Clear(); }

void TForm1::Button6Click()
{
    Settle();
    HeartbeatOn = !HeartbeatOn;
    // A running timer keeps its schedule: the next beat comes when it was due.
    if (!HeartbeatOn) Timer2->SetEnabled(false);
    else if (!Timer2->Enabled()) Timer2->SetEnabled(true);
}

void TForm1::Timer2Timer()
{
    // No beat among a file's bytes, which go as they are.
    if (!HeartbeatOn || !PortIsOpen(ComPort) || Job) return;
    std::chrono::milliseconds bound;
    const bool went = SendText(ComPort, std::string(1, char(HeartbeatByte)), &bound) == 1;
    // A beat the board does not take is said once, not every second, until one goes again.
    if (!went && !heartbeatStuck && PortIsOpen(ComPort))
        Memo1->Append(PortWriteUnknown(ComPort) ? "Heartbeat: the write of \"^\" timed out (error 121); whether it went is unknown. Said once until a beat goes."
                                                : "Heartbeat: the board did not take \"^\" within " + SecondsText(bound) + ". Said once until a beat goes.");
    heartbeatStuck = !went;
    LookForBoard(true);
}

// ---------------------------------------------------------------- throughput tests

bool TForm1::BeginSpeedTest(const std::string &name)
{
    Settle();
    // A break or a pulse under way keeps its length: the test, which holds the window, begins after it.
    if (lineEnd) {
        std::this_thread::sleep_until(lineUntil);
        EndLineChange();
    }
    if (JobRuns(name)) return false;
    if (BoardAway) {
        Memo1->Append(name + ": the board on port " + std::to_string(ComPort) + " is away; try again once it is back.");
        return false;
    }
    if (!PortIsOpen(ComPort)) {
        Memo1->Append(NoPortLine(name));
        return false;
    }
    Application->SetBusyCursor(true);
    Testing = true;
    Timer1->SetEnabled(false);
    Timer2->SetEnabled(false);
    // What was queued before the click runs now; nothing runs once the test has begun.
    Application->ProcessMessages();
    if (BoardAway) {
        // A tick in that queue found the board gone.
        EndSpeedTest({name + ": the board on port " + std::to_string(ComPort) + " went away; try again once it is back."});
        return false;
    }
    if (!PortIsOpen(ComPort)) {
        // A handler in that queue closed the port.
        EndSpeedTest({NoPortLine(name)});
        return false;
    }
    return true;
}

void TForm1::EndSpeedTest(const std::vector<std::string> &lines)
{
    for (const std::string &line : lines) Memo1->Append(line);
    // A test whose line dropped has said so; the port is opened again by itself.
    if (PortIsOpen(ComPort) && !PortResponds(ComPort)) BoardGone(false);
    if (RadioGroup1->ItemIndex() == 1) Timer1->SetEnabled(true);
    Timer2->SetEnabled(HeartbeatOn);
    Testing = false;
    Application->SetBusyCursor(false);
}

void TForm1::Button4Click()
{
    if (!BeginSpeedTest(UploadName)) return;
    EndSpeedTest(UploadTest(SpeedRun()));
}

void TForm1::Button5Click()
{
    if (!BeginSpeedTest(DownloadName)) return;
    EndSpeedTest(DownloadTest(SpeedRun()));
}

SpeedTestRun TForm1::SpeedRun()
{
    SpeedTestRun run{ComPort, *SendTimer, RxBuffer.data(), DWORD(RxBuffer.size()), DecimalSeparator};
    run.KeepAlive = [] { Application->KeepAlive(); };
    return run;
}
