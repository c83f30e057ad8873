// What is behind a port on Windows: the device whose "PortName" is the
// port's COM name, among the present devices of the ports and modem classes
// (SetupAPI), and its USB parent where it is one function of a composite device.
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
// The modem class (GUID_DEVCLASS_MODEM): usbser.sys's on Windows 8.1 and earlier.
const GUID ModemClass = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
#if !defined(SPDRP_LOCATION_PATHS)
#define SPDRP_LOCATION_PATHS 0x23
#endif

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

// The board's own product string, where the system keeps it (Vista and
// later; looked up by name, so that older systems and Wine go on without it).
std::string BusReported(HDEVINFO set, SP_DEVINFO_DATA &device)
{
    struct PropertyKey {
        GUID fmtid;
        ULONG pid;
    };
    using GetProperty = BOOL(WINAPI *)(HDEVINFO, PSP_DEVINFO_DATA, const PropertyKey *, ULONG *, PBYTE, DWORD, PDWORD, DWORD);
    static const auto get = reinterpret_cast<GetProperty>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("setupapi.dll"), "SetupDiGetDevicePropertyW")));
    static const PropertyKey busReportedDeviceDesc = {{0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
    WCHAR value[256] = L"";
    ULONG type = 0;
    if (!get || !get(set, &device, &busReportedDeviceDesc, &type, reinterpret_cast<PBYTE>(value), sizeof value - sizeof(WCHAR), nullptr, 0))
        return "";
    char text[512] = "";
    WideCharToMultiByte(CP_ACP, 0, value, -1, text, sizeof text - 1, nullptr, nullptr);
    return text;
}

// What one class says of its present devices that have a port name.
void Gather(const GUID &deviceClass, std::vector<TSetupDevice> &devices)
{
    HDEVINFO set = SetupDiGetClassDevsA(&deviceClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        TSetupDevice d;
        d.portName = PortName(set, device);
        if (d.portName.empty()) continue;
        d.friendlyName = Property(set, device, SPDRP_FRIENDLYNAME);
        d.busReported = BusReported(set, device);
        char instance[512] = "", parentId[512] = "";
        if (SetupDiGetDeviceInstanceIdA(set, &device, instance, sizeof instance, nullptr)) d.instanceId = instance;
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS && CM_Get_Device_IDA(parent, parentId, sizeof parentId, 0) == CR_SUCCESS)
            d.parentId = parentId;
        d.locationPath = Property(set, device, SPDRP_LOCATION_PATHS);
        devices.push_back(d);
    }
    SetupDiDestroyDeviceInfoList(set);
}

// What the ports and modem classes say of each present port, in one pass over their devices.
void Describe(const std::vector<TPortIdentity *> &ids)
{
    if (ids.empty()) return;
    std::vector<TSetupDevice> devices;
    Gather(PortsClass, devices);
    Gather(ModemClass, devices);
    for (TPortIdentity *id : ids) DescribeFrom(devices, *id);
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
