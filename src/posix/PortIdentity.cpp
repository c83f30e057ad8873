// What is behind a port on Linux: the device's entry in sysfs, up to the USB
// device it belongs to.
#include "PortIdentity.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "WinCom.h"

namespace {

// Tests point this at a tree of their own.
std::string Sysfs()
{
    const char *root = std::getenv("QUORVEL_SYSFS");
    return root && *root ? root : "/sys";
}

std::string Attribute(const std::string &dir, const char *name)
{
    std::ifstream in(dir + "/" + name);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ')) value.pop_back();
    return value;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

TPortIdentity PortIdentity(BYTE port)
{
    TPortIdentity id;
    id.device = PortDevicePath(port);
    struct stat st;
    if (stat(id.device.c_str(), &st) != 0) return id;
    id.present = true;
    if (!S_ISCHR(st.st_mode)) return id;
    // The character device's entry, then up from its device to the USB device
    // (the one with a vendor number): a tty sits under an interface, a USB
    // serial converter's one level deeper.
    const std::string entry = Sysfs() + "/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + "/device";
    char resolved[PATH_MAX];
    if (!realpath(entry.c_str(), resolved)) return id;
    std::string dir = resolved;
    const std::string top = Sysfs() + "/devices";
    for (int up = 0; up < 4 && dir.size() > top.size(); ++up) {
        // The interface on the way up: which of a composite board's functions this is.
        if (id.function.empty() && Exists(dir + "/bInterfaceNumber")) id.function = Attribute(dir, "bInterfaceNumber");
        if (Exists(dir + "/idVendor")) {
            id.vid = Attribute(dir, "idVendor"), id.pid = Attribute(dir, "idProduct");
            id.serial = Attribute(dir, "serial");
            id.product = Attribute(dir, "product");
            id.usbPath = dir.substr(dir.rfind('/') + 1);  // bus-port.port..., as the kernel names it
            break;
        }
        dir.erase(dir.rfind('/'));
    }
    return id;
}

std::vector<TPortIdentity> PortIdentities()
{
    std::vector<TPortIdentity> ids;
    for (BYTE port = 1; port <= PortCount; ++port) ids.push_back(PortIdentity(port));
    return ids;
}

// sysfs gives UTF-8 (or what a board wrote in its descriptors).
std::string Utf8FromSystem(const std::string &text) { return Utf8Repaired(text); }
