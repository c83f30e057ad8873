#include "PortIdentity.h"

#include <cctype>

#include "WinCom.h"

namespace {

std::string Lower(std::string s)
{
    for (char &c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Hex4(const std::string &s) { return s.size() == 4 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos; }

}  // namespace

std::string TPortIdentity::Key() const
{
    if (vid.empty() || pid.empty()) return "";
    const std::string board = vid + ":" + pid;
    if (!serial.empty()) return board + " serial " + serial;
    return usbPath.empty() ? "" : board + " at " + usbPath;
}

std::string TPortIdentity::Describe() const
{
    if (!present) return device + "  (nothing there)";
    std::string text = device;
    if (!product.empty()) text += "  " + product;
    if (!vid.empty()) text += "  " + vid + ":" + pid;
    if (!serial.empty()) text += "  serial " + serial;
    return text;
}

bool ParseUsbInstanceId(const std::string &id, TUsbInstance &out)
{
    out = {};
    const std::size_t slash = id.find('\\'), last = id.rfind('\\');
    if (slash == std::string::npos || last == slash) return false;
    const std::string bus = Lower(id.substr(0, slash)), hardware = Lower(id.substr(slash + 1, last - slash - 1));
    const std::string instance = id.substr(last + 1);
    // The fields of the middle part, split at '&' (USB) or '+' (FTDI).
    const char separator = bus == "ftdibus" ? '+' : '&';
    if (bus != "usb" && bus != "ftdibus") return false;
    std::string vid, pid, ftdiSerial;
    std::size_t at = 0;
    while (at <= hardware.size()) {
        std::size_t end = hardware.find(separator, at);
        if (end == std::string::npos) end = hardware.size();
        const std::string field = hardware.substr(at, end - at);
        if (field.rfind("vid_", 0) == 0) vid = field.substr(4);
        else if (field.rfind("pid_", 0) == 0) pid = field.substr(4);
        else if (field.rfind("mi_", 0) == 0) out.interface = true;
        else if (bus == "ftdibus" && !field.empty()) ftdiSerial = id.substr(slash + 1 + at, end - at);  // as written
        at = end + 1;
    }
    if (!Hex4(vid) || !Hex4(pid)) return false;
    out.vid = vid, out.pid = pid;
    if (bus == "ftdibus") {
        // FTDI's driver adds a letter for the chip's port (A, B, ...).
        if (ftdiSerial.size() > 1) out.serial = ftdiSerial.substr(0, ftdiSerial.size() - 1);
    } else if (!out.interface && !instance.empty() && instance.find('&') == std::string::npos) {
        out.serial = instance;
    }
    return true;
}

BYTE FindBoard(const std::string &key, BYTE first)
{
    if (key.empty()) return 0;
    const std::vector<TPortIdentity> ids = PortIdentities();
    auto is = [&](BYTE port) { return port >= 1 && port <= ids.size() && ids[port - 1].present && ids[port - 1].Key() == key; };
    if (is(first)) return first;
    for (BYTE port = 1; port <= ids.size(); ++port)
        if (is(port)) return port;
    return 0;
}
