// The port table on real pseudo-terminals: the test holds the board's end.
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/sysmacros.h>

#include "Check.h"
#include "HeadlessWindow.h"
#include "PortIdentity.h"
#include "PortTableUse.h"
#include "PtyLink.h"
#include "Serial.h"
#include "Unit1.h"

TEST_CASE(open_applies_the_line_settings_to_the_device)
{
    PortsFolder ports;
    PtyLink board(ports, 3);
    CHECK(OpenConsoleWay(3));
    CHECK(PortIsOpen(3));
    CHECK(PortHandle(3) != INVALID_HANDLE_VALUE);
    const DCB settings = PortSettings(3);
    CHECK_EQ(settings.BaudRate, 115200u);
    CHECK_EQ(int(settings.ByteSize), 8);
    // What the device itself was set to, seen from the board's end.
    termios t;
    CHECK_EQ(tcgetattr(board.master, &t), 0);
    CHECK_EQ(cfgetospeed(&t), speed_t(B115200));
    CHECK_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    CHECK_EQ(t.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    CHECK_EQ(t.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    // Opening again changes nothing.
    DCB slow = settings;
    slow.BaudRate = 9600;
    CHECK(ApplySettings(3, slow));
    CHECK(OpenConsoleWay(3));
    CHECK_EQ(PortSettings(3).BaudRate, 115200u);  // the record keeps what OpenPort set
    DCB now{};
    CHECK(GetCommState(PortHandle(3), &now));
    CHECK_EQ(now.BaudRate, 9600u);
    ClosePort(3);
    CHECK(!PortIsOpen(3));
}

namespace {

// The stand-in playing a Windows driver's ways (QUORVEL_DRIVER) for the life of the object.
struct Driver {
    explicit Driver(const char *ways) { setenv("QUORVEL_DRIVER", ways, 1); }
    ~Driver() { unsetenv("QUORVEL_DRIVER"); }
};

// The window on port 3, whose board the test plays.
struct Window3 {
    Window3()
    {
        window.OnShow();
        form.ComboBox1->SetItemIndex(2);
        form.ComboBox1->OnChange();
    }
    ~Window3() { window.OnClose(), CloseAllPorts(); }
    std::vector<std::string> Log() const
    {
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < form.Memo1->Lines.LineCount(); ++i) lines.push_back(form.Memo1->Lines.Line(i));
        return lines;
    }
    PortsFolder ports;
    PtyLink board{ports, 3};
    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};
};

}  // namespace

TEST_CASE(open_sets_every_field_it_needs_whatever_the_driver_left_and_keeps_a_port_that_refuses_line_coding)
{
    PortsFolder ports;
    PtyLink board(ports, 3);
    const std::string record = ports.root + "/lines";
    setenv("QUORVEL_LINES_RECORD", record.c_str(), 1);
    const struct {
        const char *ways;
        bool opens;
        DWORD refused;
    } cases[] = {{"settings-left", true, 0}, {"no-state", true, 0}, {"refuse-settings=31", true, 31},
                 {"refuse-settings=87,settings-left", true, 87}, {"refuse-settings=5", false, 0}};
    for (const auto &c : cases) {
        std::remove(record.c_str());
        bool opened;
        {
            Driver driver(c.ways);
            opened = OpenConsoleWay(3);
        }
        CHECK_EQ(opened, c.opens);
        CHECK_EQ(PortIsOpen(3), c.opens);
        if (!opened) {
            CHECK_EQ(OpenPortError(), DWORD(ERROR_ACCESS_DENIED));
            continue;
        }
        const DCB s = PortSettings(3);
        CHECK(s.DCBlength == sizeof s && s.fBinary && !s.fParity && !s.fOutxCtsFlow && !s.fOutxDsrFlow && !s.fDsrSensitivity);
        CHECK(!s.fOutX && !s.fInX && !s.fNull && !s.fAbortOnError && s.XonChar != s.XoffChar);
        CHECK(s.fDtrControl == DTR_CONTROL_ENABLE && s.fRtsControl == RTS_CONTROL_ENABLE);
        CHECK_EQ(PortSettingsRefused(3), c.refused);
        // Raised either way: by the settings, or one by one where they were refused.
        std::ifstream lines(record);
        std::string changes, line;
        while (std::getline(lines, line)) changes += line.substr(line.find(' ') + 1) + "|";
        CHECK_EQ(changes, std::string("DTR on|RTS on|"));
        termios t;
        CHECK_EQ(tcgetattr(board.master, &t), 0);
        if (!c.refused) CHECK((t.c_cflag & CRTSCTS) == 0 && (t.c_iflag & (IXON | IXOFF)) == 0);
        ClosePort(3);
    }
    unsetenv("QUORVEL_LINES_RECORD");
    // Through the window: such a port is said once, and works.
    Driver driver("refuse-settings=31");
    Window3 w;
    CHECK(w.Log() == std::vector<std::string>({"Port 3 (" + w.board.device + ") did not take its line settings (error 31); it is open as it is."}));
    w.form.Edit1->SetText("hi");
    w.form.Button1->OnClick();
    CHECK_EQ(w.board.Receive(2), std::string("hi"));
}

TEST_CASE(only_the_answers_of_a_device_that_is_gone_count_as_gone)
{
    PortsFolder ports;
    PtyLink board(ports, 3);
    CHECK(OpenConsoleWay(3));
    for (DWORD code : {1u, 87u, 995u}) {
        Driver driver(("status-fails=" + std::to_string(code)).c_str());
        CHECK(PortResponds(3));
        CHECK_EQ(PortLastError(3), code);
    }
    for (DWORD code : {5u, 6u, 21u, 22u, 31u, 1167u}) {
        Driver driver(("status-fails=" + std::to_string(code)).c_str());
        CHECK(!PortResponds(3));
    }
    {
        Driver driver("gone=22");
        board.Hangup();
        CHECK(!PortResponds(3));
        CHECK_EQ(PortLastError(3), 22u);
    }
    CloseAllPorts();
    // A driver whose every status question fails: the window does not take its board for gone and back.
    Driver driver("status-fails=1");
    Window3 w;
    w.window.Pump(600);
    CHECK(w.Log().empty() && !w.form.BoardAway && PortIsOpen(3));
}

TEST_CASE(a_typed_choice_still_settling_opens_as_soon_as_it_is_used)
{
    PortsFolder ports;
    PtyLink board(ports, 1);
    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};
    window.OnShow();
    form.ComboBox1->SetItemIndex(0);  // "1" typed, on the way to 10 to 19
    form.ComboBox1->Typed = true;
    form.ComboBox1->OnChange();
    form.ComboBox1->Typed = false;
    CHECK(form.ComPort == 1 && !PortIsOpen(1));
    form.Edit1->SetText("hi");
    form.Button1->OnClick();  // used: it opens now, and the text goes
    CHECK(PortIsOpen(1));
    CHECK_EQ(board.Receive(2), std::string("hi"));
    window.OnClose();
    CloseAllPorts();
}

TEST_CASE(a_write_that_times_out_saying_nothing_is_told_as_unknown_and_a_stuck_heartbeat_once)
{
    Driver driver("write-timeout");
    Window3 w;
    // The line is full: the board reads nothing.
    {
        ShortWrites brief(3, std::chrono::milliseconds(200));
        std::string flood(1 << 20, 'f');
        WritePort(3, flood.data(), DWORD(flood.size()));
    }
    w.form.Edit1->SetText("hello");
    w.form.Button1->OnClick();
    CHECK_EQ(w.window.Find<HeadlessWindow::Edit>("Edit2")->text, std::string("?"));
    CHECK_EQ(w.Log().back(), std::string("Send: the write of 5 bytes timed out within 0.06 s (error 121); how many the board took is unknown."));
    w.form.Button2Click();
    w.form.Button6Click();  // the heartbeat, for two beats and more
    w.window.Pump(2600);
    w.form.Button6Click();
    CHECK(w.Log() == std::vector<std::string>({"Heartbeat: the write of \"^\" timed out (error 121); whether it went is unknown. Said once until a beat goes."}));
    // A file ends at such a write: sending the rest again might send part of it twice.
    const std::string path = w.ports.root + "/file.bin";
    std::ofstream(path) << std::string(100000, 'x');
    w.window.openPath = path;
    w.form.SendFile1Click();
    CHECK(w.window.PumpUntil([&] { return !w.form.Job; }, 3000) >= 0);
    const std::string said = "Send File: file.bin: a write timed out (error 121), and the driver does not say how much of it went; before it, 0 of 100000 bytes sent.";
    CHECK_EQ(w.Log().back(), said);
}

TEST_CASE(numbers_out_of_range_open_com1_and_zero_never_has_a_slot)
{
    PortsFolder ports;
    PtyLink board(ports, 1);
    CHECK(OpenConsoleWay(0));
    CHECK(PortIsOpen(1));
    CHECK(!PortIsOpen(0));
    HANDLE first = PortHandle(1);
    CHECK(OpenConsoleWay(25));
    CHECK(PortHandle(1) == first);
    CHECK(!PortIsOpen(25));
    CloseAllPorts();
}

TEST_CASE(names_follow_the_platform_rules)
{
    CHECK_EQ(PortDeviceName(9), std::string("COM9"));
    CHECK_EQ(PortDeviceName(10), std::string("\\\\.\\COM10"));
    CHECK_EQ(PortDeviceName(20), std::string("\\\\.\\COM20"));
    PortsFolder ports;
    PtyLink nine(ports, 9), ten(ports, 10), twenty(ports, 20);
    CHECK(OpenConsoleWay(9));
    CHECK(OpenConsoleWay(10));
    CHECK(OpenConsoleWay(20));
    CHECK_EQ(PortDevicePath(10), ten.device);
    CloseAllPorts();
}

TEST_CASE(a_missing_port_fails_and_leaves_its_slot_empty)
{
    PortsFolder ports;
    ports.Link(7, "/dev/quorvel-no-such-device");
    CHECK(!OpenConsoleWay(7));
    CHECK(!PortIsOpen(7));
    CHECK_EQ(OpenPortError(), DWORD(ERROR_FILE_NOT_FOUND));
    CHECK_EQ(PortDevicePath(7), std::string("/dev/quorvel-no-such-device"));
}

TEST_CASE(bytes_cross_both_ways_unchanged)
{
    PortsFolder ports;
    PtyLink board(ports, 4);
    CHECK(OpenConsoleWay(4));
    CHECK_EQ(WritePortText(4, "hello"), 5u);
    CHECK_EQ(board.Receive(5), std::string("hello"));
    CHECK_EQ(board.Drain(), std::string());  // nothing more: no terminator, no line end

    // Every byte value, both ways: the line is raw (no echo, no line-end or flow-control bytes eaten).
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    CHECK_EQ(WritePort(4, all.data(), 256), 256u);
    CHECK(board.Receive(256) == all);
    CHECK_EQ(board.Drain(), std::string());
    board.Send(all);
    CHECK_EQ(WaitForBytes(4, 256), 256u);
    unsigned char in[64001];
    CHECK_EQ(ReadPort(4, in, sizeof in), 256u);
    CHECK(std::memcmp(in, all.data(), 256) == 0);

    // An empty queue reads nothing, at once.
    auto start = Clock::now();
    CHECK_EQ(ReadPort(4, in, sizeof in), 0u);
    CHECK(MsSince(start) < 1000);  // at once, not after a wait
    CHECK_EQ(BytesWaiting(4), 0u);
    ClosePort(4);
}

TEST_CASE(a_long_text_is_cut_to_10000_bytes)
{
    PortsFolder ports;
    PtyLink board(ports, 5);
    CHECK(OpenConsoleWay(5));
    std::string text(10000, 'a');
    text += "bcdef";
    CHECK_EQ(WritePortText(5, text), 10000u);
    std::string got = board.Receive(10000);
    CHECK_EQ(got.size(), std::size_t(10000));
    CHECK_EQ(got.find_first_not_of('a'), std::string::npos);
    CHECK_EQ(board.Drain(), std::string());
    ClosePort(5);
}

TEST_CASE(one_read_takes_all_that_arrived_up_to_the_receive_queue)
{
    // The line discipline hands over a few KB a read; the queue gathers the rest.
    PortsFolder ports;
    PtyLink board(ports, 7);
    CHECK(OpenConsoleWay(7));
    std::thread sender([&] { board.Send(std::string(40000, 'q')); });  // more than the terminal holds
    // (Each look gathers what the terminal handed over meanwhile; on a busy machine that takes a few.)
    auto start = Clock::now();
    while (BytesWaiting(7) < 40000u && MsSince(start) < 2000) Sleep(10);
    CHECK_EQ(BytesWaiting(7), 40000u);
    std::vector<unsigned char> in(64001);
    CHECK_EQ(ReadPort(7, in.data(), DWORD(in.size())), 40000u);
    sender.join();
    board.Send("later");
    CHECK_EQ(WaitForBytes(7, 5), 5u);
    CHECK(PurgeInput(7));
    CHECK_EQ(BytesWaiting(7), 0u);
    ClosePort(7);
}

TEST_CASE(a_port_opened_in_part_is_neither_read_nor_written)
{
    // Its queue could not be set, so it keeps the driver's time-outs, under
    // which a read waits until its whole buffer is full.
    PortsFolder ports;
    PtyLink board(ports, 6);
    CHECK(!OpenPort(6, 115200, NOPARITY, 8, ONESTOPBIT, 64000, 0xFFFFFFFFu));
    CHECK(PortIsOpen(6));
    board.Send("abc");
    CHECK_EQ(WaitForBytes(6, 3), 3u);
    unsigned char in[64001];
    auto start = Clock::now();
    CHECK_EQ(ReadPort(6, in, sizeof in), 0u);
    CHECK_EQ(WritePort(6, "x", 1), 0u);
    CHECK(MsSince(start) < 1000);
    ClosePort(6);
}

TEST_CASE(purge_input_drops_what_is_waiting)
{
    PortsFolder ports;
    PtyLink board(ports, 8);
    CHECK(OpenConsoleWay(8));
    board.Send("stale bytes");
    CHECK_EQ(WaitForBytes(8, 11), 11u);
    CHECK(PurgeInput(8));
    CHECK(PurgeOutput(8));
    CHECK_EQ(BytesWaiting(8), 0u);
    board.Send("new");
    CHECK_EQ(WaitForBytes(8, 3), 3u);
    ClosePort(8);
}

TEST_CASE(close_all_ports_empties_every_slot_and_frees_the_devices)
{
    PortsFolder ports;
    PtyLink two(ports, 2), seventeen(ports, 17);
    CHECK(OpenConsoleWay(2));
    CHECK(OpenConsoleWay(17));
    CloseAllPorts();
    for (int port = 1; port <= PortCount; ++port) CHECK(!PortIsOpen(BYTE(port)));
    // Closed means released: the devices open again.
    CHECK(OpenConsoleWay(2));
    CHECK(OpenConsoleWay(17));
    CloseAllPorts();
}

TEST_CASE(a_write_limit_bounds_a_write_the_board_does_not_take)
{
    PortsFolder ports;
    PtyLink board(ports, 12);
    CHECK(OpenConsoleWay(12));
    COMMTIMEOUTS opened{};
    CHECK(GetPortTimeouts(12, opened));
    CHECK_EQ(opened.WriteTotalTimeoutMultiplier, 10u);
    CHECK_EQ(opened.WriteTotalTimeoutConstant, 10u);

    // The board reads nothing: a 1 MB write fills the line and then ends at its limit.
    COMMTIMEOUTS limited = opened;
    limited.WriteTotalTimeoutMultiplier = 0;
    limited.WriteTotalTimeoutConstant = 300;
    CHECK(SetPortTimeouts(12, limited));
    std::string big(1 << 20, 'x');
    auto start = Clock::now();
    DWORD sent = WritePort(12, big.data(), DWORD(big.size()));
    CHECK(sent < big.size());
    CHECK(MsSince(start) >= 290);
    CHECK(MsSince(start) < 3000);

    CHECK(SetPortTimeouts(12, opened));
    COMMTIMEOUTS back{};
    CHECK(GetPortTimeouts(12, back));
    CHECK_EQ(back.WriteTotalTimeoutConstant, 10u);
    ClosePort(12);
}

TEST_CASE(a_board_that_hangs_up_gives_failures_not_a_hang)
{
    PortsFolder ports;
    PtyLink board(ports, 11);
    CHECK(OpenConsoleWay(11));
    CHECK(PortResponds(11));
    board.Hangup();
    CHECK(!PortResponds(11));
    unsigned char buffer[64];
    auto start = Clock::now();
    CHECK_EQ(ReadPort(11, buffer, sizeof buffer), 0u);
    CHECK_EQ(WritePort(11, buffer, sizeof buffer), 0u);
    CHECK(PortLastError(11) != 0);
    CHECK_EQ(BytesWaiting(11), 0u);
    CHECK(MsSince(start) < 1000);
    CHECK(PortIsOpen(11));
    ClosePort(11);
    CHECK(!PortIsOpen(11));
}

namespace {

// A sysfs of the test's own: `device` (a pseudo-terminal) made a tty of the
// USB device `usbPath` (its interface 1.`function`), with these numbers and strings.
void FakeUsb(const std::string &sys, const std::string &device, const std::string &usbPath, const std::string &serial, int function = 0)
{
    struct stat st;
    stat(device.c_str(), &st);
    const std::string usb = sys + "/devices/pci0000:00/usb1/" + usbPath, entry = sys + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    const std::string interface = usb + "/" + usbPath + ":1." + std::to_string(function);
    std::system(("mkdir -p '" + interface + "' '" + entry + "'").c_str());
    auto write = [&](const std::string &file, const std::string &value) { std::system(("printf '%s\\n' '" + value + "' >'" + file + "'").c_str()); };
    write(usb + "/idVendor", "04d8"), write(usb + "/idProduct", "000a"), write(usb + "/product", "CDC test board");
    write(interface + "/bInterfaceNumber", "0" + std::to_string(function));
    if (!serial.empty()) write(usb + "/serial", serial);
    unlink((entry + "/device").c_str());
    symlink(interface.c_str(), (entry + "/device").c_str());
}

}  // namespace

TEST_CASE(a_port_is_known_by_its_usb_device_and_a_board_found_under_another_number)
{
    PortsFolder ports;
    const std::string sys = ports.root + "/sys";
    setenv("QUORVEL_SYSFS", sys.c_str(), 1);
    PtyLink withSerial(ports, 1), withoutSerial(ports, 2), plain(ports, 3), second(ports, 7);
    FakeUsb(sys, withSerial.device, "1-1", "RIG-1");
    FakeUsb(sys, withoutSerial.device, "1-2", "");
    FakeUsb(sys, second.device, "1-1", "RIG-1", 2);  // the same board's other serial function
    ports.Link(4, ports.root + "/nothing");
    struct Row {
        BYTE port;
        bool present;
        const char *key, *note;
    } rows[] = {
        {1, true, "04d8:000a serial RIG-1 interface 00", "  CDC test board  04d8:000a  serial RIG-1"},
        {2, true, "04d8:000a at 1-2 interface 00", "  CDC test board  04d8:000a"},
        {7, true, "04d8:000a serial RIG-1 interface 02", "  CDC test board  04d8:000a  serial RIG-1"},
        {3, true, "", ""},  // a pseudo-terminal: its device alone
        {4, false, "", "  (nothing there)"},
    };
    for (const Row &r : rows) {
        const TPortIdentity id = PortIdentity(r.port);
        CHECK_EQ(id.present, r.present);
        CHECK_EQ(id.Key(), std::string(r.key));
        CHECK_EQ(id.Describe(), PortDevicePath(r.port) + r.note);
    }
    CHECK_EQ(int(FindBoard("04d8:000a serial RIG-1 interface 00", 2)), 1);
    CHECK_EQ(int(FindBoard("04d8:000a serial RIG-1 interface 02", 1)), 7);
    CHECK_EQ(int(FindBoard("04d8:000a at 1-2 interface 00", 2)), 2);
    CHECK_EQ(int(FindBoard("04d8:000a serial RIG-2 interface 00", 1)), 0);

    // The console follows its board to the number it comes back under, and
    // takes no other board for it.
    HeadlessApplication application;
    HeadlessWindow window;
    TForm1 form{window};
    window.OnShow();
    form.ComboBox1->OnDropDown();
    CHECK_EQ(form.ComboBox1->Notes.size(), std::size_t(20));
    CHECK(form.ComboBox1->Notes[0].Text == PortIdentity(1).Describe() && !form.ComboBox1->Notes[0].Dimmed);
    CHECK(form.ComboBox1->Notes[3].Dimmed);
    form.ComboBox1->SetItemIndex(0);
    form.ComboBox1->OnChange();
    const std::string was = "Port 1 (" + withSerial.device + ")";
    withSerial.Hangup();
    ports.Link(1, ports.root + "/gone");  // its device gone, whichever terminal takes its number next
    auto log = [&] { return form.Memo1->Lines.Line(form.Memo1->Lines.LineCount() - 1); };
    CHECK(window.PumpUntil([&] { return form.Memo1->Lines.LineCount() == 1; }, 2000) >= 0);
    PtyLink other(ports, 5);
    FakeUsb(sys, other.device, "1-3", "RIG-2");
    window.Pump(1200);
    CHECK(form.ComPort == 1 && form.BoardAway && form.Memo1->Lines.LineCount() == 1);
    PtyLink back(ports, 6);
    FakeUsb(sys, back.device, "1-1", "RIG-1");
    CHECK(window.PumpUntil([&] { return form.Memo1->Lines.LineCount() == 2; }, 2000) >= 0);
    CHECK_EQ(log(), was + ": the board is back as port 6 (" + back.device + ").");
    CHECK(form.ComPort == 6 && form.ComboBox1->ItemIndex() == 5 && PortIsOpen(6) && !PortIsOpen(1) && !form.BoardAway);
    back.Send("echo");
    CHECK(window.PumpUntil([&] { return log() == "echo"; }, 2000) >= 0);
    window.OnClose();
    CloseAllPorts();
    unsetenv("QUORVEL_SYSFS");
}

TEST_CASE(windows_device_ids_give_the_usb_numbers_and_serial)
{
    struct Case {
        const char *id;
        bool usb;
        const char *vid, *pid, *serial;
        bool interface;
        const char *function;
    } cases[] = {
        {"USB\\VID_04D8&PID_000A\\5&2A3B4C5D&0&2", true, "04d8", "000a", "", false, ""},  // made up by the system: no serial
        {"USB\\VID_04D8&PID_000A\\0123456789AB", true, "04d8", "000a", "0123456789AB", false, ""},
        {"USB\\VID_2341&PID_0043&MI_00\\6&1A2B3C4D&0&0000", true, "2341", "0043", "", true, "00"},  // a composite device's function
        {"USB\\VID_2E8A&PID_000A&MI_02\\7&3B1E0A2C&0&0002", true, "2e8a", "000a", "", true, "02"},   // its second serial function
        {"USB\\VID_0483&PID_5740&REV_0200\\206B3785524D", true, "0483", "5740", "206B3785524D", false, ""},
        {"usb\\vid_1a86&pid_7523\\5&1d6f6b0&0&1", true, "1a86", "7523", "", false, ""},
        {"USB\\VID_1209&PID_0001\\LAB&BENCH-7", true, "1209", "0001", "LAB&BENCH-7", false, ""},  // a real serial with "&" in it
        {"USB\\VID_1209&PID_0001\\A&B", true, "1209", "0001", "A&B", false, ""},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", true, "0403", "6001", "A50285BI", false, "A"},
        {"FTDIBUS\\VID_0403+PID_6010+FT4+XY9B\\0000", true, "0403", "6010", "FT4+XY9", false, "B"},  // "+" in the serial, port B
        {"ACPI\\PNP0501\\1", false, "", "", "", false, ""},
        {"USB\\VID_04D8&PID_00\\X", false, "", "", "", false, ""},
        {"USB\\VID_04D8&PID_000A", false, "", "", "", false, ""},
        {"", false, "", "", "", false, ""},
    };
    for (const Case &c : cases) {
        TUsbInstance usb;
        CHECK_EQ(ParseUsbInstanceId(c.id, usb), c.usb);
        CHECK(usb.vid == c.vid && usb.pid == c.pid && usb.serial == c.serial && usb.interface == c.interface && usb.function == c.function);
    }
    // What the system names in its own encoding reaches JSON and Qt as UTF-8: valid UTF-8 as it is, any other byte as Latin-1.
    const std::pair<const char *, const char *> texts[] = {
        {"CDC board", "CDC board"},
        {"Ger\xC3\xA4t \xE2\x82\xAC \xF0\x9F\x94\x8C", "Ger\xC3\xA4t \xE2\x82\xAC \xF0\x9F\x94\x8C"},  // UTF-8 kept
        {"Ger\xE4t", "Ger\xC3\xA4t"},                       // Latin-1 / the ANSI code page
        {"\xC3", "\xC3\x83"},                                // cut short
        {"\xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80", "\xC3\x80\xC2\xAF \xC3\xAD\xC2\xA0\xC2\x80 \xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // overlong, surrogate, past U+10FFFF
    };
    for (const auto &t : texts) CHECK_EQ(Utf8Repaired(t.first), std::string(t.second));
    // What SetupAPI tells, as the port list says it: the board's own product
    // string first, a composite's serial from its parent, where it is plugged
    // in by its location path (a function's interface left to Key()), a modem-class port like any.
    const std::vector<TSetupDevice> devices = {
        {"COM3", "CDC test board", "USB Serial Device (COM3)", "USB\\VID_04D8&PID_000A&MI_00\\6&1A2B3C&0&0000", "USB\\VID_04D8&PID_000A\\QRIG-0001",
         "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USBMI(0)"},
        {"COM4", "", "USB Serial Device (COM4)", "USB\\VID_2E8A&PID_000A\\5&2A3B4C5D&0&2", "", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"},
        {"com12", "", "Standard Modem over USB link", "USB\\VID_04D8&PID_000A\\E1", "", ""},
    };
    const struct {
        const char *device, *product, *key;
    } described[] = {
        {"COM3", "CDC test board", "04d8:000a serial QRIG-0001 interface 00"},
        {"COM4", "USB Serial Device (COM4)", "2e8a:000a at PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"},
        {"COM12", "Standard Modem over USB link", "04d8:000a serial E1"},
    };
    for (const auto &d : described) {
        TPortIdentity id;
        id.device = d.device;
        CHECK(DescribeFrom(devices, id));
        CHECK_EQ(id.product, std::string(d.product));
        CHECK_EQ(id.Key(), std::string(d.key));
    }
    TPortIdentity none;
    none.device = "COM5";
    CHECK(!DescribeFrom(devices, none) && none.product.empty());
}

int main() { return check::RunAll(); }
