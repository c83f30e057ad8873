// The console with no window: both throughput tests against a board the test
// plays on the far end of a null-modem cable, the form over a headless widget
// set when that board is unplugged and comes back, and the texts and rules
// the log and the fault box follow. Run natively over the POSIX stand-in and,
// built for Windows, under Wine against the real comm API.
//
//   tst_serial A B    ports A (the console's) and B (the board's) joined
// A capture's file past 4 GB, on 32-bit systems too.
#define _FILE_OFFSET_BITS 64
#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <thread>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "Check.h"
#include "HeadlessWindow.h"
#include "PortTableUse.h"
#include "Quorvel.h"
#include "LogCapture.h"
#include "LogLines.h"
#include "LogStore.h"
#include "FileSend.h"
#include "Sending.h"
#include "Serial.h"
#include "Unit1.h"

namespace {

BYTE A = 3, B = 14;
// Short, so that each case runs in about a second; the window uses 5 s.
constexpr std::chrono::milliseconds Limit{300};

bool StartsWith(const std::string &text, const std::string &start) { return text.compare(0, start.size(), start) == 0; }

std::string Joined(const std::vector<std::string> &lines)
{
    std::string all;
    for (const std::string &line : lines) all += (all.empty() ? "" : " | ") + line;
    return all;
}

// One test as the window runs it, while `board` plays the far end on port B.
struct Exchange {
    explicit Exchange(std::function<void()> board)
    {
        CHECK(OpenConsoleWay(A));
        CHECK(OpenConsoleWay(B));
        script = std::thread(std::move(board));
    }
    ~Exchange()
    {
        quiet = true;
        if (script.joinable()) script.join();
        CloseAllPorts();
    }
    std::vector<std::string> Run(std::vector<std::string> (*test)(const SpeedTestRun &))
    {
        auto start = Clock::now();
        lines = test({A, timer, rx.data(), DWORD(rx.size()), ".", Limit});
        ms = MsSince(start);
        return lines;
    }
    TPerformanceTimer timer{"SendTime"};
    std::vector<unsigned char> rx = std::vector<unsigned char>(64001);
    std::vector<std::string> lines;
    long long ms = 0;
    std::atomic<bool> quiet{false};
    std::thread script;
};

const std::string Upload = "%" + [] {
    std::string blocks;
    for (int block = 0; block < 64; ++block) blocks += "%" + std::string(4095, '_');
    return blocks;
}();

}  // namespace

TEST_CASE(the_upload_sends_its_exact_bytes_and_only_a_read_beginning_with_the_mark_ends_it)
{
    std::string got;
    Exchange x([&] {
        got = Receive(B, Upload.size(), 10000);
        Send(B, "ab*");  // holds the mark, but does not begin with it
        Sleep(100);
        Send(B, "*");
    });
    x.Run(UploadTest);
    x.script.join();
    CHECK(got == Upload);
    CHECK_EQ(x.lines.size(), std::size_t(2));
    CHECK(StartsWith(Joined(x.lines), "Speed PC -> PIC (KB/s): "));
    // Beside it, the rate until the bytes had left and until the mark, which came 100 ms after the last.
    std::string second = x.lines.at(1);
    CHECK(StartsWith(second, "Speed PC -> PIC to the board (KB/s): "));
    const std::string until = "; until its \"*\": ", title = "Speed PC -> PIC to the board (KB/s): ";
    std::size_t mark = second.find(until);
    CHECK(mark != std::string::npos && std::atof(second.c_str() + mark + until.size()) < std::atof(second.c_str() + title.size()));
    CHECK(x.ms >= 100);
    CHECK_EQ(Drain(A), std::string());  // both answers were taken by the wait
}

TEST_CASE(a_long_test_lets_the_window_be_seen_alive_throughout)
{
    // A board that trickles the download for over a second: the test runs
    // nothing else meanwhile, but looks at the window's queue every 100 ms or so.
    Exchange x([] {
        Receive(B, 1, 5000);  // the request
        for (int i = 0; i < 64; ++i) Send(B, std::string(4096, 'd')), Sleep(20);
    });
    std::vector<long long> beats;
    auto start = Clock::now();
    SpeedTestRun run{A, x.timer, x.rx.data(), DWORD(x.rx.size()), ".", Limit};
    run.KeepAlive = [&] { beats.push_back(MsSince(start)); };
    const std::vector<std::string> lines = DownloadTest(run);
    beats.push_back(MsSince(start));
    CHECK(StartsWith(Joined(lines), "Speed PIC -> PC (KB/s): "));
    long long longest = beats.front();
    for (std::size_t i = 1; i < beats.size(); ++i) longest = std::max(longest, beats[i] - beats[i - 1]);
    std::printf("    %zu looks in %lld ms, at most %lld ms apart\n", beats.size() - 1, beats.back(), longest);
    CHECK(beats.back() > 1000 && longest < 300);
}

TEST_CASE(a_board_that_keeps_sending_ends_the_upload_once_its_data_has_drained)
{
    std::atomic<long long> lastBlock{0};
    auto start = Clock::now();
    Exchange x([&] {
        Receive(B, Upload.size(), 10000);
        lastBlock = MsSince(start);
        while (!x.quiet && MsSince(start) < 10000) Send(B, "log: busy * working\r\n"), Sleep(1);
    });
    x.Run(UploadTest);
    long long waited = MsSince(start) - lastBlock;
    std::string line = Joined(x.lines);
    CHECK(StartsWith(line, "Speed PC -> PIC: all 262144 bytes went out, but no \"*\" came back within 0.3 s; "
                           "the board kept sending other bytes ("));
    CHECK(line.find(" of them).") != std::string::npos);
    CHECK(waited >= 250);
    CHECK(waited < 2000);
}

TEST_CASE(a_board_that_talks_while_it_takes_the_upload_is_heard_out)
{
    // Its text goes out with blocking writes: were the console not to read
    // while it writes, both lines would fill and the upload would stall.
    std::size_t got = 0;
    Exchange x([&] {
        Receive(B, 1, 5000);  // the announce
        std::vector<unsigned char> in(64000);
        auto start = Clock::now();
        while (got < TestVolume && MsSince(start) < 5000) {
            Send(B, std::string(1024, 't'));
            got += ReadPort(B, in.data(), DWORD(in.size()));
        }
        Sleep(50);
        Send(B, "*");
    });
    x.Run(UploadTest);
    x.script.join();
    CHECK_EQ(got, TestVolume);
    CHECK(StartsWith(Joined(x.lines), "Speed PC -> PIC (KB/s): "));
}

TEST_CASE(a_silent_board_ends_both_tests_within_the_limit)
{
    Exchange x([&] { Receive(B, Upload.size(), 10000); });
    x.Run(UploadTest);
    CHECK_EQ(x.lines.at(0), std::string("Speed PC -> PIC: all 262144 bytes went out, but no \"*\" came back within 0.3 s."));
    CHECK(x.lines.size() == 2 && StartsWith(x.lines[1], "Speed PC -> PIC: the PC's queue read empty after "));
    x.Run(DownloadTest);
    CHECK_EQ(Joined(x.lines), std::string("Speed PIC -> PC: nothing came for 0.3 s; 0 of 262144 bytes came."));
    CHECK(x.ms >= 290);
    CHECK(x.ms < 2000);
}

TEST_CASE(a_short_download_and_an_over_long_one_are_told)
{
    Exchange x([&] {
        if (Receive(B, 1, 5000) == "*") Send(B, std::string(TestVolume - 1000, 'd'));
        if (Receive(B, 1, 5000) == "*") Send(B, std::string(TestVolume + 1000, 'd'));
    });
    x.Run(DownloadTest);
    CHECK_EQ(Joined(x.lines), std::string("Speed PIC -> PC: nothing came for 0.3 s; 261144 of 262144 bytes came."));
    // It ends once 262144 are in; what the last read brought beyond that is said.
    x.Run(DownloadTest);
    x.script.join();
    CHECK(StartsWith(x.lines.at(0), "Speed PIC -> PC (KB/s): "));
    std::size_t beyond = 0;
    if (x.lines.size() > 1) {
        CHECK(x.lines[1].find(" bytes came beyond 262144.") != std::string::npos);
        beyond = std::size_t(std::atoi(x.lines[1].c_str() + std::strlen("Speed PIC -> PC: ")));
    }
    CHECK_EQ(beyond + Drain(A, 300).size(), std::size_t(1000));
}

TEST_CASE(a_line_that_drops_ends_the_upload_and_says_so)
{
    if (!CableListens()) SKIP("this cable cannot be pulled out");
    {
        Exchange x([&] {
            Receive(B, 100000, 10000);
            TellCable("unplug", A);
        });
        x.Run(UploadTest);
        std::string line = Joined(x.lines);
        CHECK(StartsWith(line, "Speed PC -> PIC: the board took nothing for 0.3 s; "));
        CHECK(line.find(" of 262144 bytes went out. The line dropped: the port will be opened again by itself once the board is back.") !=
              std::string::npos);
    }
    TellCable("plug", A);
    auto start = Clock::now();
    bool back = false;
    while (!(back = OpenConsoleWay(A)) && MsSince(start) < 2000) Sleep(10);
    CHECK(back);
    CloseAllPorts();
}

namespace {

// The window on port A, the board on B.
struct Console {
    Console()
    {
        window.OnShow();
        CHECK(OpenConsoleWay(B));
        Drain(B, 200);  // what an earlier case left on its way through the cable
        form.ComboBox1->SetItemIndex(A - 1);
        form.ComboBox1->OnChange();
        CHECK(PortIsOpen(A));
        where = "Port " + std::to_string(A) + " (" + PortDevicePath(A) + "): ";
    }
    ~Console()
    {
        window.OnClose();
        CloseAllPorts();
    }
    std::vector<std::string> Log()
    {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < form.Memo1->Lines.LineCount(); ++i) lines.push_back(form.Memo1->Lines.Line(i));
        return lines;
    }
    std::string Sent(const std::string &text)
    {
        form.Edit1->SetText(text);
        form.Button1->OnClick();
        return window.Find<HeadlessWindow::Edit>("Edit2")->text;
    }
    bool Shows(const std::string &line)
    {
        const std::vector<std::string> log = Log();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};
    std::string where;
};

}  // namespace

TEST_CASE(a_log_whose_disk_fills_says_so_once_keeps_what_came_and_clear_gives_the_room_back)
{
    // On a small file system of its own (QUORVEL_SMALL_DISK, made by the test run).
    const char *disk = std::getenv("QUORVEL_SMALL_DISK");
    if (!disk) SKIP("no small file system was made for it");
#ifdef _WIN32
    SKIP("a Linux case");
#else
    setenv("QUORVEL_LOG_FOLDER", disk, 1);
    auto freeBytes = [&] {
        struct statvfs st;
        return statvfs(disk, &st) == 0 ? std::uint64_t(st.f_bavail) * st.f_frsize : 0;
    };
    Console c;
    unsetenv("QUORVEL_LOG_FOLDER");
    const TLogStore &log = c.form.Memo1->Lines;
    CHECK(!log.Folder().empty());
    auto byte = [](std::uint64_t p) { return char((p * 7 + (p >> 9)) & 0xFF); };
    std::atomic<bool> stop{false}, done{false};
    std::atomic<std::uint64_t> sent{0};
    std::thread board([&] {
        std::string chunk(65536, '\0');
        for (std::uint64_t at = 0; !stop && at < (std::uint64_t(64) << 20); at += chunk.size()) {
            for (std::size_t j = 0; j < chunk.size(); ++j) chunk[j] = byte(at + j);
            if (!Send(B, chunk)) break;
            sent = at + chunk.size();
        }
        done = true;
    });
    auto said = [&] {
        std::size_t n = 0;
        for (const std::string &line : c.Log())
            if (line.rfind(TLogStore::DiskFullLine, 0) == 0) ++n, std::printf("    %s\n", line.c_str());
        return n;
    };
    const bool full = c.window.PumpUntil([&] { return log.LineCount() && log.Line(log.LineCount() - 1).rfind(TLogStore::DiskFullLine, 0) == 0; }, 60000) >= 0;
    CHECK(full);
    // More comes; the window goes on answering, keeps none of it, and says nothing more.
    const std::uint64_t kept = log.Received(), more = sent + (std::uint64_t(2) << 20);
    const auto start = Clock::now();
    while (sent < more && MsSince(start) < 20000) c.window.Pump(50);
    CHECK(MsSince(start) < 20000);
    CHECK_EQ(log.Received(), kept);
    stop = true;
    c.window.PumpUntil([&] { return bool(done); }, 5000);  // the console reads what is still on its way
    board.join();
    c.window.Pump(300);
    CHECK_EQ(c.Sent("x"), std::string("1"));
    // What was kept is what came, byte for byte.
    std::uint64_t p = 0, wrong = 0;
    for (std::size_t k = 0; k < log.Reads(); ++k) {
        const TLogRead read = log.Read(k);
        for (std::uint32_t j = 0; j < read.count; ++j, ++p) wrong += log.At(read.at + j) != static_cast<unsigned char>(byte(p));
    }
    CHECK(full && p > (std::uint64_t(8) << 20));
    CHECK_EQ(wrong, std::uint64_t(0));
    CHECK_EQ(said(), std::size_t(1));
    // Clear gives the room back at once, and the log keeps what comes again.
    const std::uint64_t before = freeBytes();
    c.form.Button2->OnClick();
    CHECK(freeBytes() > before + (std::uint64_t(8) << 20));
    Drain(A, 100);
    CHECK(Send(B, "again\r\n"));
    CHECK(c.window.PumpUntil([&] { return c.Shows("again"); }, 2000) >= 0);
#endif
}

TEST_CASE(a_board_that_goes_away_is_noticed_and_opened_again_by_itself_in_either_mode)
{
    if (!CableListens()) SKIP("this cable cannot be pulled out");
    for (int mode : {1, 0}) {
        Console c;
        const std::string gone = c.where + "the board went away; it will be opened again when it is back.";
        const std::string back = c.where + "the board is back.";
        if (mode == 0) {
            c.form.RadioGroup1->SetItemIndex(0);
            c.form.RadioGroup1->OnClick();
        }
        TellCable("unplug", A);
        long long noticed = c.window.PumpUntil([&] { return c.Shows(gone); }, 300);
        if (mode == 1) {
            // The poll notices, within 100 ms.
            std::printf("    noticed after %lld ms\n", noticed);
            CHECK(noticed >= 0);
        } else {
            // Nothing polls: the next send notices.
            CHECK(noticed < 0);
            CHECK_EQ(c.Sent("x"), std::string("0"));
            CHECK(c.Shows(gone));
        }
        CHECK(!PortIsOpen(A));
        CHECK_EQ(c.Sent("lost"), std::string("0"));
        c.window.Pump(600);
        CHECK_EQ(c.Log().size(), std::size_t(1));  // said once

        TellCable("plug", A);
        CHECK(c.window.PumpUntil([&] { return c.Shows(back); }, 2000) >= 0);
        CHECK_EQ(c.Log().size(), std::size_t(2));
        CHECK_EQ(c.Sent("back"), std::string("4"));
        CHECK_EQ(Receive(B, 4), std::string("back"));
        Send(B, "echo");
        if (mode == 0) c.window.Pump(50), c.form.Button3->OnClick();
        CHECK(c.window.PumpUntil([&] { return c.Shows("echo"); }, 2000) >= 0);
    }
}

TEST_CASE(a_send_the_board_does_not_take_ends_within_a_second_and_says_so)
{
    Console c;
    {
        // The line is full: the board has read nothing for a while.
        ShortWrites brief(A, std::chrono::milliseconds(300));
        std::string flood(1 << 20, 'f');
        WritePort(A, flood.data(), DWORD(flood.size()));
    }
    auto start = Clock::now();
    const std::string shown = c.Sent(std::string(10000, 's'));
    CHECK(MsSince(start) < 2500);
    CHECK(std::atoi(shown.c_str()) < 10000);
    CHECK(c.Log() == std::vector<std::string>({"Send: the board took only " + shown + " of 10000 bytes within 1 s."}));
    // Short writes keep the port's own rule where it ends sooner (10 ms a byte and 10 ms): a heartbeat's byte 20 ms, not 1 s.
    for (const auto &c : {std::make_pair(std::size_t(1), 20), {5, 60}, {99, 1000}, {10000, 1000}}) {
        ShortWrites bounded(A, SendLimit, c.first);
        COMMTIMEOUTS now{};
        CHECK(GetPortTimeouts(A, now));
        CHECK_EQ(bounded.Bound().count(), (long long)c.second);
        CHECK_EQ(now.WriteTotalTimeoutMultiplier * c.first + now.WriteTotalTimeoutConstant, std::size_t(c.second));
    }
    CHECK_EQ(PartSentLine(0, 5, std::chrono::milliseconds(60)), std::string("Send: the board took only 0 of 5 bytes within 0.06 s."));
    while (!Drain(B, 300).empty()) {
    }
    // A full box and its line end: every byte goes, and "#Sent" counts them all.
    c.form.LineEnd = TLineEnd::CRLF;
    CHECK_EQ(c.Sent(std::string(10000, 'x')), std::string("10002"));
    CHECK(Drain(B, 300) == std::string(10000, 'x') + "\r\n");
}

namespace {

// The item of that caption in a menu the form gives; it must be there.
TMenuItem Item(const std::vector<TMenuItem> &menu, const std::string &caption)
{
    for (const TMenuItem &item : menu)
        if (item.Caption == caption) return item;
    CHECK(!"the menu has the item");
    return {};
}

}  // namespace

TEST_CASE(a_file_goes_whole_and_a_board_that_stops_reading_ends_it_within_its_bounds)
{
    // Every byte value, more than the cable holds at once.
    std::string bytes(600000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7 + i / 251);
    const std::string path = "tst_serial-send.bin";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    CHECK(f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    std::fclose(f);
    Console c;
    auto *memo = c.window.Find<HeadlessWindow::Memo>("Memo1");
    auto sendFile = [&](const std::string &chosen) {
        c.window.openPath = chosen;
        TMenuItem item = Item(c.form.Edit1Menu(), "Send &File...");
        CHECK(item.Enabled);
        item.OnClick();
    };
    std::string got;
    std::thread board([&] { got = Receive(B, bytes.size(), 20000); });
    c.form.DecimalSeparator = ",";  // both figures in the user's separator
    c.form.Button6Click();          // the heartbeat on: no beat goes among the file's bytes
    sendFile(path);
    CHECK(StartsWith(memo->status, "Send File: tst_serial-send.bin: 0 of 600000 bytes"));
    CHECK(!Item(c.form.Edit1Menu(), "Send &File...").Enabled);  // one at a time
    c.form.Timer2Timer();
    CHECK(c.window.PumpUntil([&] { return !c.form.Job; }, 20000) >= 0);
    board.join();
    c.form.Button6Click();
    c.form.DecimalSeparator = ".";
    CHECK(got == bytes);
    const std::string sent = c.Log().back();
    CHECK(StartsWith(sent, "Send File: tst_serial-send.bin, 600000 bytes sent in "));
    CHECK(sent.find(",") != std::string::npos && sent.find(".", sent.find(" in ")) == sent.size() - 1);
    CHECK(memo->status.empty());

    // The board reads nothing: each slice ends within its write's bound, and
    // the send gives up once nothing has moved for its limit.
    TFileSend alone(A, path, ".");
    alone.Stall = Limit;
    long long longest = 0;
    auto start = Clock::now();
    for (;;) {
        auto slice = Clock::now();
        const TFileSend::State state = alone.Slice(std::chrono::milliseconds(30));
        longest = std::max(longest, MsSince(slice));
        if (state == TFileSend::State::Ended || MsSince(start) > 20000) break;
    }
    std::printf("    a slice took at most %lld ms; %llu bytes went\n", longest, (unsigned long long)alone.Sent());
    CHECK(longest < 30 + TFileSend::WriteLimit.count() + 150);
    CHECK_EQ(alone.Said(), "Send File: tst_serial-send.bin: the board took nothing for 0.3 s; " + std::to_string(alone.Sent()) +
                               " of 600000 bytes sent in " + alone.Said().substr(alone.Said().rfind(" in ") + 4));
    // Through the window, Escape in the send box stops it, and the line says how much went.
    const unsigned long long before = PortBytesWritten(A);
    sendFile(path);
    c.window.PumpUntil([] { return false; }, 300);
    c.form.Button4Click();  // a speed test, or a text, would mix its bytes with the file's
    CHECK_EQ(c.Log().back(), std::string("Speed PC -> PIC: a file is being sent; wait for its end, or press Escape to stop it."));
    c.Sent("x");
    CHECK_EQ(c.Log().back(), std::string("Send: a file is being sent; wait for its end, or press Escape to stop it."));
    CHECK(c.form.Edit1KeyDown(TEditKey::Escape));
    CHECK(!c.form.Job && memo->status.empty());
    CHECK(StartsWith(c.Log().back(), "Send File: tst_serial-send.bin stopped: " + std::to_string(PortBytesWritten(A) - before) + " of 600000 bytes sent"));
    // A file that is not there is said, and nothing goes.
    sendFile("no-such-file.bin");
    CHECK(!c.form.Job);
    CHECK_EQ(c.Log().back(), std::string("Send File: no-such-file.bin could not be opened: No such file or directory."));
#if !defined(_WIN32)
    // Nor a pipe, whose open and reads could hold the window for ever, nor a device that never ends.
    const std::string fifo = path + ".fifo";
    CHECK_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string &odd : {fifo, std::string("/dev/zero")}) {
        auto asked = Clock::now();
        sendFile(odd);
        CHECK(!c.form.Job && MsSince(asked) < 500);
        CHECK(c.Log().back().find(" is no file on disk (a folder, a device or a pipe), and nothing was sent.") != std::string::npos);
    }
    std::remove(fifo.c_str());
#endif
    while (!Drain(B, 300).empty()) {
    }
    std::remove(path.c_str());
}

TEST_CASE(the_port_lists_menu_sets_the_modem_lines_pulses_dtr_and_sends_a_break)
{
    if (UnderWine()) SKIP("a pseudo-terminal has no modem lines for Wine to set");
    const std::string record = "tst_serial-lines.txt";
    std::remove(record.c_str());
#if !defined(_WIN32)  // the stand-in's record of what the driver was asked
    setenv("QUORVEL_LINES_RECORD", record.c_str(), 1);
#endif
    Console c;
    std::remove(record.c_str());  // what the opens raised
    auto choose = [&](const std::string &caption) {
        TMenuItem item = Item(c.form.ComboBox1Menu(), caption);
        CHECK(item.Enabled);
        item.OnClick();
    };
    choose("&DTR");
    choose("&RTS");
    CHECK(!Item(c.form.ComboBox1Menu(), "&DTR").Checked && !Item(c.form.ComboBox1Menu(), "&RTS").Checked);
    choose("&DTR");
    CHECK(Item(c.form.ComboBox1Menu(), "&DTR").Checked);
    choose("&Pulse DTR");
    CHECK(!Item(c.form.ComboBox1Menu(), "Send &Break").Enabled);  // one change at a time
    CHECK(c.window.PumpUntil([&] { return !c.form.Timer5->Enabled(); }, 2000) >= 100);
    choose("Send &Break");
    CHECK(c.window.PumpUntil([&] { return !c.form.Timer5->Enabled(); }, 2000) >= 250);
    const std::string port = "Port " + std::to_string(A) + ": ";
    const std::vector<std::string> log = c.Log();
    const std::vector<std::string> said(log.end() - std::min<std::ptrdiff_t>(7, std::ptrdiff_t(log.size())), log.end());
    CHECK(said == std::vector<std::string>({port + "DTR off.", port + "RTS off.", port + "DTR on.", port + "DTR off for a pulse of 100 ms.",
                                           port + "DTR on: the pulse is over.", port + "break for 250 ms.", port + "the break is over."}));
    // The record: each change's time and what it was, and their order.
    std::vector<std::pair<long long, std::string>> changes;
    std::string order;
    auto read = [&] {
        changes.clear(), order.clear();
        std::FILE *f = std::fopen(record.c_str(), "r");
        char text[64];
        long long ms;
        while (f && std::fscanf(f, "%lld %63[^\n]", &ms, text) == 2) changes.emplace_back(ms, text), order += std::string(text) + "|";
        if (f) std::fclose(f);
    };
    read();
    CHECK_EQ(order, std::string("DTR off|RTS off|DTR on|DTR off|DTR on|break on|break off|"));
    CHECK(changes.size() == 7 && changes[4].first - changes[3].first >= 100 && changes[6].first - changes[5].first >= 250);
    // A speed test begun during a break, which would hold it for the test's length,
    // begins once the break is over; a change of port ends a break on its own port.
    std::thread answer([] { Receive(B, 1, 3000), Send(B, std::string(TestVolume, 'd')); });
    choose("Send &Break");
    c.form.Button5Click();
    answer.join();
    choose("Send &Break");
    c.form.ComboBox1->SetItemIndex(B - 1);
    c.form.ComboBox1->OnChange();
    read();
    CHECK_EQ(order.substr(order.find("break off|") + 10), std::string("break on|break off|break on|break off|"));
    CHECK(changes.size() == 11 && changes[8].first - changes[7].first >= 250 && changes[8].first - changes[7].first < 400);
    const std::vector<std::string> after = c.Log();
    CHECK(std::any_of(after.begin(), after.end(), [](const std::string &line) { return StartsWith(line, "Speed PIC -> PC (KB/s): "); }));
    c.form.ComboBox1->SetItemIndex(A - 1);
    c.form.ComboBox1->OnChange();
#if !defined(_WIN32)
    unsetenv("QUORVEL_LINES_RECORD");
#endif
    // A pseudo-terminal as it is: it has no lines, which is said, and the item stays as it was.
    choose("&DTR");
    CHECK_EQ(c.Log().back(), port + "dropping DTR failed (error 1: the port has no modem lines).");
    CHECK(Item(c.form.ComboBox1Menu(), "&DTR").Checked);
    // No port: every item greyed.
    c.form.ComboBox1->SetItemIndex(-1);
    c.form.ComboBox1->OnChange();
    for (const TMenuItem &item : c.form.ComboBox1Menu()) CHECK(item.Separator || !item.Enabled);
    std::remove(record.c_str());
}

TEST_CASE(a_board_gone_while_a_test_drains_the_queue_is_said_as_gone)
{
    if (!CableListens()) SKIP("this cable cannot be pulled out");
    Console c;
    // A send queued before the click finds the board unplugged.
    c.application.queued = [&] {
        TellCable("unplug", A);
        c.window.PumpUntil([&] { return c.Sent("x"), c.form.BoardAway; }, 2000);
    };
    c.form.Button4Click();
    c.application.queued = nullptr;
    CHECK_EQ(c.Log().back(), std::string("Speed PC -> PIC: the board on port " + std::to_string(A) +
                                         " went away; try again once it is back."));
    CHECK(!c.application.busy && c.form.Timer1->Enabled());
    TellCable("plug", A);
    CHECK(c.window.PumpUntil([&] { return PortIsOpen(A); }, 2000) >= 0);
}

TEST_CASE(clearing_the_choice_while_the_board_is_away_stops_the_retrying)
{
    if (!CableListens()) SKIP("this cable cannot be pulled out");
    Console c;
    TellCable("unplug", A);
    CHECK(c.window.PumpUntil([&] { return c.Log().size() == 1; }, 2000) >= 0);
    c.form.ComboBox1->SetItemIndex(-1);
    c.form.ComboBox1->OnChange();
    TellCable("plug", A);
    c.window.Pump(1200);
    CHECK_EQ(c.Log().size(), std::size_t(1));
    CHECK(!PortIsOpen(A));
}

TEST_CASE(hex_to_send_its_bytes_or_the_place_at_fault_and_the_history_as_a_shell_keeps_it)
{
    const struct {
        const char *text;
        std::string bytes;  // or the line after "Not sent: "
        bool good;
    } cases[] = {
        {"0D 0A 00 ff", std::string("\r\n\0\xff", 4), true},
        {"0d0a", "\r\n", true},
        {"  41   42 ", "AB", true},
        {"", "", true},
        {"0G", "\"G\" at character 2 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"41 4", "the byte at character 4 has one digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"4 1", "the byte at character 1 has one digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"0x41", "\"x\" at character 2 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"41,42", "\",\" at character 3 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        // Pasted dumps: what does not print is named, and the line stays one line.
        {"41\t42", "a tab at character 3 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"41 42\r\n", "a line break (CR) at character 6 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
        {"4\x01", "the character 0x01 at character 2 is no hex digit (bytes are two of 0-9 and A-F each, as in 0D 0A).", false},
    };
    for (const auto &c : cases) {
        std::string bytes = "left", why;
        const bool good = HexToBytes(c.text, bytes, why);
        CHECK_EQ(good, c.good);
        CHECK_EQ(good ? bytes : why, good ? c.bytes : "Not sent: " + c.bytes);
        if (!good) CHECK(bytes.empty());
    }
    // The command line: each a run's arguments, what it reads, and how the said text begins.
    const struct {
        std::vector<const char *> args;
        int read;
        TLineEnd end;
        bool hex;
        const char *said;
    } lines[] = {
        {{"--line-end", "crlf", "--hex"}, 0, TLineEnd::CRLF, true, ""},
        {{"--line-end", "cr"}, 0, TLineEnd::CR, false, ""},
        {{"--line-end", "CRLF"}, 2, TLineEnd::None, false, "quorvel: --line-end takes none, cr, lf or crlf, not \"CRLF\"\nusage: "},
        {{"--line-end"}, 2, TLineEnd::None, false, "quorvel: --line-end takes none, cr, lf or crlf\nusage: "},
        {{"--hex", "-x"}, 2, TLineEnd::None, true, "quorvel: unknown option \"-x\"\nusage: "},
        {{"--help", "--bogus"}, 1, TLineEnd::None, false, "usage: quorvel [--line-end none|cr|lf|crlf] [--hex] [--capture FILE] [--capture-text] [--capture-limit SIZE]\n"},
        {{"--capture", "x.bin", "--capture-text", "--capture-limit", "64K"}, 0, TLineEnd::None, false, ""},
        {{"--capture-limit", "0"}, 2, TLineEnd::None, false, "quorvel: --capture-limit takes a size in bytes, or with K, M or G, not \"0\"\nusage: "},
        {{"--capture-limit", "2T"}, 2, TLineEnd::None, false, "quorvel: --capture-limit takes a size in bytes, or with K, M or G, not \"2T\"\nusage: "},
        {{"--capture"}, 2, TLineEnd::None, false, "quorvel: --capture takes a file's name\nusage: "},
    };
    for (const auto &l : lines) {
        std::vector<const char *> argv{"quorvel"};
        argv.insert(argv.end(), l.args.begin(), l.args.end());
        TLineEnd end = TLineEnd::None;
        bool hex = false;
        TCaptureOptions capture;
        std::string said;
        CHECK_EQ(ReadCommandLine(int(argv.size()), argv.data(), end, hex, capture, said), l.read);
        CHECK(end == l.end && hex == l.hex && said.compare(0, std::strlen(l.said), l.said) == 0);
        if (l.args.size() == 5) CHECK(capture.path == "x.bin" && capture.text && capture.limit == 65536);
    }
    CHECK_EQ(LineEndBytes(TLineEnd::CRLF), std::string("\r\n"));

    // The last 100 texts, the same one twice in a row kept once; nothing to recall is no change.
    TSendHistory history;
    std::string shown;
    CHECK(!history.Up("typed", shown) && !history.Down(shown) && !history.Escape(shown));
    for (int i = 0; i < 150; ++i) history.Sent("t" + std::to_string(i)), history.Sent("t" + std::to_string(i));
    int back = 0;
    while (history.Up("typed", shown)) ++back;
    CHECK_EQ(back, 100);
    CHECK_EQ(shown, std::string("t50"));
    CHECK(history.Escape(shown) && shown == "typed" && !history.Recalling());
}

TEST_CASE(speeds_have_two_decimals_seven_digits_and_the_locales_separator)
{
    const struct {
        long double value;
        const char *separator, *shown;
    } cases[] = {
        {1024, ".", "1024.00"},
        {1234.5678L, ".", "1234.57"},
        {123456.789L, ".", "123456.80"},
        {1234567.4L, ".", "1234567.00"},
        {123456789, ".", "1.234568E08"},
        {9999999.5L, ".", "1E07"},  // rounds up into the eighth digit
        {1.5e12L, ".", "1.5E12"},
        {0, ".", "0.00"},
        {0.125L, ".", "0.13"},  // halves round away from zero
        {0.004L, ".", "0.00"},
        {99.999L, ".", "100.00"},
        {1024, ",", "1024,00"},
        {123456789, ",", "1,234568E08"},
    };
    for (const auto &c : cases) CHECK_EQ(FormatSpeed(c.value, c.separator), std::string(c.shown));

    // The upload's second line never contradicts itself: a queue seen empty only after the "*" is capped
    // there, and "as above" is the very figure above. Times from the first write; 250 ms is 1024 KB/s.
    using ms = std::chrono::milliseconds;
    const std::string title = "Speed PC -> PIC to the board (KB/s): ", mark = "; until its \"*\": 1024.00 (after 250.00 ms)";
    const struct {
        std::optional<std::chrono::steady_clock::duration> emptied;
        bool atOnce, known;
        const char *shown;
        long double delivered;
    } lines[] = {
        {ms(200), false, true, "1280.00 (the PC's queue empty after 200.00 ms)", 1280},
        {ms(300), false, true, "1024.00 (the PC's queue read empty only as its \"*\" came)", 1024},
        {ms(200), true, true, "1142.86 (the PC's queue read empty as the last write returned, so as above)", 1142.857L},
        {std::nullopt, false, false, "unknown (the PC's queue had not read empty when its \"*\" came)", 0},
    };
    for (const auto &l : lines) {
        SpeedFigures figures;
        CHECK_EQ(DeliveryLine(l.emptied, ms(250), l.atOnce, 1142.857L, ".", &figures), title + l.shown + mark);
        CHECK(figures.Done && figures.DeliveredKnown == l.known && std::fabs(double(figures.Delivered - l.delivered)) < 0.01);
    }
}

TEST_CASE(division_faults_carry_the_systems_messages_and_the_box_its_rules)
{
    auto fault = [](long double a, long double b) {
        try {
            FloatDivide(a, b);
        } catch (const EMathError &e) {
            return std::string(e.what());
        }
        return std::string();
    };
    CHECK_EQ(fault(262144, 0), std::string("Floating point division by zero"));
    CHECK_EQ(fault(0, 0), std::string("Invalid floating point operation"));
    CHECK_EQ(fault(std::numeric_limits<long double>::max(), 0.5L), std::string("Floating point overflow"));
    CHECK_EQ(fault(262144, 0.25L), std::string());
    CHECK(FloatDivide(FloatDivide(262144, 0.25L), 1024) == 1024.0L);

    // Beyond what a double holds, a speed is the overflow fault, not "inf".
    if (std::numeric_limits<long double>::max_exponent > std::numeric_limits<double>::max_exponent) {
        std::string what;
        try {
            FormatSpeed(std::numeric_limits<long double>::max() / 2, ".");
        } catch (const EMathError &e) {
            what = e.what();
        }
        CHECK_EQ(what, std::string("Floating point overflow"));
    }

    // A full stop goes after a last character that comes after "."; the
    // title is the program file's name, every letter after the first lower.
    const std::pair<const char *, const char *> texts[] = {
        {"Floating point division by zero", "Floating point division by zero."},
        {"Done.", "Done."},
        {"Stop!", "Stop!"},  // '!' comes before '.'
        {"(x)", "(x)"},
        {"a/b", "a/b."},  // '/' comes after '.'
        {"COM 3", "COM 3."},
        {"", ""},
    };
    for (const auto &t : texts) CHECK_EQ(TApplication::FaultText(t.first), std::string(t.second));
    const std::pair<const char *, const char *> titles[] = {
        {"/usr/local/bin/quorvel", "quorvel"},
        {"/opt/QUORVEL.test.exe", "Quorvel"},
        {"/x/MyTool", "Mytool"},
        {"C:\\Program Files\\Quorvel\\QUORVEL.EXE", "Quorvel"},
    };
    for (const auto &t : titles) CHECK_EQ(TApplication::FaultTitle(t.first), std::string(t.second));
}

TEST_CASE(the_log_keeps_every_byte_and_breaks_lines_at_cr_lf_and_cr_lf)
{
    TLogStore log;
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"plain", {"plain"}},
        {"", {""}},
        {"one\r\ntwo\nthree\rfour", {"one", "two", "three", "four"}},
        {"end\n", {"end", ""}},
        {"\n\r\r\n", {"", "", "", ""}},
        {std::string("A\0B\0", 4), {"AB"}},
        {"\x80\xE9\xFF", {"\x80\xE9\xFF"}},
    };
    for (const auto &c : cases) {
        log.Clear();
        CHECK(log.Append(c.first));
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < log.LineCount(); ++i) lines.push_back(log.Line(i));
        CHECK(lines == c.second);
    }
    // Lines that cross the store's chunks come back whole, and the store is
    // the text's own size, give or take a chunk and its index.
    log.Clear();
    std::string big(3 * log.PieceBytes() + 17, 'x');
    big[log.PieceBytes()] = 'y';
    for (int i = 0; i < 3; ++i) CHECK(log.Append(big));
    CHECK_EQ(log.LineCount(), std::size_t(3));
    CHECK(log.Line(1) == big);
    CHECK_EQ(log.Bytes(), std::uint64_t(3 * big.size()));
    CHECK(log.Footprint() < log.Bytes() + log.PieceBytes() + 65536);
    // When memory runs out, what came stays, the log says so once, and it
    // goes on once there is room again.
    log.Clear();
    log.SetLimit(16 * log.PieceBytes());
    const std::string line(1000, 'z');
    std::size_t taken = 0;
    while (log.Append(line)) ++taken;
    CHECK(taken > 1000);
    CHECK(!log.Append(line));
    CHECK_EQ(log.LineCount(), taken + 1);
    CHECK_EQ(log.Line(taken), std::string(TLogStore::FullLine));
    CHECK(log.Line(taken - 1) == line);
    log.SetLimit(~std::uint64_t(0));
    CHECK(log.Append("room again"));
    CHECK_EQ(log.Line(log.LineCount() - 1), std::string("room again"));
    std::uint64_t version = log.Version();
    log.Clear();
    CHECK_EQ(log.LineCount(), std::size_t(0));
    CHECK(log.Version() != version);
}

TEST_CASE(a_store_whose_disk_is_under_its_floor_says_so_once_even_for_small_reads)
{
    // Every page that goes out finds the disk under the floor: the line still
    // goes in (the read that failed needed less room than it), once.
    TLogStore log(1024, 4);
    std::string why;
    CHECK(log.KeepOnDisk(TLogFolder::Base(), why));
    log.SetFloor(std::uint64_t(1) << 62);
    const unsigned char read[64] = {'a', 'b', '\r', '\n'};
    int kept = 0;
    while (kept < 1000 && log.AppendRead(read, sizeof read, kept, kept)) ++kept;
    CHECK(kept > 0 && kept < 1000);
    const std::size_t lines = log.LineCount();
    CHECK(log.Line(lines - 1).rfind(TLogStore::DiskFullLine, 0) == 0);
    for (int i = 0; i < 50; ++i) CHECK(!log.AppendRead(read, sizeof read, 0, 0));
    CHECK_EQ(log.LineCount(), lines);
    CHECK_EQ(log.Received(), std::uint64_t(kept) * sizeof read);
    // Room again: what comes is kept after what was.
    log.SetFloor(0);
    CHECK(log.AppendRead(read, sizeof read, 0, 0));
    CHECK_EQ(log.Read(log.Reads() - 1).line, lines);
#ifndef _WIN32
    // A folder of a console that is gone is removed; a link planted in its place is not followed.
    const std::string base = TLogFolder::Base() + "-planted", victim = base + "-victim";
    mkdir(base.c_str(), 0700), mkdir(victim.c_str(), 0700);
    std::fclose(std::fopen((victim + "/bytes").c_str(), "w"));
    CHECK(symlink(victim.c_str(), (base + "/console-999999999-1").c_str()) == 0);
    mkdir((base + "/console-999999998-1").c_str(), 0700);
    std::string folder;
    CHECK(TLogFolder::Make(base, folder, why));
    struct stat st;
    CHECK(stat((victim + "/bytes").c_str(), &st) == 0);
    CHECK(stat((base + "/console-999999998-1").c_str(), &st) != 0);
    TLogFolder::Remove(folder);
    unlink((base + "/console-999999999-1").c_str()), unlink((victim + "/bytes").c_str());
    rmdir(victim.c_str()), rmdir(base.c_str());
#endif
}

TEST_CASE(a_32_bit_build_keeps_a_log_past_4_gb_on_disk)
{
    // Offsets are 64-bit throughout: reads past 4 GB keep their place, lines
    // and bytes convert there as anywhere. Where pointers are 64-bit, so is everything.
    if (sizeof(void *) > 4) SKIP("a 64-bit build");
    std::error_code error;
    if (std::filesystem::space(std::filesystem::temp_directory_path(error), error).available < (std::uint64_t(6) << 30) && !error)
        SKIP("less than 6 GB free for the log");
    TLogStore log;
    std::string why;
    CHECK(log.KeepOnDisk(TLogFolder::Base(), why));
    CHECK_EQ(why, std::string());
    std::string read(65536, 'x');
    std::uint32_t k = 0;
    auto fill = [&](std::uint32_t n) {
        for (std::size_t j = 0; j < read.size(); ++j) read[j] = j % 100 == 99 ? '\n' : char('a' + (n + j) % 26);
    };
    while (log.Bytes() < (std::uint64_t(4) << 30) + (1 << 20)) {
        fill(k);
        if (!log.AppendRead(reinterpret_cast<const unsigned char *>(read.data()), read.size(), k, k)) break;
        ++k;
    }
    CHECK(log.Bytes() > (std::uint64_t(4) << 30));
    const TLogRead last = log.Read(log.Reads() - 1);
    CHECK(last.at > (std::uint64_t(4) << 30));
    CHECK_EQ(last.count, std::uint32_t(65536));
    fill(k - 1);
    std::string got(read.size(), '\0');
    for (std::size_t j = 0; j < got.size(); ++j) got[j] = char(log.At(last.at + j));
    CHECK(got == read);
    // Its lines: the count line, then lines of 99 characters each.
    CHECK_EQ(log.Line(last.line), std::string("# BytesReceived: 65536"));
    CHECK_EQ(log.Line(last.line + 1), read.substr(0, 99));
    const std::uint64_t at = last.at + 250;
    CHECK(log.PositionOf(at) == (TLogPosition{last.line + 3, 50}));
    CHECK_EQ(log.ByteOf({last.line + 3, 50}), at);
    CHECK_EQ(log.ReadHolding(at), log.Reads() - 1);
    log.Clear();
    CHECK_EQ(log.Bytes(), std::uint64_t(0));
}

TEST_CASE(a_capture_adds_every_byte_to_its_files_notes_gaps_and_stops_at_a_failed_write)
{
    const std::string name = "tst_serial-capture.bin";
    auto part = [&](unsigned k) { return TLogCapture::PartName(name, k); };
    auto put = [](const std::string &path, const std::string &bytes) {
        if (std::FILE *f = std::fopen(path.c_str(), "wb")) std::fwrite(bytes.data(), 1, bytes.size(), f), std::fclose(f);
    };
    auto clean = [&] {
        for (unsigned k = 1; k <= 6; ++k) std::remove(part(k).c_str()), std::remove(TLogCapture::TextName(part(k)).c_str());
    };
    // Three reads (the times are the monotonic clock's, in us), the board away and back before the last.
    const std::string reads[] = {"hello\r\n", std::string("wor\0ld", 6), "!!"}, all = reads[0] + reads[1] + reads[2];
    const std::int64_t at[] = {0, 100000, 1300000}, away = 200000, back = 1200000, wall = 1700000000123000;
    auto times = [&](std::int64_t us, std::int64_t gap) { return TLogLines::TimesText(wall + us, gap); };
#ifdef _WIN32
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    // The text beside a file that held `before`: the gap is placed among the file's bytes.
    auto text = [&](const std::string &before) {
        return before + "# BytesReceived: 7" + times(0, -1) + eol + "hello" + eol + eol + "# BytesReceived: 6" + times(at[1], at[1]) + eol + "world" +
               eol + "# Gap: the board went away after byte " + std::to_string(before.size() + 13) + " of " + name + times(away, away - at[1]) +
               eol + "# Gap: the board is back" + times(back, back - away) + eol + "# BytesReceived: 2" + times(at[2], at[2] - at[1]) + eol + "!!" + eol;
    };
    const struct {
        const char *before;  // the first file's bytes beforehand (nullptr: none)
        bool append, text;
        std::uint64_t limit;
        std::vector<std::string> files;  // each file's bytes after the stop
        const char *stopped;
    } cases[] = {
        {nullptr, true, false, 0, {all}, "15 bytes went to tst_serial-capture.bin."},
        {"old:", true, true, 0, {"old:" + all}, "15 bytes went to tst_serial-capture.bin."},
        {"old:", false, false, 0, {all}, "15 bytes went to tst_serial-capture.bin."},
        {"old:", false, false, 4, {"hell", "o\r\nw", std::string("or\0l", 4), "d!!"}, "15 bytes went to 4 files, tst_serial-capture.bin to tst_serial-capture-0004.bin."},
        // Added to a series that is there: its full files stay as they were.
        {"old:", true, false, 4, {"old:", "hell", "o\r\nw", std::string("or\0l", 4), "d!!"}, "15 bytes went to 5 files, tst_serial-capture.bin to tst_serial-capture-0005.bin."},
    };
    for (const auto &c : cases) {
        clean();
        if (c.before) put(name, c.before), put(TLogCapture::TextName(name), c.before);
        TLogCapture capture;
        CHECK(capture.Start({name, c.text, c.limit}, c.append));
        for (int i = 0; i < 3; ++i) {
            if (i == 2) capture.Gap(true, away, wall + away), capture.Gap(false, back, wall + back);
            capture.Add(reinterpret_cast<const unsigned char *>(reads[i].data()), reads[i].size(), at[i], wall + at[i]);
        }
        CHECK_EQ(capture.Status(), "Capture: " + part(unsigned(c.files.size())) + ", " + std::to_string(c.files.back().size()) + " bytes");
        CHECK_EQ(capture.Stop(), "Capture stopped: " + std::string(c.stopped));
        for (std::size_t k = 0; k < c.files.size(); ++k) CHECK_EQ(FileBytes(part(unsigned(k + 1))), c.files[k]);
        CHECK(!std::fopen(part(unsigned(c.files.size() + 1)).c_str(), "rb"));
        if (c.text) CHECK_EQ(FileBytes(TLogCapture::TextName(name)), text(c.before));
    }

    // Gathered: nothing goes to the file until half a second after the first byte not written,
    // or a megabyte; a read's bytes as they came.
    clean();
    TLogCapture capture;
    CHECK(capture.Start({name}, false));
    auto add = [&](const std::string &bytes, std::int64_t us) { capture.Add(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), us, wall + us); };
    add("a", 0);
    add("b", TLogCapture::FlushUs - 1);
    capture.Flush(TLogCapture::FlushUs - 1);
    CHECK_EQ(FileBytes(name), std::string());
    capture.Flush(TLogCapture::FlushUs);
    CHECK_EQ(FileBytes(name), std::string("ab"));
    add("c", 600000);
    add("d", 600000 + TLogCapture::FlushUs);
    CHECK_EQ(FileBytes(name), std::string("abcd"));
    add(std::string(TLogCapture::Gathered, 'e'), 1200000);
    CHECK_EQ(FileBytes(name).size(), TLogCapture::Gathered + 4);
    capture.Stop();

    // Past 4 GB (a sparse file that holds that much), a size limit there: 64-bit offsets throughout.
    const std::uint64_t big = (std::uint64_t(1) << 32) + 5;
#ifdef _WIN32
    const HANDLE sparse = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = LONGLONG(big);
    CHECK(SetFilePointerEx(sparse, end, nullptr, FILE_BEGIN) && SetEndOfFile(sparse) && CloseHandle(sparse));
#else
    CHECK(truncate(name.c_str(), off_t(big)) == 0);
#endif
    for (const char *bytes : {"12345678", "9"}) {  // added to again: the first file is found full
        CHECK(capture.Start({name, false, big + 4}, true));
        add(bytes, 0);
        capture.Stop();
    }
    CHECK(FileBytes(part(2)) == "56789");
    clean();

    // A start that cannot be made, a disk that is full, a file removed: one line, and the capture stops.
#ifndef _WIN32
    const std::string folder = "tst_serial-capture-folder", removed = folder + "/x.bin";
    mkdir(folder.c_str(), 0700);
#endif
    const struct {
        std::string path;
        std::string said;
    } failures[] = {
        {"tst_serial-no-folder/x.bin", "Capture to tst_serial-no-folder/x.bin did not start: No such file or directory"},
#ifndef _WIN32
        {"/dev/full", "Capture to /dev/full stopped: the write failed (No space left on device). What came before is in the file; the log goes on."},
        {removed, "Capture to " + removed + " stopped: the file was removed. What came before is in the file; the log goes on."},
#endif
    };
    for (const auto &f : failures) {
        const bool started = capture.Start({f.path}, true);
        add("x", 0);
        capture.Flush(TLogCapture::FlushUs);
#ifndef _WIN32
        if (f.path == removed) std::remove(removed.c_str()), rmdir(folder.c_str());
#endif
        add("y", TLogCapture::FlushUs);
        capture.Flush(2 * TLogCapture::FlushUs);
        CHECK(started == (f.said.find("did not start") == std::string::npos) && !capture.Running());
        CHECK_EQ(capture.TakeSaid().substr(0, f.said.size()), f.said);
        CHECK_EQ(capture.Stop(), std::string());  // said once
    }
}

TEST_CASE(received_bytes_make_one_line_without_their_nuls)
{
    const unsigned char bytes[] = {0x41, 0x00, 0x42, '\r', '\n', 0xE9, 0x00};
    CHECK_EQ(ReceivedText(bytes, 3), std::string("AB"));
    CHECK_EQ(ReceivedText(bytes, sizeof bytes), std::string("AB\r\n\xE9"));
    CHECK_EQ(ReceivedText(bytes + 1, 1), std::string());
}

int main(int argc, char **argv)
{
    if (argc == 3) {
        A = BYTE(std::atoi(argv[1]));
        B = BYTE(std::atoi(argv[2]));
    }
    if ((argc != 1 && argc != 3) || A == B || A < 1 || A > PortCount || B < 1 || B > PortCount) {
        std::printf("usage: tst_serial A B (two different ports from 1 to %d, joined)\n", PortCount);
        return 2;
    }
    std::printf("the console on %s, the board on %s%s\n", PortDeviceName(A).c_str(), PortDeviceName(B).c_str(),
                UnderWine() ? " (under Wine)" : "");
    return check::RunAll();
}
