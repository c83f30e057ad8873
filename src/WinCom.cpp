#include "WinCom.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace {

struct PortSlot {
    HANDLE Handle;
    DCB Settings;
    COMSTAT Status;
    DWORD LastError;
    // Whether reads return at once and writes end in time, by rules of ours. A
    // port opened only in part keeps the driver's rules, under which a read
    // can wait until its whole buffer is full (Windows' zero time-outs): such
    // a port is neither read nor written.
    bool ReadsAtOnce;
    bool WritesBounded;
    DWORD SettingsRefused;  // the error with which the driver refused the line settings; 0: taken
    bool WriteUnknown;      // the last write timed out on a driver that does not say what went
};

// Slot of port n is PortTable[n - 1]; empty exactly while the port is closed.
std::unique_ptr<PortSlot> PortTable[PortCount];

DWORD openError = 0;
std::atomic<unsigned long long> bytesRead[PortCount], bytesWritten[PortCount];

PortSlot *Slot(BYTE Port)
{
    if (Port < 1 || Port > PortCount) return nullptr;
    return PortTable[Port - 1].get();
}

bool Refused(DWORD code)
{
    openError = code;
    return false;
}

std::string deviceNames[PortCount];  // a port's name for OpenPort, where not its own

}  // namespace

void SetPortDeviceName(BYTE Port, const std::string &Name)
{
    if (Port >= 1 && Port <= PortCount) deviceNames[Port - 1] = Name;
}

std::string PortDeviceName(BYTE Port)
{
    if (Port >= 1 && Port <= PortCount && !deviceNames[Port - 1].empty()) return deviceNames[Port - 1];
    std::string number = std::to_string(Port);
    return Port < 10 ? "COM" + number : "\\\\.\\COM" + number;
}

std::string PortDevicePath(BYTE Port)
{
    char target[4096];
    // The DOS name of "COMn" or "\\.\COMn"; a path has none, and is itself.
    std::string dos = PortDeviceName(Port);
    if (dos.rfind("\\\\.\\", 0) == 0) dos.erase(0, 4);
    if (QueryDosDeviceA(dos.c_str(), target, sizeof target) == 0) return PortDeviceName(Port);
    return target;
}

DWORD OpenPortError() { return openError; }

bool PortIsOpen(BYTE Port) { return Slot(Port) != nullptr; }

bool OpenPort(BYTE Port, DWORD Baud, BYTE Parity, BYTE DataBits, BYTE StopBits, DWORD TxQueue, DWORD RxQueue)
{
    if (Port < 1 || Port > PortCount) Port = 1;
    if (PortIsOpen(Port)) return true;
    openError = 0;
    PortTable[Port - 1] = std::make_unique<PortSlot>();
    PortSlot *slot = PortTable[Port - 1].get();

    std::string name = PortDeviceName(Port);
    slot->Handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (slot->Handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        PortTable[Port - 1].reset();
        return Refused(code);
    }
    // What the driver keeps, where it says; a record of sane defaults where it does not.
    if (!GetCommState(slot->Handle, &slot->Settings)) {
        std::memset(&slot->Settings, 0, sizeof slot->Settings);
        slot->Settings.XonLim = 2048, slot->Settings.XoffLim = 512;
        slot->Settings.XonChar = 0x11, slot->Settings.XoffChar = 0x13;  // the two must differ
    }
    DCB &s = slot->Settings;
    s.DCBlength = sizeof s;
    s.BaudRate = Baud;
    s.ByteSize = DataBits;
    s.Parity = Parity;
    s.StopBits = StopBits;
    // Every field the console depends on, whatever the last program left:
    // binary, no flow control of either kind, no byte dropped, no error that
    // stops the port until it is cleared.
    s.fBinary = 1;
    s.fParity = Parity != NOPARITY;
    s.fOutxCtsFlow = s.fOutxDsrFlow = s.fDsrSensitivity = 0;
    s.fOutX = s.fInX = 0;
    s.fTXContinueOnXoff = 1;
    s.fErrorChar = s.fNull = s.fAbortOnError = 0;
    // Windows raises neither line by itself, and a board that waits for DTR
    // (a USB stack's "connected") would never answer: both are raised here.
    s.fDtrControl = DTR_CONTROL_ENABLE;
    s.fRtsControl = RTS_CONTROL_ENABLE;
    if (!ApplySettings(Port, s)) {
        DWORD code = slot->LastError;
        // A minimal CDC stack refuses line coding (31 or 87), which means
        // nothing on USB: such a port stays open as it is, its lines raised one by one.
        if (code != ERROR_GEN_FAILURE && code != ERROR_INVALID_PARAMETER) {
            ClosePort(Port);
            return Refused(code);
        }
        slot->SettingsRefused = code;
        EscapeCommFunction(slot->Handle, SETDTR);
        EscapeCommFunction(slot->Handle, SETRTS);
    }
    if (!SetupComm(slot->Handle, RxQueue, TxQueue)) {
        slot->LastError = GetLastError();
        return Refused(slot->LastError);
    }
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;  // every read returns at once with what is waiting
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 10;
    if (!SetCommTimeouts(slot->Handle, &timeouts)) return Refused(GetLastError());
    slot->ReadsAtOnce = slot->WritesBounded = true;
    return true;
}

void ClosePort(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return;
    PurgeOutput(Port);
    PurgeInput(Port);
    CloseHandle(slot->Handle);
    PortTable[Port - 1].reset();
}

bool ApplySettings(BYTE Port, DCB Settings)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    if (!SetCommState(slot->Handle, &Settings)) {
        slot->LastError = GetLastError();
        return false;
    }
    RefreshStatus(Port);
    return true;
}

DWORD PortSettingsRefused(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot ? slot->SettingsRefused : 0;
}

bool PortWriteUnknown(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot && slot->WriteUnknown;
}

bool EscapePort(BYTE Port, DWORD Function)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    if (!EscapeCommFunction(slot->Handle, Function)) {
        slot->LastError = GetLastError();
        return false;
    }
    if (Function == SETDTR || Function == CLRDTR) slot->Settings.fDtrControl = Function == SETDTR ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (Function == SETRTS || Function == CLRRTS) slot->Settings.fRtsControl = Function == SETRTS ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    return true;
}

void RefreshStatus(BYTE Port) { PortResponds(Port); }

bool PortResponds(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    // Also clears a pending line error, so that reads go on.
    if (ClearCommError(slot->Handle, &slot->LastError, &slot->Status)) return true;
    slot->LastError = GetLastError();
    // Only the answers of a device that is gone count: a driver whose
    // ClearCommError always fails must not pass for a board that comes and goes.
    switch (slot->LastError) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_NOT_READY:  // Wine's, for a terminal that hung up
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED: return false;
    default: return true;
    }
}

DWORD BytesWaiting(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return 0;
    RefreshStatus(Port);
    return slot->Status.cbInQue;
}

DWORD WritePort(BYTE Port, const void *Buffer, DWORD Count)
{
    PortSlot *slot = Slot(Port);
    if (!slot || !slot->WritesBounded) return 0;
    DWORD written = 0;
    slot->WriteUnknown = false;
    if (!WriteFile(slot->Handle, Buffer, Count, &written, nullptr)) {
        slot->LastError = GetLastError();
        slot->WriteUnknown = slot->LastError == ERROR_SEM_TIMEOUT;
    }
    bytesWritten[Port - 1].fetch_add(written, std::memory_order_relaxed);
    return written;
}

DWORD WritePortText(BYTE Port, const std::string &Text)
{
    // The text goes through a fixed buffer of 10000 characters and a NUL;
    // a longer text is cut to its first 10000 rather than overrun it.
    char buffer[PortTextLimit + 1];
    DWORD length = DWORD(std::min<std::size_t>(Text.size(), PortTextLimit));
    std::memcpy(buffer, Text.data(), length);
    buffer[length] = 0;
    return WritePort(Port, buffer, length);
}

DWORD ReadPort(BYTE Port, void *Buffer, DWORD Count)
{
    PortSlot *slot = Slot(Port);
    if (!slot || !slot->ReadsAtOnce) return 0;
    DWORD got = 0;
    if (!ReadFile(slot->Handle, Buffer, Count, &got, nullptr)) RefreshStatus(Port);
    bytesRead[Port - 1].fetch_add(got, std::memory_order_relaxed);
    return got;
}

unsigned long long PortBytesRead(BYTE Port) { return Port >= 1 && Port <= PortCount ? bytesRead[Port - 1].load(std::memory_order_relaxed) : 0; }
unsigned long long PortBytesWritten(BYTE Port)
{
    return Port >= 1 && Port <= PortCount ? bytesWritten[Port - 1].load(std::memory_order_relaxed) : 0;
}

DWORD BytesQueuedOut(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot ? slot->Status.cbOutQue : 0;
}

HANDLE PortHandle(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot ? slot->Handle : INVALID_HANDLE_VALUE;
}

DCB PortSettings(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot ? slot->Settings : DCB{};
}

DWORD PortLastError(BYTE Port)
{
    PortSlot *slot = Slot(Port);
    return slot ? slot->LastError : 0;
}

static bool Purge(BYTE Port, DWORD Flags)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    if (PurgeComm(slot->Handle, Flags)) return true;
    slot->LastError = GetLastError();
    return false;
}

bool PurgeInput(BYTE Port) { return Purge(Port, PURGE_RXABORT | PURGE_RXCLEAR); }

bool PurgeOutput(BYTE Port) { return Purge(Port, PURGE_TXABORT | PURGE_TXCLEAR); }

bool GetPortTimeouts(BYTE Port, COMMTIMEOUTS &Timeouts)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    if (GetCommTimeouts(slot->Handle, &Timeouts)) return true;
    slot->LastError = GetLastError();
    return false;
}

bool SetPortTimeouts(BYTE Port, const COMMTIMEOUTS &Timeouts)
{
    PortSlot *slot = Slot(Port);
    if (!slot) return false;
    COMMTIMEOUTS copy = Timeouts;
    if (SetCommTimeouts(slot->Handle, &copy)) {
        slot->ReadsAtOnce = copy.ReadIntervalTimeout == MAXDWORD && copy.ReadTotalTimeoutMultiplier == 0 && copy.ReadTotalTimeoutConstant == 0;
        slot->WritesBounded = copy.WriteTotalTimeoutMultiplier != 0 || copy.WriteTotalTimeoutConstant != 0;
        return true;
    }
    slot->LastError = GetLastError();
    return false;
}

void CloseAllPorts()
{
    for (int port = 1; port <= PortCount; ++port)
        if (PortIsOpen(BYTE(port))) ClosePort(BYTE(port));
}
