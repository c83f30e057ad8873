// The port table on two ports joined like a null-modem cable: what one port
// writes, the other reads. The test is its own far end, so it needs nothing
// but the port table and the comm API under it. The same cases run against
// the POSIX stand-in and, built for Windows, against the real API under Wine.
//
//   tst_nullmodem A B FREE    ports A and B joined, port FREE linked to nothing
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Check.h"
#include "PortTableUse.h"

namespace {

BYTE A = 3, B = 14, Free = 19;

std::string AllByteValues()
{
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    return all;
}

// Both ends open the console's way, for the length of a case.
struct Cable {
    Cable()
    {
        CHECK(OpenConsoleWay(A));
        CHECK(OpenConsoleWay(B));
    }
    ~Cable() { CloseAllPorts(); }
};

}  // namespace

TEST_CASE(opening_sets_the_line_and_names_the_port_as_the_platform_does)
{
    Cable cable;
    if (B >= 10) CHECK_EQ(PortDeviceName(B), "\\\\.\\COM" + std::to_string(B));
    for (BYTE port : {A, B}) {
        if (!PortIsOpen(port)) return;
        const DCB settings = PortSettings(port);
        DCB line{};
        line.DCBlength = sizeof line;
        CHECK(GetCommState(PortHandle(port), &line));
        for (const DCB *dcb : {&settings, static_cast<const DCB *>(&line)}) {
            CHECK_EQ(dcb->BaudRate, DWORD(115200));
            CHECK_EQ(int(dcb->ByteSize), 8);
            CHECK_EQ(int(dcb->Parity), NOPARITY);
            CHECK_EQ(int(dcb->StopBits), ONESTOPBIT);
        }
        COMMTIMEOUTS timeouts{};
        CHECK(GetPortTimeouts(port, timeouts));
        CHECK_EQ(timeouts.ReadIntervalTimeout, DWORD(MAXDWORD));
        CHECK_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, DWORD(0));
        CHECK_EQ(timeouts.WriteTotalTimeoutMultiplier, DWORD(10));
        CHECK_EQ(timeouts.WriteTotalTimeoutConstant, DWORD(10));
    }
    // Opening an open port again touches nothing.
    HANDLE handle = PortHandle(A);
    CHECK(OpenConsoleWay(A));
    CHECK(PortHandle(A) == handle);
}

TEST_CASE(bytes_cross_both_ways_unchanged)
{
    Cable cable;
    CHECK_EQ(WritePortText(A, "hello"), DWORD(5));
    CHECK_EQ(Receive(B, 5), std::string("hello"));
    CHECK_EQ(Drain(B), std::string());  // no terminator, no line end

    // Every byte value, both ways: no echo, and no line-end or flow-control byte is eaten.
    std::string all = AllByteValues();
    CHECK_EQ(WritePort(A, all.data(), 256), DWORD(256));
    CHECK(Receive(B, 256) == all);
    CHECK_EQ(WritePort(B, all.data(), 256), DWORD(256));
    CHECK_EQ(WaitForBytes(A, 256), DWORD(256));
    unsigned char in[64000];
    CHECK_EQ(ReadPort(A, in, sizeof in), DWORD(256));  // one read takes all that waits
    CHECK(std::memcmp(in, all.data(), 256) == 0);

    // A read takes no more than asked; the rest waits for the next.
    CHECK_EQ(WritePortText(B, "0123456789"), DWORD(10));
    CHECK_EQ(WaitForBytes(A, 10), DWORD(10));
    CHECK_EQ(ReadPort(A, in, 4), DWORD(4));
    CHECK_EQ(BytesWaiting(A), DWORD(6));
    CHECK_EQ(ReadPort(A, in, sizeof in), DWORD(6));
    CHECK_EQ(std::string(reinterpret_cast<char *>(in), 6), std::string("456789"));
}

TEST_CASE(an_empty_port_reads_nothing_at_once)
{
    Cable cable;
    unsigned char in[64000];
    auto start = Clock::now();
    for (int i = 0; i < 10; ++i) CHECK_EQ(ReadPort(A, in, sizeof in), DWORD(0));
    CHECK_EQ(BytesWaiting(A), DWORD(0));
    CHECK(MsSince(start) < 500);  // at once, not after a wait
}

TEST_CASE(purging_input_drops_what_is_waiting)
{
    Cable cable;
    CHECK_EQ(WritePortText(B, "stale bytes"), DWORD(11));
    CHECK_EQ(WaitForBytes(A, 11), DWORD(11));
    CHECK(PurgeInput(A));
    CHECK(PurgeOutput(A));
    CHECK_EQ(BytesWaiting(A), DWORD(0));
    CHECK_EQ(WritePortText(B, "new"), DWORD(3));
    CHECK_EQ(Receive(A, 3), std::string("new"));
}

TEST_CASE(a_long_text_is_cut_to_10000_bytes)
{
    Cable cable;
    std::string text(10000, 'a');
    text += "bcdef";
    CHECK_EQ(WritePortText(A, text), DWORD(10000));
    std::string got = Receive(B, 10000, 5000);
    CHECK_EQ(got.size(), std::size_t(10000));
    CHECK_EQ(got.find_first_not_of('a'), std::string::npos);
    CHECK_EQ(Drain(B), std::string());
}

TEST_CASE(a_write_limit_bounds_a_write_the_far_end_does_not_take)
{
    Cable cable;
    COMMTIMEOUTS opened{};
    CHECK(GetPortTimeouts(A, opened));
    COMMTIMEOUTS limited = opened;
    limited.WriteTotalTimeoutMultiplier = 0;
    limited.WriteTotalTimeoutConstant = 300;
    CHECK(SetPortTimeouts(A, limited));

    // B reads nothing: the cable fills, and the write ends at its limit, as
    // a success whose count says how much went out.
    std::string big(1 << 20, 'x');
    auto start = Clock::now();
    DWORD sent = WritePort(A, big.data(), DWORD(big.size()));
    long long took = MsSince(start);
    CHECK(sent > 0);
    CHECK(sent < big.size());
    CHECK(took >= 290);
    CHECK(took < 3000);
    CHECK_EQ(PortLastError(A), DWORD(0));

    // Exactly that much reaches the far end.
    CHECK_EQ(Receive(B, sent, 10000).size(), std::size_t(sent));
    CHECK_EQ(Drain(B, 200), std::string());

    CHECK(SetPortTimeouts(A, opened));
    COMMTIMEOUTS back{};
    CHECK(GetPortTimeouts(A, back));
    CHECK_EQ(back.WriteTotalTimeoutConstant, DWORD(10));
}

TEST_CASE(settings_the_line_refuses_leave_it_as_it_was)
{
    Cable cable;
    if (!PortIsOpen(A)) return;
    const DCB opened = PortSettings(A);
    DCB bad = opened;
    bad.ByteSize = 9;
    CHECK(!ApplySettings(A, bad));
    CHECK(PortLastError(A) != 0);
    bad = opened;
    bad.StopBits = 5;
    CHECK(!ApplySettings(A, bad));
    bad = opened;
    bad.Parity = 9;
    CHECK(!ApplySettings(A, bad));

    DCB line{};
    line.DCBlength = sizeof line;
    CHECK(GetCommState(PortHandle(A), &line));
    CHECK_EQ(line.BaudRate, DWORD(115200));
    CHECK_EQ(int(line.ByteSize), 8);

    DCB slow = opened;
    slow.BaudRate = 9600;
    CHECK(ApplySettings(A, slow));
    CHECK(GetCommState(PortHandle(A), &line));
    CHECK_EQ(line.BaudRate, DWORD(9600));
    CHECK(ApplySettings(A, opened));
    CHECK_EQ(WritePortText(A, "still"), DWORD(5));
    CHECK_EQ(Receive(B, 5), std::string("still"));
}

TEST_CASE(closing_frees_the_ports)
{
    {
        Cable cable;
    }
    for (int port = 1; port <= PortCount; ++port) CHECK(!PortIsOpen(BYTE(port)));
    // Closed means released: both open again, and the line still carries bytes.
    Cable again;
    ClosePort(A);
    CHECK(!PortIsOpen(A));
    CHECK(OpenConsoleWay(A));
    CHECK_EQ(WritePortText(A, "again"), DWORD(5));
    CHECK_EQ(Receive(B, 5), std::string("again"));
}

TEST_CASE(a_port_whose_device_goes_away_fails_at_once_and_opens_again_when_it_is_back)
{
    if (!CableListens()) SKIP("this cable cannot be pulled out");
    Cable cable;
    TellCable("unplug", B);
    auto start = Clock::now();
    while (PortResponds(B) && MsSince(start) < 2000) Sleep(1);
    CHECK(!PortResponds(B));
    unsigned char buffer[64] = {};
    start = Clock::now();
    CHECK_EQ(ReadPort(B, buffer, sizeof buffer), DWORD(0));
    CHECK_EQ(WritePort(B, buffer, sizeof buffer), DWORD(0));
    CHECK(PortLastError(B) != 0);
    CHECK_EQ(BytesWaiting(B), DWORD(0));
    CHECK(MsSince(start) < 1000);
    CHECK(PortIsOpen(B));  // the slot stays until the port is closed

    ClosePort(B);
    TellCable("plug", B);
    start = Clock::now();
    bool back = false;
    while (!(back = OpenConsoleWay(B)) && MsSince(start) < 2000) Sleep(10);
    CHECK(back);
    CHECK_EQ(WritePortText(A, "back"), DWORD(4));
    CHECK_EQ(Receive(B, 4), std::string("back"));
}

TEST_CASE(a_port_opens_only_once)
{
    if (UnderWine()) SKIP("Wine opens a comm port as often as it is asked; Windows refuses the second open");
    Cable cable;
    std::string name = PortDeviceName(A);
    SetLastError(0);
    HANDLE second = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(second == INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
#if defined(_WIN32)
    CHECK_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
#else
    // The stand-in says "busy" rather than "denied", so the console can tell
    // a held port from a forbidden one.
    CHECK_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
#endif
}

TEST_CASE(a_missing_port_fails_and_leaves_its_slot_empty)
{
    CHECK(!OpenConsoleWay(Free));
    CHECK(!PortIsOpen(Free));
    CHECK_EQ(OpenPortError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_CASE(a_closed_handle_is_refused)
{
    Cable cable;
    if (!PortIsOpen(A)) return;
    HANDLE stale = PortHandle(A);
    ClosePort(A);
    DCB line{};
    SetLastError(0);
    CHECK(!GetCommState(stale, &line));
    CHECK_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    DWORD written = 7;
    SetLastError(0);
    CHECK(!WriteFile(stale, "x", 1, &written, nullptr));
    CHECK_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CHECK_EQ(written, DWORD(0));
    SetLastError(0);
    CHECK(!ClearCommError(stale, nullptr, nullptr));
    CHECK_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_CASE(port_zero_and_closed_ports_do_nothing)
{
    unsigned char buffer[16] = {};
    for (BYTE port : {BYTE(0), BYTE(6), BYTE(21), BYTE(255)}) {
        CHECK(!PortIsOpen(port));
        CHECK_EQ(BytesWaiting(port), DWORD(0));
        CHECK_EQ(ReadPort(port, buffer, sizeof buffer), DWORD(0));
        CHECK_EQ(WritePort(port, buffer, sizeof buffer), DWORD(0));
        CHECK_EQ(WritePortText(port, "x"), DWORD(0));
        CHECK(!PurgeInput(port));
        CHECK(!PurgeOutput(port));
        CHECK(!ApplySettings(port, DCB{}));
        COMMTIMEOUTS timeouts{};
        CHECK(!GetPortTimeouts(port, timeouts));
        CHECK(!SetPortTimeouts(port, timeouts));
        CHECK(!PortResponds(port));
        RefreshStatus(port);
        ClosePort(port);
    }
    for (int port = 1; port <= PortCount; ++port) CHECK(!PortIsOpen(BYTE(port)));
}

int main(int argc, char **argv)
{
    if (argc == 4) {
        A = BYTE(std::atoi(argv[1]));
        B = BYTE(std::atoi(argv[2]));
        Free = BYTE(std::atoi(argv[3]));
    }
    bool valid = A != B && Free != A && Free != B;
    for (BYTE port : {A, B, Free}) valid = valid && port >= 1 && port <= PortCount;
    if (argc != 1 && argc != 4) valid = false;
    if (!valid) {
        std::printf("usage: tst_nullmodem A B FREE (three different ports from 1 to %d)\n", PortCount);
        return 2;
    }
    std::printf("ports %s and %s joined; %s free%s\n", PortDeviceName(A).c_str(), PortDeviceName(B).c_str(),
                PortDeviceName(Free).c_str(), UnderWine() ? " (under Wine)" : "");
    return check::RunAll();
}
