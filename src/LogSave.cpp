// A capture grows past 4 GB on 32-bit systems too.
#define _FILE_OFFSET_BITS 64
#include "LogSave.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

#ifdef _WIN32
// The file system's part of the Windows API only, none of a window's.
#include <fcntl.h>
#include <io.h>
#include <windef.h>
#include <winbase.h>
#include <winnls.h>  // the code page a long name is turned into
#else
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr std::size_t Buffer = std::size_t(1) << 20;  // the C library's own is a few KB

std::string Folder(const std::string &path)
{
#ifdef _WIN32
    const std::size_t slash = path.find_last_of("/\\");
    // "C:log.txt" is in drive C's own current folder.
    if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    if (slash == 2 && path[1] == ':') return path.substr(0, 3);  // a drive's root
#else
    const std::size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// A part of the temporary name that nobody can tell beforehand.
std::string Unguessable()
{
    static std::mt19937_64 mix(std::random_device{}() ^
                               std::uint64_t(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(mix()));
    return text;
}

#ifdef _WIN32
std::string Said(DWORD error, const std::string &folder)
{
    const std::string code = " (error " + std::to_string(error) + ")";
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "No such file or directory" + code;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return "its folder " + folder + " takes no new file" + code;
    case ERROR_FILENAME_EXCED_RANGE: return "the name is too long" + code;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "No space left on the disk" + code;
    default: return "error " + std::to_string(error);
    }
}

// The file a name designates: through its links (and, under Wine, the host's
// own), as the system resolves them when it opens the file, so that a save
// through a link writes what the link points to and leaves the link as it
// was. A name with nothing there yet is itself. False, with why, where what
// is there cannot be told: a link to nothing (it would be replaced by a
// plain file, and what it points to left as it was).
bool Designated(const std::string &path, std::string &at, std::string &why)
{
    at = path;
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        WIN32_FIND_DATAA found;
        const HANDLE listed = FindFirstFileA(path.c_str(), &found);
        if (listed == INVALID_HANDLE_VALUE) return true;  // nothing there: a new file
        FindClose(listed);
        // Listed in its folder yet not there to open: a link to nothing. Anything else
        // that cannot be opened (a file another program holds) is said by the replace.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            why = "it is a link to a file that is not there";
            return false;
        }
        return true;
    }
    // Room for the longest name the system has (a deep folder's passes MAX_PATH), asked
    // for in UTF-16: the ANSI call gives up past MAX_PATH under Wine.
    std::wstring wide(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(handle, &wide[0], DWORD(wide.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    DWORD error = GetLastError();
    CloseHandle(handle);
    std::string final;
    if (n > 0 && n < wide.size()) {
        final.resize(std::size_t(n) * 4);
        const int m = WideCharToMultiByte(CP_ACP, 0, wide.data(), int(n), &final[0], int(final.size()), nullptr, nullptr);
        final.resize(std::size_t(std::max(m, 0)));
        if (m <= 0) error = GetLastError();
    }
    if (final.empty()) {
        why = "the name of the file it leads to could not be read (error " + std::to_string(error) + ")";
        return false;
    }
    // A short name loses the \\?\ the system writes before it; a long one keeps it, so that the calls take it.
    if (final.size() + 32 < MAX_PATH) {
        if (final.rfind("\\\\?\\UNC\\", 0) == 0) final = "\\\\" + final.substr(8);  // \\?\UNC\server\share
        else if (final.rfind("\\\\?\\", 0) == 0) final = final.substr(4);
    }
    at = final;
    return true;
}
#else
std::string Said(int error, const std::string &folder)
{
    const std::string text = std::strerror(error);
    if (error == EACCES || error == EPERM || error == EROFS) return "its folder " + folder + " takes no new file (" + text + ")";
    if (error == ENAMETOOLONG) return "the name is too long (" + text + ")";
    return text;
}

// The file a name designates: the end of its links, so that a save through a
// link writes what the link points to and leaves the link as it was. False,
// with errno, for a name that designates nothing a file can be (a loop of links).
bool Designated(const std::string &path, std::string &at)
{
    at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(at.c_str(), &st) != 0) return errno == ENOENT;
        if (!S_ISLNK(st.st_mode)) return true;
        char to[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), to, sizeof to);
        if (n <= 0 || std::size_t(n) >= sizeof to) return false;
        at = to[0] == '/' ? std::string(to, std::size_t(n)) : Folder(at) + "/" + std::string(to, std::size_t(n));
    }
    errno = ELOOP;
    return false;
}
#endif

}  // namespace

bool TLogFile::Open(const std::string &path)
{
    Abandon();
    why.clear();
#ifdef _WIN32
    if (!Designated(path, target, why)) return false;
    const DWORD attributes = GetFileAttributesA(target.c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    if (!Designated(path, target)) {
        why = Said(errno, Folder(path));
        return false;
    }
    struct stat st;
    const bool folder = stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
    // Said before a byte is written, not once the whole log has been.
    if (folder) {
        why = std::strerror(EISDIR);
        return false;
    }
    for (int tries = 0; tries < 16; ++tries) {
        // Of its own length, so that any name the folder takes can be saved to.
        const std::string folder = Folder(target);
#ifdef _WIN32
        const char *slash = "\\";  // a name that starts \\?\ takes no "/"
#else
        const char *slash = "/";
#endif
        temp = folder + (folder.back() == ':' ? "" : slash) + ".quorvel-" + Unguessable() + ".tmp";
        // Made new, never opened through what is there already (a link planted at the name, a file left by a crash).
#ifdef _WIN32
        const HANDLE handle = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
            why = Said(error, Folder(target));
            return false;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        file = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (!file) {
            fd < 0 ? CloseHandle(handle) : _close(fd);
            DeleteFileA(temp.c_str());
            why = "the file could not be written";
            return false;
        }
#else
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            why = Said(errno, Folder(target));
            return false;
        }
        // The file it replaces keeps its permissions.
        struct stat st;
        if (stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)fchmod(fd, st.st_mode & 0777);
        file = fdopen(fd, "wb");
        if (!file) {
            why = std::strerror(errno);
            close(fd);
            unlink(temp.c_str());
            return false;
        }
#endif
        room.reset(new char[Buffer]);
        std::setvbuf(file, room.get(), _IOFBF, Buffer);
        return true;
    }
    why = "no name beside it was free";
    return false;
}

bool TLogFile::Write(const char *data, std::size_t n)
{
    errno = 0;
    if (std::fwrite(data, 1, n, file) == n) return true;
    why = std::strerror(errno ? errno : EIO);
    return false;
}

bool TLogFile::Commit()
{
    errno = 0;
    const bool flushed = std::fflush(file) == 0 && !std::ferror(file);
    const int error = errno ? errno : EIO;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    room.reset();
    if (!flushed || !closed) {
        why = std::strerror(flushed ? (errno ? errno : EIO) : error);
        std::remove(temp.c_str());
        return false;
    }
#ifdef _WIN32
    // Over a file that is there, its attributes and security stay.
    bool named = GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
                 ReplaceFileA(target.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    if (!named) named = MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!named) why = "the file could not take its name (error " + std::to_string(GetLastError()) + ")";
#else
    const bool named = std::rename(temp.c_str(), target.c_str()) == 0;
    if (!named) why = std::strerror(errno);
#endif
    if (!named) std::remove(temp.c_str());
    return named;
}

void TLogFile::Abandon()
{
    if (!file) return;
    std::fclose(file);
    file = nullptr;
    room.reset();
    std::remove(temp.c_str());
}

bool TAppendFile::Open(const std::string &path, bool empty)
{
    Close();
    why.clear();
    std::string target;
#ifdef _WIN32
    if (!Designated(path, target, why)) return false;
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = std::strerror(EISDIR);
        return false;
    }
    // Others may read it as it grows, and nobody may remove it meanwhile. A
    // link put at the name since it was looked at is opened as itself, and refused.
    const HANDLE h = CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        why = Said(GetLastError(), Folder(target));
        return false;
    }
    handle = h;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool link = GetFileInformationByHandle(h, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    LARGE_INTEGER end{};
    // A device (NUL, a port) has no end to go to.
    const bool disk = GetFileType(h) == FILE_TYPE_DISK;
    if (link || (disk && ((empty && !SetEndOfFile(h)) || !SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END)))) {
        why = link ? "a link was put at its name" : Said(GetLastError(), Folder(target));
        Close();
        return false;
    }
    size = std::uint64_t(end.QuadPart);
#else
    if (!Designated(path, target)) {
        why = Said(errno, Folder(path));
        return false;
    }
    // O_NOFOLLOW: a link put at the name since it was looked at is refused, not
    // followed. O_NONBLOCK while it opens: a pipe with no reader is refused, not waited for.
    fd = open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || fcntl(fd, F_SETFL, O_APPEND) != 0 || (empty && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)) {
        why = std::strerror(errno);
        Close();
        return false;
    }
    size = S_ISREG(st.st_mode) && !empty ? std::uint64_t(st.st_size) : 0;
#endif
    return true;
}

bool TAppendFile::Write(const char *data, std::size_t n)
{
    while (n > 0) {
#ifdef _WIN32
        DWORD put = 0;
        if (!WriteFile(handle, data, DWORD(std::min<std::size_t>(n, std::size_t(1) << 30)), &put, nullptr) || put == 0) {
            why = Said(GetLastError(), "");
            return false;
        }
#else
        const ssize_t put = write(fd, data, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            why = std::strerror(put < 0 ? errno : EIO);
            return false;
        }
#endif
        data += put, n -= std::size_t(put), size += std::uint64_t(put);
    }
    return true;
}

bool TAppendFile::Removed() const
{
#ifdef _WIN32
    return false;  // it is shared with no one who would remove it
#else
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 0;
#endif
}

bool TAppendFile::IsOpen() const
{
#ifdef _WIN32
    return handle != nullptr;
#else
    return fd >= 0;
#endif
}

void TAppendFile::Close()
{
#ifdef _WIN32
    if (handle) CloseHandle(handle);
    handle = nullptr;
#else
    if (fd >= 0) close(fd);
    fd = -1;
#endif
}
