// The port table: the program's whole access to serial ports COM1 to COM20.
// Ports are named by number only; the slots and their handles are private to
// WinCom.cpp (tests alone may ask for a handle).
// Nothing here throws: results are Booleans or byte counts, and a failure keeps
// the platform's error code in the port's slot.
#ifndef QUORVEL_WINCOM_H
#define QUORVEL_WINCOM_H

#include <string>

#include "WinKernel.h"

constexpr int PortCount = 20;
// WritePortText sends at most this many characters of a text.
constexpr DWORD PortTextLimit = 10000;

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
// A port that OpenPort opened only in part (its queues or time-outs could not
// be set) keeps the driver's time-out rules; ReadPort and WritePort leave it
// alone, since under those rules a call may never return.

// The error with which the driver refused an open port's line settings
// (31 or 87: a CDC stack that takes no line coding; the port is open as it
// is); 0 when it took them.
DWORD PortSettingsRefused(BYTE Port);
// Whether the last write timed out on a driver that then says nothing of
// what went (usbser.sys: error 121, and 0 bytes though some may have gone).
bool PortWriteUnknown(BYTE Port);

// EscapeCommFunction on an open port: SETDTR, CLRDTR, SETRTS, CLRRTS,
// SETBREAK or CLRBREAK. The slot's settings follow DTR and RTS, so that
// settings applied later keep them as the user left them.
bool EscapePort(BYTE Port, DWORD Function);

// The port's time-out rules, to bound a long transfer's waits for a while.
bool GetPortTimeouts(BYTE Port, COMMTIMEOUTS &Timeouts);
bool SetPortTimeouts(BYTE Port, const COMMTIMEOUTS &Timeouts);
// Refreshes the status as RefreshStatus does, and says whether the device
// behind the port still answers: false once a board has dropped the line or
// been unplugged, though its slot stays open.
bool PortResponds(BYTE Port);

// The bytes still queued for sending as the last status refresh saw them (0
// where the driver does not say): a loop that asks BytesWaiting anyway needs
// no second question to the driver.
DWORD BytesQueuedOut(BYTE Port);

// For messages to the user. The name OpenPort gives the platform ("COM3",
// "\\.\COM12"); the device behind it where the platform tells, else the name.
std::string PortDeviceName(BYTE Port);
// Gives port n another name for OpenPort to open in place of its own ("" for
// its own again): on Windows "\\.\COMn" for any n, on POSIX a device path.
// For the command-line speed test, which is not held to 20 ports.
void SetPortDeviceName(BYTE Port, const std::string &Name);
std::string PortDevicePath(BYTE Port);
// The platform error code of the last OpenPort that returned false; 0 after one that succeeded.
DWORD OpenPortError();

// For tests of the table itself: an open port's handle, the line settings
// its slot keeps, and the error code of its last failure (INVALID_HANDLE_VALUE,
// an empty record and 0 for a closed port).
HANDLE PortHandle(BYTE Port);
DCB PortSettings(BYTE Port);
DWORD PortLastError(BYTE Port);
// And every byte ReadPort has returned, and WritePort has written, for port n
// since the program started, across its opens: what a test holds the log
// against, and watches move from another thread.
unsigned long long PortBytesRead(BYTE Port);
unsigned long long PortBytesWritten(BYTE Port);

#endif
