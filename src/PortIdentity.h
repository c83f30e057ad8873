// What is behind a port number: the device it opens and, for a USB board,
// what the board is (vendor and product numbers, serial number, where it is
// plugged in), so that the port list can say it and a board that comes back
// under another number is found again. Read from the system when asked
// (sysfs on Linux, SetupAPI on Windows): never from the 1 ms poll.
#ifndef QUORVEL_PORTIDENTITY_H
#define QUORVEL_PORTIDENTITY_H

#include <string>
#include <vector>

#include "WinKernel.h"

struct TPortIdentity {
    std::string device;    // what the port opens: "/dev/ttyACM0", "COM5"
    bool present = false;  // something is there now
    std::string product;   // the USB product string, or the system's name for the device
    std::string vid, pid;  // four lowercase hex digits each, for a USB device
    std::string serial;    // the USB serial number; "" when it has none
    std::string usbPath;   // where it is plugged in (bus and ports), for one with no serial
    std::string function;  // which of the device's serial functions: its interface ("02"), or FTDI's port letter

    // The board itself, whatever number it has ("04d8:000a serial X", or
    // "04d8:000a at 1-1.2" with no serial), and the function, so that a
    // composite board's two ports are not taken for each other
    // ("... interface 02"); "" where there is no USB identity.
    std::string Key() const;
    // For the port list: the device, then what it is.
    std::string Describe() const;
};

// What is behind port n now; and behind each of ports 1 to 20, asked of the system once.
TPortIdentity PortIdentity(BYTE port);
std::vector<TPortIdentity> PortIdentities();
// The port from 1 to 20 whose board is `key` (TPortIdentity::Key), `first`
// looked at first; 0 where it is on none.
BYTE FindBoard(const std::string &key, BYTE first);

// A Windows device instance ID: "USB\VID_04D8&PID_000A\<serial>", an
// interface of a composite device ("...&MI_00\<generated>"), or FTDI's
// "FTDIBUS\VID_0403+PID_6001+<serial>A\0000". A last part the system made up
// for a device with no unique serial has its shape ("5&2A3B4C5D&0&2"); any
// other is the serial, "&" and all.
struct TUsbInstance {
    std::string vid, pid, serial;
    bool interface = false;  // one function of a composite device: its serial is its parent's
    std::string function;    // that function's interface number ("00"), or FTDI's port letter
};
bool ParseUsbInstanceId(const std::string &id, TUsbInstance &out);

// What SetupAPI tells of one device of the Ports class or (where Windows 8.1
// and earlier put usbser.sys) the Modem class.
struct TSetupDevice {
    std::string portName;      // its "PortName": "COM5"
    std::string busReported;   // the board's own product string (DEVPKEY_Device_BusReportedDeviceDesc)
    std::string friendlyName;  // the system's name: "USB Serial Device (COM5)"
    std::string instanceId, parentId;
    std::string locationPath;  // the first of SPDRP_LOCATION_PATHS: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)"
};
// Fills `id` from the device whose port name is its device's (case aside):
// the board's own product string before the system's name, the serial of
// the composite device a function is part of, and where it is plugged in by
// its location path, which enumeration order does not change. False when no
// device has that name.
bool DescribeFrom(const std::vector<TSetupDevice> &devices, TPortIdentity &id);

// Text the system gave (a device's name, an error message) as UTF-8: on
// Windows from the ANSI code page; elsewhere as it is where it is UTF-8
// already, a byte that is not taken as Latin-1.
std::string Utf8FromSystem(const std::string &text);
// The same repair on its own: valid UTF-8 kept, each other byte as Latin-1.
std::string Utf8Repaired(const std::string &text);

#endif
