// The Windows programs' resources, read back from the built programs with
// the Win32 API, as Explorer, the taskbar and Windows itself read them: the
// version and maker, the icon in every size Windows asks for, the manifest.
//   tst_resources VERSION Quorvel.exe quorvel-speed.exe
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "Check.h"

namespace {

std::string version;
std::string programs[2];

// A Unix path under Wine is one on drive Z:.
std::string Windows(std::string path) { return !path.empty() && path[0] == '/' ? "Z:" + path : path; }

std::string VersionString(const std::vector<char> &info, const char *name)
{
    char *value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    return VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void **>(&value), &length) && value ? value : "";
}

// Well-formed XML: every tag closed in order, attributes quoted.
bool WellFormed(const std::string &xml)
{
    std::vector<std::string> open;
    for (std::size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at)) {
        const char *end = xml.compare(at, 4, "<!--") == 0 ? "-->" : xml.compare(at, 2, "<?") == 0 ? "?>" : ">";
        const std::size_t close = xml.find(end, at);
        if (close == std::string::npos) return false;
        std::string tag = xml.substr(at + 1, close - at - 1);
        at = close + std::string(end).size();
        if (tag[0] == '!' || tag[0] == '?') continue;
        std::size_t quotes = 0;
        for (char c : tag) quotes += c == '"';
        if (quotes % 2) return false;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return false;
            open.pop_back();
        } else if (tag.back() != '/') {
            open.push_back(tag.substr(0, tag.find_first_of(" \t\r\n")));
        }
    }
    return open.empty();
}

}  // namespace

TEST_CASE(each_program_carries_its_version_maker_icon_and_manifest)
{
    const struct {
        const std::string &path;
        const char *description, *file;
        bool themed;  // Common Controls 6: the window's program, not the console one
    } cases[] = {
        {programs[0], "Quorvel, a test console for USB CDC serial boards", "Quorvel.exe", true},
        {programs[1], "Quorvel's speed tests from the command line", "quorvel-speed.exe", false},
    };
    for (const auto &c : cases) {
        const std::string path = Windows(c.path);
        // What Properties, Details shows.
        DWORD ignored = 0;
        std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
        CHECK(!info.empty() && GetFileVersionInfoA(path.c_str(), 0, DWORD(info.size()), info.data()));
        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        CHECK(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) && fixed);
        const std::string numbers = fixed ? std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) : "";
        CHECK_EQ(numbers, version);
        CHECK_EQ(VersionString(info, "FileVersion"), version);
        CHECK_EQ(VersionString(info, "ProductVersion"), version);
        CHECK_EQ(VersionString(info, "FileDescription"), std::string(c.description));
        CHECK_EQ(VersionString(info, "OriginalFilename"), std::string(c.file));
        CHECK_EQ(VersionString(info, "ProductName"), std::string("Quorvel"));
        CHECK_EQ(VersionString(info, "CompanyName"), std::string("The Quorvel developers"));
        CHECK(!VersionString(info, "LegalCopyright").empty() && !VersionString(info, "InternalName").empty());

        // The icon, as Explorer finds it, in each size, 256 px PNG-compressed.
        CHECK(ExtractIconExA(path.c_str(), -1, nullptr, nullptr, 0) >= 1);
        HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        CHECK(module != nullptr);
        if (!module) continue;
        std::set<int> sizes;
        bool png = false;
        if (HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(14))) {  // RT_GROUP_ICON
            const BYTE *dir = static_cast<const BYTE *>(LockResource(LoadResource(module, group)));
            const int count = dir[4] | dir[5] << 8;
            for (int i = 0; i < count; ++i) {
                const BYTE *entry = dir + 6 + 14 * i;
                const int size = entry[0] ? entry[0] : 256;
                sizes.insert(size);
                HRSRC image = FindResourceA(module, MAKEINTRESOURCEA(entry[12] | entry[13] << 8), MAKEINTRESOURCEA(3));  // RT_ICON
                const BYTE *bytes = image ? static_cast<const BYTE *>(LockResource(LoadResource(module, image))) : nullptr;
                if (size == 256) png = bytes && std::string(reinterpret_cast<const char *>(bytes) + 1, 3) == "PNG";
            }
        }
        CHECK(sizes == std::set<int>({16, 20, 24, 32, 40, 48, 64, 256}));
        CHECK(png);
        HICON big = nullptr;
        UINT id = 0;
        CHECK_EQ(PrivateExtractIconsA(path.c_str(), 0, 256, 256, &big, &id, 1, 0), UINT(1));
        ICONINFO icon{};
        BITMAP bitmap{};
        CHECK(big && GetIconInfo(big, &icon) && GetObjectA(icon.hbmColor, sizeof bitmap, &bitmap) && bitmap.bmWidth == 256);
        if (big) DestroyIcon(big);

        // The manifest Windows reads as it starts the program.
        HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
        CHECK(found != nullptr);
        const std::string manifest = found ? std::string(static_cast<const char *>(LockResource(LoadResource(module, found))), SizeofResource(module, found)) : "";
        CHECK(WellFormed(manifest));
        CHECK(manifest.find("level=\"asInvoker\"") != std::string::npos);
        CHECK(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") != std::string::npos);  // Windows 10 and 11
        CHECK_EQ(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != std::string::npos, c.themed);
        CHECK_EQ(manifest.find("activeCodePage"), std::string::npos);  // the ANSI code page, as the log's text is 8-bit
        FreeLibrary(module);
    }
    CHECK(!WellFormed("<a><b></a></b>") && !WellFormed("<a x=\"1></a>") && WellFormed("<?xml?><a><!-- c --><b/></a>"));
}

int main(int argc, char **argv)
{
    if (argc != 4) return std::printf("usage: tst_resources VERSION Quorvel.exe quorvel-speed.exe\n"), 64;
    version = argv[1], programs[0] = argv[2], programs[1] = argv[3];
    return check::RunAll();
}
