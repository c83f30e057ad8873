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

bool All(const std::string &s, const char *of, std::size_t most = std::string::npos)
{
    return !s.empty() && s.size() <= most && s.find_first_not_of(of) == std::string::npos;
}

// The shape of an instance the system made up for a device with no unique
// serial: its parent's depth, a hash, and numbers ("5&2A3B4C5D&0&2").
bool Generated(const std::string &instance)
{
    std::vector<std::string> fields;
    for (std::size_t at = 0;;) {
        const std::size_t end = instance.find('&', at);
        fields.push_back(instance.substr(at, end - at));
        if (end == std::string::npos) break;
        at = end + 1;
    }
    if (fields.size() < 3 || !All(fields[0], "0123456789") || !All(fields[1], "0123456789abcdefABCDEF", 8)) return false;
    for (std::size_t i = 2; i < fields.size(); ++i)
        if (!All(fields[i], "0123456789abcdefABCDEF")) return false;
    return true;
}

}  // namespace

std::string TPortIdentity::Key() const
{
    if (vid.empty() || pid.empty()) return "";
    const std::string board = vid + ":" + pid, of = function.empty() ? "" : " interface " + function;
    if (!serial.empty()) return board + " serial " + serial + of;
    return usbPath.empty() ? "" : board + " at " + usbPath + of;
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

bool DescribeFrom(const std::vector<TSetupDevice> &devices, TPortIdentity &id)
{
    for (const TSetupDevice &d : devices) {
        if (Lower(d.portName) != Lower(id.device)) continue;
        id.product = d.busReported.empty() ? d.friendlyName : d.busReported;
        TUsbInstance usb, whole;
        if (!ParseUsbInstanceId(d.instanceId, usb)) return true;
        id.vid = usb.vid, id.pid = usb.pid, id.serial = usb.serial, id.function = usb.function;
        if (usb.interface && ParseUsbInstanceId(d.parentId, whole)) id.serial = whole.serial;
        // A function's path ends in its interface, which Key() says apart.
        id.usbPath = d.locationPath.substr(0, d.locationPath.find("#USBMI("));
        return true;
    }
    return false;
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
        else if (field.rfind("mi_", 0) == 0) out.interface = true, out.function = field.substr(3);
        else if (bus == "ftdibus" && !field.empty()) {
            // The rest is the serial and its letter, as written, "+" and all.
            ftdiSerial = id.substr(slash + 1 + at, last - slash - 1 - at);
            break;
        }
        at = end + 1;
    }
    if (!Hex4(vid) || !Hex4(pid)) return false;
    out.vid = vid, out.pid = pid;
    if (bus == "ftdibus") {
        // FTDI's driver adds a letter for the chip's port (A, B, ...).
        if (ftdiSerial.size() > 1) out.serial = ftdiSerial.substr(0, ftdiSerial.size() - 1), out.function = ftdiSerial.substr(ftdiSerial.size() - 1);
    } else if (!out.interface && !instance.empty() && !Generated(instance)) {
        out.serial = instance;
    }
    return true;
}

std::string Utf8Repaired(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += char(c), ++i;
            continue;
        }
        // A sequence's length from its lead byte, then no overlong form, no surrogate, nothing past U+10FFFF.
        const std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        bool valid = length && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && length > 2) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0) && !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
        }
        if (valid) {
            out.append(text, i, length), i += length;
        } else {
            out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F)), ++i;
        }
    }
    return out;
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
