// The port table: the program's whole access to serial ports COM1 to COM20.
// Ports are named by number only; the platform handle never leaves WinCom.cpp.
// Nothing here throws: results are Booleans or byte counts, and a failure keeps
// the platform's error code in the port's slot.
#ifndef QUORVEL_WINCOM_H
#define QUORVEL_WINCOM_H

#include <memory>
#include <string>

#include <windows.h>

constexpr int PortCount = 20;

struct PortSlot {
    HANDLE Handle;
    DCB Settings;
    COMSTAT Status;
    DWORD LastError;
};

// Slot of port n is PortTable[n - 1]; empty exactly while the port is closed.
extern std::unique_ptr<PortSlot> PortTable[PortCount];

bool OpenPort(BYTE Port, DWORD Baud, BYTE Parity, BYTE DataBits, BYTE StopBits, DWORD TxQueue, DWORD RxQueue);
void ClosePort(BYTE Port);
bool PortIsOpen(BYTE Port);
bool ApplySettings(BYTE Port, DCB Settings);
void RefreshStatus(BYTE Port);
DWORD BytesWaiting(BYTE Port);
DWORD WritePort(BYTE Port, const void *Buffer, DWORD Count);
DWORD WritePortText(BYTE Port, const std::string &Text);
DWORD ReadPort(BYTE Port, void *Buffer, DWORD Count);
bool PurgeInput(BYTE Port);
bool PurgeOutput(BYTE Port);
void CloseAllPorts();

// The port's time-out rules, to bound a long transfer's waits for a while.
bool GetPortTimeouts(BYTE Port, COMMTIMEOUTS &Timeouts);
bool SetPortTimeouts(BYTE Port, const COMMTIMEOUTS &Timeouts);
// Refreshes the status as RefreshStatus does, and says whether the device
// behind the port still answers: false once a board has dropped the line or
// been unplugged, though its slot stays open.
bool PortResponds(BYTE Port);

// For messages to the user. The name OpenPort gives the platform ("COM3",
// "\\.\COM12"); the device behind it where the platform tells, else the name.
std::string PortDeviceName(BYTE Port);
std::string PortDevicePath(BYTE Port);
// The platform error code of the last OpenPort that returned false; 0 after one that succeeded.
DWORD OpenPortError();

#endif
