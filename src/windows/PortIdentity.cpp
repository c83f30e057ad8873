// What is behind a port on Windows: the device whose "PortName" is the
// port's COM name, among the present devices of the ports class (SetupAPI),
// and its USB parent where it is one function of a composite device.
#include "PortIdentity.h"

#include <windows.h>
// (after windows.h, which they need)
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <vector>

#include "WinCom.h"

namespace {

// The ports class (devguid.h's GUID_DEVCLASS_PORTS), named here so that no
// GUID library needs linking.
const GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string Property(HDEVINFO set, SP_DEVINFO_DATA &device, DWORD property)
{
    char value[512] = "";
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, reinterpret_cast<BYTE *>(value), sizeof value - 1, nullptr))
        return "";
    return value;  // the first string of a list
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return "";
    char name[64] = "";
    DWORD size = sizeof name - 1, type = 0;
    if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name), &size) != ERROR_SUCCESS || type != REG_SZ) name[0] = 0;
    RegCloseKey(key);
    return name;
}

// Under Wine a port may be a link in the prefix's dosdevices folder that no
// DOS device query knows (the simulator's are); whether it is there is asked
// of the Unix file system through the Z: drive, opening nothing.
bool InWinePrefix(const std::string &com)
{
    using UnixName = char *(CDECL *)(const WCHAR *);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto unixName = kernel ? reinterpret_cast<UnixName>(reinterpret_cast<void *>(GetProcAddress(kernel, "wine_get_unix_file_name"))) : nullptr;
    if (!unixName) return false;
    char *drive = unixName(L"C:\\");  // ".../dosdevices/c:/"
    if (!drive) return false;
    std::string path = drive;
    HeapFree(GetProcessHeap(), 0, drive);
    const std::size_t at = path.rfind("/c:");
    if (at == std::string::npos) return false;
    path = "Z:" + path.substr(0, at + 1);
    for (char &c : path)
        if (c == '/') c = '\\';
    // Listed, not looked up: a path that ends in a COM name means the device itself.
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "com*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool listed = false;
    do listed = _stricmp(found.cFileName, com.c_str()) == 0;
    while (!listed && FindNextFileA(search, &found));
    FindClose(search);
    return listed;
}

// The port's name and whether something is there: no device list asked yet.
TPortIdentity Bare(BYTE port)
{
    TPortIdentity id;
    id.device = PortDeviceName(port);
    if (id.device.rfind("\\\\.\\", 0) == 0) id.device.erase(0, 4);
    char target[1024];
    id.present = QueryDosDeviceA(id.device.c_str(), target, sizeof target) != 0 || InWinePrefix(id.device);
    return id;
}

// What the ports class says of each present port, in one pass over its devices.
void Describe(const std::vector<TPortIdentity *> &ids)
{
    if (ids.empty()) return;
    HDEVINFO set = SetupDiGetClassDevsA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const std::string name = PortName(set, device);
        for (TPortIdentity *id : ids) {
            if (_stricmp(name.c_str(), id->device.c_str()) != 0) continue;
            id->product = Property(set, device, SPDRP_FRIENDLYNAME);
            char instance[512] = "";
            TUsbInstance usb;
            if (!SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr) || !ParseUsbInstanceId(instance, usb)) continue;
            id->vid = usb.vid, id->pid = usb.pid, id->serial = usb.serial, id->function = usb.function;
            DEVINST parent = 0;
            char parentId[512] = "";
            TUsbInstance whole;
            if (usb.interface && CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS &&
                CM_Get_Device_IDA(parent, parentId, sizeof parentId, 0) == CR_SUCCESS && ParseUsbInstanceId(parentId, whole))
                id->serial = whole.serial;
            id->usbPath = Property(set, device, SPDRP_LOCATION_INFORMATION);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

TPortIdentity PortIdentity(BYTE port)
{
    TPortIdentity id = Bare(port);
    if (id.present) Describe({&id});
    return id;
}

std::vector<TPortIdentity> PortIdentities()
{
    std::vector<TPortIdentity> ids;
    std::vector<TPortIdentity *> present;
    for (BYTE port = 1; port <= PortCount; ++port) ids.push_back(Bare(port));
    for (TPortIdentity &id : ids)
        if (id.present) present.push_back(&id);
    Describe(present);
    return ids;
}

std::string Utf8FromSystem(const std::string &text)
{
    // SetupAPI's and FormatMessageA's text comes in the ANSI code page.
    if (text.empty()) return text;
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    if (wide <= 0) return Utf8Repaired(text);
    std::wstring units(std::size_t(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &units[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, units.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return Utf8Repaired(text);
    std::string out(std::size_t(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, units.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}
