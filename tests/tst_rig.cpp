// The port table and the speed tests' serial work on a real USB CDC link:
// the kernel's cdc-acm driver (/dev/ttyACM0, the PC's side) and a USB gadget
// with an ACM function (/dev/ttyGS0, the board's side), joined by dummy_hcd.
// Run in the rig's guest (tests/rig/rig.sh); elsewhere every case is skipped.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <csignal>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "Check.h"
#include "HeadlessWindow.h"
#include "PortIdentity.h"
#include "PortTableUse.h"
#include "PtyLink.h"
#include "Serial.h"
#include "SimProcess.h"
#include "Unit1.h"

namespace {

const char *const BoardEnd = "/dev/ttyGS0", *const PortDevice = "/dev/ttyACM0";
const BYTE Port = 7;

bool OnTheRig()
{
    struct stat st;
    if (std::getenv("QUORVEL_RIG_UDC") && stat(PortDevice, &st) == 0) return true;
    check::Skipped() = "not in the USB CDC rig (tests/rig/rig.sh)";
    return false;
}

bool Exists(const char *path, bool wanted, int ms)
{
    auto start = Clock::now();
    struct stat st;
    while ((stat(path, &st) == 0) != wanted)
        if (MsSince(start) > ms) return false;
        else Sleep(10);
    return true;
}

struct Timed {
    TPerformanceTimer timer{"SendTime"};
    unsigned char rx[64001];
    SpeedTestRun Run(std::chrono::milliseconds stall = StallLimit) { return {Port, timer, rx, sizeof rx, ".", stall}; }
};

}  // namespace

TEST_CASE(open_is_115200_8n1_and_exclusive_on_the_real_driver)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    PtyLink board(ports, Port, BoardEnd, PortDevice);
    ports.Link(Port + 1, PortDevice);
    CHECK(OpenConsoleWay(Port));
    DCB now{};
    CHECK(GetCommState(PortHandle(Port), &now));
    CHECK(now.BaudRate == 115200 && now.ByteSize == 8 && now.Parity == NOPARITY && now.StopBits == ONESTOPBIT);
    // The same device under another number is refused while the first holds it.
    CHECK(!OpenConsoleWay(Port + 1));
    CHECK(!PortIsOpen(Port + 1));
    CloseAllPorts();
}

TEST_CASE(dtr_and_rts_reach_the_board_and_a_break_it_cannot_take_is_refused)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    PtyLink board(ports, Port, BoardEnd, PortDevice);
    // The board's side: its driver logs each request it gets (the rig loads it so).
    int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsg >= 0) lseek(kmsg, 0, SEEK_END);
    CHECK(OpenConsoleWay(Port));
    for (DWORD f : {CLRDTR, SETDTR, CLRRTS, SETRTS}) CHECK(EscapePort(Port, f));
    const bool taken = EscapePort(Port, SETBREAK);
    const DWORD code = PortLastError(Port);
    if (taken) EscapePort(Port, CLRBREAK);
    std::printf("    a break: %s\n", taken ? "taken" : ("refused, error " + std::to_string(code)).c_str());
    CHECK(taken || code == ERROR_NOT_SUPPORTED);
    std::string states;
    char record[1024];
    ssize_t n;
    while (kmsg >= 0 && ((n = read(kmsg, record, sizeof record - 1)) > 0 || (n < 0 && errno == EPIPE))) {
        if (n <= 0) continue;
        record[n] = 0;
        // SET_CONTROL_LINE_STATE: bit 0 DTR, bit 1 RTS.
        if (const char *at = std::strstr(record, "req21.22 v")) states += std::string(at + 10, 4) + " ";
    }
    if (kmsg >= 0) close(kmsg);
    std::printf("    the board saw the line states: %s\n", states.empty() ? "(none logged)" : states.c_str());
    CHECK(states.find("0003 0002 0003 0001 0003") != std::string::npos);
    CloseAllPorts();
}

TEST_CASE(all_256_byte_values_cross_both_ways_and_an_empty_read_returns_at_once)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    PtyLink board(ports, Port, BoardEnd, PortDevice);
    CHECK(OpenConsoleWay(Port));
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    CHECK(Send(Port, all));
    CHECK(board.Receive(256) == all);
    board.Send(all);
    CHECK(Receive(Port, 256) == all);
    unsigned char buffer[64];
    auto start = Clock::now();
    CHECK_EQ(ReadPort(Port, buffer, sizeof buffer), 0u);
    CHECK(MsSince(start) < 100);
    CloseAllPorts();
}

TEST_CASE(a_write_the_board_does_not_take_ends_at_its_limit_and_purge_empties_the_line)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    PtyLink board(ports, Port, BoardEnd, PortDevice);
    CHECK(OpenConsoleWay(Port));
    COMMTIMEOUTS limited{};
    CHECK(GetPortTimeouts(Port, limited));
    limited.WriteTotalTimeoutMultiplier = 0, limited.WriteTotalTimeoutConstant = 300;
    CHECK(SetPortTimeouts(Port, limited));
    std::string big(1 << 20, 'x');
    auto start = Clock::now();
    DWORD sent = WritePort(Port, big.data(), DWORD(big.size()));
    std::printf("      the driver and the gadget took %lu bytes of 1 MB the board did not read\n", (unsigned long)sent);
    CHECK(sent > 0 && sent < big.size());
    CHECK(MsSince(start) < 3000);
    RefreshStatus(Port);
    std::printf("      its transmit queue then reads %lu\n", (unsigned long)BytesQueuedOut(Port));
    CHECK(PurgeOutput(Port));
    CHECK(PurgeInput(Port));
    board.Drain(300);  // what was already in the board's own buffers
    board.Send("new");
    CHECK_EQ(Receive(Port, 3), std::string("new"));
    CloseAllPorts();
}

TEST_CASE(both_speed_tests_against_the_simulator_on_the_gadget)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    ports.Link(Port, PortDevice);
    SimProcess sim({"--device", BoardEnd, "--port", std::to_string(Port)});
    CHECK(OpenConsoleWay(Port));
    CHECK(Send(Port, "hello"));
    CHECK_EQ(Receive(Port, 5), std::string("hello"));
    Timed t;
    for (auto *test : {&UploadTest, &DownloadTest}) {
        std::vector<std::string> lines = test(t.Run());
        for (const std::string &line : lines) std::printf("      %s\n", line.c_str());
        CHECK(!lines.empty() && lines[0].find("(KB/s): ") != std::string::npos);
        CHECK(lines.size() == (test == &UploadTest ? 2u : 1u));
    }
    SimCounts c = sim.Counts();
    CHECK(c.upload == 262144 && c.uploadMarks == 64 && c.requests == 1 && c.sent >= 262144 + 5);
    CloseAllPorts();
}

TEST_CASE(unplugged_mid_transfer_a_test_ends_in_time_and_the_port_opens_again)
{
    if (!OnTheRig()) return;
    PortsFolder ports;
    ports.Link(Port, PortDevice);
    SimProcess sim({"--device", BoardEnd, "--port", std::to_string(Port), "--rate", "64"});
    Timed t;
    for (auto *test : {&DownloadTest, &UploadTest}) {
        CHECK(OpenConsoleWay(Port));
        std::thread pull([] { Sleep(500), RigPlug(false); });
        auto start = Clock::now();
        std::vector<std::string> lines = test(t.Run(std::chrono::milliseconds(1000)));
        pull.join();
        for (const std::string &line : lines) std::printf("      %s\n", line.c_str());
        CHECK(MsSince(start) < 5000);
        CHECK(!lines.empty() && lines[0].find("The line dropped") != std::string::npos);
        CHECK(!PortResponds(Port));
        // Back under its old name once every descriptor of the old device is closed.
        ClosePort(Port);
        CHECK(Exists(PortDevice, false, 2000));
        RigPlug(true);
        CHECK(Exists(PortDevice, true, 5000));
        CHECK(!sim.WaitLine("board back", 5000).empty());
        // The device can show before its driver takes an open: the console
        // tries again twice a second, so a second is allowed here.
        auto back = Clock::now();
        while (!OpenConsoleWay(Port) && MsSince(back) < 1000) {
            std::printf("      open right after the replug: error %lu\n", (unsigned long)PortLastError(Port));
            Sleep(100);
        }
        CHECK(PortIsOpen(Port));
        // The gadget can hand on, after the replug, upload bytes it had taken
        // before (a board that lost its power would not); one holding a "%"
        // sets the board taking an upload until a quiet second ends it. So
        // the echo is asked for until it comes, three times at most.
        std::string got;
        auto echoed = [&] { return got.size() >= 5 && got.compare(got.size() - 5, 5, "again") == 0; };
        for (int tries = 0; tries < 3 && !echoed(); ++tries) {
            CHECK(Send(Port, "again"));
            for (auto asked = Clock::now(); !echoed() && MsSince(asked) < 1500;) got += Receive(Port, 64000, 50);
        }
        CHECK(echoed());
        if (got.size() > 5) std::printf("      %zu stale bytes came back before the echo\n", got.size() - 5);
        ClosePort(Port);
    }
}

namespace {

// The gadget's serial number, set with the board unplugged.
void RigSerial(const std::string &serial)
{
    std::string udc = std::getenv("QUORVEL_RIG_UDC");
    std::ofstream(udc.substr(0, udc.rfind('/')) + "/strings/0x409/serialnumber") << serial << "\n";
}

// Another program holding a device open, as a terminal program left running would.
pid_t Hold(const char *device)
{
    pid_t child = fork();
    if (child == 0) {
        if (open(device, O_RDWR | O_NOCTTY | O_NONBLOCK) < 0) _exit(1);
        pause();
        _exit(0);
    }
    return child;
}

}  // namespace

TEST_CASE(the_board_is_known_by_what_it_is_and_followed_to_the_number_it_comes_back_as)
{
    if (!OnTheRig()) return;
    PortsFolder ports;  // none linked: port n is /dev/ttyACM<n-1>
    const TPortIdentity id = PortIdentity(1);
    CHECK_EQ(id.Describe(), std::string("/dev/ttyACM0  CDC test board  04d8:000a  serial QRIG-0001"));
    CHECK_EQ(id.Key(), std::string("04d8:000a serial QRIG-0001 interface 00"));  // cdc-acm's tty sits on interface 0
    SimProcess sim({"--device", BoardEnd, "--port", "1"});
    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};
    window.OnShow();
    form.ComboBox1->OnDropDown();  // the list's row for port 1
    CHECK(form.ComboBox1->Notes.size() == 20 && form.ComboBox1->Notes[0].Text == id.Describe() && !form.ComboBox1->Notes[0].Dimmed);
    form.ComboBox1->SetItemIndex(0);
    form.ComboBox1->OnChange();
    CHECK(PortIsOpen(1));
    auto logged = [&](const std::string &line, int ms) {
        return window.PumpUntil([&] {
            for (std::size_t i = 0; i < form.Memo1->Lines.LineCount(); ++i)
                if (form.Memo1->Lines.Line(i) == line) return true;
            return false;
        }, ms) >= 0;
    };
    // Unplugged while another program holds its device: it comes back as the next one.
    const pid_t holder = Hold(PortDevice);
    Sleep(200);
    RigPlug(false);
    CHECK(logged("Port 1 (/dev/ttyACM0): the board went away; it will be opened again when it is back.", 3000));
    RigPlug(true);
    CHECK(Exists("/dev/ttyACM1", true, 5000));
    CHECK(logged("Port 1 (/dev/ttyACM0): the board is back as port 2 (/dev/ttyACM1).", 5000));
    CHECK(form.ComPort == 2 && form.ComboBox1->ItemIndex() == 1 && !PortIsOpen(1));
    CHECK(!sim.WaitLine("board back", 5000).empty());
    // The link itself comes up about a second after the device: asked again until it echoes.
    bool echoed = false;
    for (int tries = 0; tries < 4 && !echoed; ++tries) {
        form.Edit1->SetText("hello");
        form.Button1->OnClick();
        echoed = logged("hello", 1000);
    }
    CHECK(echoed);

    // Another board (another serial number) on its number is not it.
    RigPlug(false);
    CHECK(logged("Port 2 (/dev/ttyACM1): the board went away; it will be opened again when it is back.", 3000));
    CHECK(Exists("/dev/ttyACM1", false, 3000));
    RigSerial("QRIG-0002");
    RigPlug(true);
    CHECK(Exists("/dev/ttyACM1", true, 5000));
    window.Pump(2000);
    CHECK(form.ComPort == 2 && form.BoardAway && !PortIsOpen(2));
    RigPlug(false);
    CHECK(Exists("/dev/ttyACM1", false, 3000));
    RigSerial("QRIG-0001");
    RigPlug(true);
    CHECK(logged("Port 2 (/dev/ttyACM1): the board is back.", 5000));

    // As it was for the cases after this one: the board on /dev/ttyACM0.
    window.OnClose();
    CloseAllPorts();
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    RigPlug(false);
    CHECK(Exists("/dev/ttyACM1", false, 3000));
    RigPlug(true);
    CHECK(Exists(PortDevice, true, 5000));
    CHECK(!sim.WaitLine("board back", 5000).empty());
}

int main() { return check::RunAll(); }
