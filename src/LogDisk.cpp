#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64  // a 32-bit build's files go past 4 GB too
#endif
#include "LogDisk.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <new>

#ifdef _WIN32
#include <windef.h>
#include <winbase.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
#endif

const char *const Prefix = "console-";

std::string Megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1 << 20));
    return text;
}

// A folder for each log a process keeps: "console-PID-N".
std::string OwnName()
{
    static std::atomic<unsigned> logs{0};
    return Prefix + std::to_string(ProcessId()) + "-" + std::to_string(++logs);
}

#ifdef _WIN32
std::string ErrorText(DWORD error)
{
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return "No space left on the disk (error " + std::to_string(error) + ")";
    return "error " + std::to_string(error);
}

bool Running(unsigned long pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}
#else
std::string ErrorText(int error) { return std::strerror(error); }

bool Running(unsigned long pid) { return kill(pid_t(pid), 0) == 0 || errno == EPERM; }


// A folder of our own: made if need be, never one a link or another user planted.
bool OwnFolder(const std::string &path, std::string &why)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        why = path + " is not a folder of this user's own";
        return false;
    }
    return true;
}
#endif

}  // namespace

void TLogPages::Shape(std::size_t bytes, std::size_t cached)
{
    if (size != 0) return;
    pageBytes = std::max<std::size_t>(bytes, 16);
    for (shift = 0; (std::size_t(1) << shift) < pageBytes; ++shift) {
    }
    pageBytes = std::size_t(1) << shift;
    cachedPages = std::max<std::size_t>(cached, 4);
    cache.clear(), tail.reset(), pages.clear();
    hintPage = hintOther = ~std::uint64_t(0);
}

bool TLogPages::OnDisk(const std::string &path, std::string &why)
{
    if (size != 0 || OnDisk()) return OnDisk();
    const std::size_t slash = path.find_last_of("/\\");
    folder = slash == std::string::npos ? "." : path.substr(0, slash);
#ifdef _WIN32
    // Gone when closed, by the system, whatever ends the console.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = path + ": " + ErrorText(GetLastError());
        return false;
    }
    file = handle;
#else
    // A file-size limit makes a write fail, not end the console.
    signal(SIGXFSZ, SIG_IGN);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    unlink(path.c_str());  // only this process sees it now, and the system frees it when it ends
    file = fd;
#endif
    pages.clear();
    tail.reset(new char[pageBytes]);
    cache.resize(cachedPages);
    written = 0;
    return true;
}

void TLogPages::Close()
{
    if (!OnDisk()) return;
#ifdef _WIN32
    CloseHandle(file);
#else
    close(file);
#endif
    file = Closed;
}

bool TLogPages::Room(std::uint64_t &free, std::uint64_t &floor) const
{
    floor = Floor;
    if (!OnDisk()) return false;
#ifdef _WIN32
    ULARGE_INTEGER available, total;
    if (!GetDiskFreeSpaceExA(folder.c_str(), &available, &total, nullptr)) return false;
    free = available.QuadPart;
    const std::uint64_t whole = total.QuadPart;
#else
    struct statvfs st;
    if (fstatvfs(file, &st) != 0) return false;
    free = std::uint64_t(st.f_bavail) * st.f_frsize;
    const std::uint64_t whole = std::uint64_t(st.f_blocks) * st.f_frsize;
#endif
    // 1 GB, or a twentieth of a smaller disk.
    if (floor == ~std::uint64_t(0)) floor = std::min<std::uint64_t>(std::uint64_t(1) << 30, whole / 20);
    return true;
}

void TLogPages::WriteOut(std::uint64_t upTo)
{
    if (upTo <= written) return;
    std::uint64_t free, floor;
    if (Floor && Room(free, floor) && free < floor + (upTo - written))
        throw DiskFull(Megabytes(free) + " free, under the " + Megabytes(floor) + " it leaves for the rest of the system");
    const char *data = tail.get() + (written & (pageBytes - 1));
    const std::size_t n = std::size_t(upTo - written);
#ifdef _WIN32
    OVERLAPPED at = {};
    at.Offset = DWORD(written), at.OffsetHigh = DWORD(written >> 32);
    DWORD done = 0;
    if (!WriteFile(file, data, DWORD(n), &done, &at)) throw DiskFull(ErrorText(GetLastError()));
    if (done != n) throw DiskFull(ErrorText(ERROR_DISK_FULL));
#else
    std::size_t done = 0;
    while (done < n) {
        const ssize_t put = pwrite(file, data + done, n - done, off_t(written + done));
        if (put <= 0) throw DiskFull(ErrorText(put < 0 ? errno : ENOSPC));
        done += std::size_t(put);
    }
#endif
    written = upTo;
}

void TLogPages::Append(const void *from, std::size_t n)
{
    const char *data = static_cast<const char *>(from);
    while (n > 0) {
        const std::size_t at = std::size_t(size & (pageBytes - 1));
        if (at == 0 && size + pageBytes > Limit) throw std::bad_alloc();
        if (!OnDisk() && at == 0 && (size >> shift) == pages.size()) pages.push_back(std::unique_ptr<char[]>(new char[pageBytes]));
        char *page = OnDisk() ? tail.get() : pages[std::size_t(size >> shift)].get();
        const std::size_t take = std::min(n, pageBytes - at);
        std::memcpy(page + at, data, take);
        if (OnDisk() && at + take == pageBytes) {
            WriteOut(size + take);  // throws with nothing moved on
            // The page just filled is likely read next (the view is at the end): keep it.
            Slot *oldest = &cache[0];
            for (Slot &slot : cache)
                if (slot.used < oldest->used) oldest = &slot;
            if (!oldest->data) oldest->data.reset(new char[pageBytes]);
            oldest->page = size >> shift, oldest->used = ++uses;
            tail.swap(oldest->data);
            hintPage = hintOther = ~std::uint64_t(0);
        }
        size += take, data += take, n -= take;
    }
}

void TLogPages::Truncate(std::uint64_t bytes)
{
    if (bytes >= size) return;
    if (!OnDisk()) {
        size = bytes;
        pages.resize(std::size_t((size + pageBytes - 1) >> shift));
        hintPage = hintOther = ~std::uint64_t(0);
        return;
    }
    const std::uint64_t page = bytes >> shift;
    if (page != size >> shift) {
        // The page it ends in is filled again: what of it went out comes back.
        const char *kept = Load(page);
        std::memcpy(tail.get(), kept, std::size_t(bytes & (pageBytes - 1)));
    }
    for (Slot &slot : cache)
        if (slot.page != ~std::uint64_t(0) && slot.page >= page) slot.page = ~std::uint64_t(0), slot.used = 0;
    hintPage = hintOther = ~std::uint64_t(0);
    size = bytes, written = std::min(written, bytes);
}

void TLogPages::Clear()
{
    size = written = 0;
    pages.clear();
    for (Slot &slot : cache) slot.page = ~std::uint64_t(0), slot.used = 0, slot.data.reset();
    hintPage = hintOther = ~std::uint64_t(0);
    if (!OnDisk()) return;
#ifdef _WIN32
    LARGE_INTEGER zero = {};
    SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
#else
    if (ftruncate(file, 0) != 0) {
    }  // the room comes back when the console ends
#endif
}

void TLogPages::Flush()
{
    if (!OnDisk()) return;
    try {
        WriteOut(size);
    } catch (const DiskFull &) {
        // Said when a whole page cannot go out.
    }
}

const char *TLogPages::Load(std::uint64_t page) const
{
    if (!OnDisk()) return pages[std::size_t(page)].get();
    if (page == size >> shift) return tail.get();
    // The two pages asked for last stay where they are.
    Slot *oldest = nullptr;
    for (Slot &slot : cache) {
        if (slot.page == page) {
            slot.used = ++uses;
            return slot.data.get();
        }
        if ((slot.page == ~std::uint64_t(0) || (slot.page != hintPage && slot.page != hintOther)) && (!oldest || slot.used < oldest->used))
            oldest = &slot;
    }
    if (!oldest->data) oldest->data.reset(new char[pageBytes]);
    oldest->page = ~std::uint64_t(0);
    char *into = oldest->data.get();
    const std::uint64_t offset = page << shift;
    std::size_t done = 0;
#ifdef _WIN32
    OVERLAPPED at = {};
    at.Offset = DWORD(offset), at.OffsetHigh = DWORD(offset >> 32);
    DWORD got = 0;
    if (ReadFile(file, into, DWORD(pageBytes), &got, &at)) done = got;
#else
    while (done < pageBytes) {
        const ssize_t got = pread(file, into + done, pageBytes - done, off_t(offset + done));
        if (got <= 0) break;
        done += std::size_t(got);
    }
#endif
    // A page the disk cannot give back reads as NULs, which show as nothing.
    std::memset(into + done, 0, pageBytes - done);
    oldest->page = page, oldest->used = ++uses;
    return into;
}

const char *TLogPages::Turn(std::uint64_t at, std::size_t &left) const
{
    const std::uint64_t page = at >> shift;
    const std::size_t offset = std::size_t(at & (pageBytes - 1));
    const std::uint64_t end = std::min<std::uint64_t>((page + 1) << shift, size);
    left = std::size_t(end - at);
    if (page == hintPage) return hintData + offset;
    if (page == hintOther) {
        std::swap(hintPage, hintOther), std::swap(hintData, otherData);
        return hintData + offset;
    }
    const char *data = Load(page);
    hintOther = hintPage, otherData = hintData;
    // The page being filled moves into the cache when full: never hinted at.
    hintPage = OnDisk() && page == size >> shift ? ~std::uint64_t(0) : page, hintData = data;
    if (hintPage == ~std::uint64_t(0)) hintOther = ~std::uint64_t(0);
    return data + offset;
}

void TLogPages::Get(std::uint64_t at, void *out, std::size_t n) const
{
    char *into = static_cast<char *>(out);
    while (n > 0) {
        std::size_t left;
        const char *data = At(at, left);
        const std::size_t take = std::min(n, left);
        std::memcpy(into, data, take);
        into += take, at += take, n -= take;
    }
}

std::uint64_t TLogPages::Held() const
{
    std::uint64_t held = std::uint64_t(pages.size()) * pageBytes + (tail ? pageBytes : 0);
    for (const Slot &slot : cache) held += slot.data ? pageBytes : 0;
    return held;
}

std::string TLogFolder::Base()
{
    if (const char *set = std::getenv("QUORVEL_LOG_FOLDER"); set && *set) return set;
#ifdef _WIN32
    char temp[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof temp, temp);
    return (n > 0 && n < sizeof temp ? std::string(temp, n) : std::string(".\\")) + "Quorvel";
#else
    if (const char *cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') return std::string(cache) + "/quorvel";
    if (const char *home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.cache/quorvel";
    return "/tmp/quorvel-" + std::to_string(getuid());
#endif
}

bool TLogFolder::Make(const std::string &base, std::string &folder, std::string &why)
{
#ifdef _WIN32
    CreateDirectoryA(base.c_str(), nullptr);
    // Folders of consoles that are gone.
    WIN32_FIND_DATAA found;
    const HANDLE list = FindFirstFileA((base + "\\" + Prefix + "*").c_str(), &found);
    if (list != INVALID_HANDLE_VALUE) {
        do {
            const unsigned long pid = std::strtoul(found.cFileName + std::strlen(Prefix), nullptr, 10);
            // A folder, never a junction or link planted there.
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && pid &&
                pid != ProcessId() && !Running(pid))
                Remove(base + "\\" + found.cFileName);
        } while (FindNextFileA(list, &found));
        FindClose(list);
    }
    folder = base + "\\" + OwnName();
    if (!CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        why = folder + ": " + ErrorText(GetLastError());
        return false;
    }
    return true;
#else
    // The cache's own folder may be missing as well.
    const std::size_t slash = base.find_last_of('/');
    if (slash != std::string::npos && slash > 0) mkdir(base.substr(0, slash).c_str(), 0700);
    if (!OwnFolder(base, why)) return false;
    if (DIR *list = opendir(base.c_str())) {
        while (const dirent *entry = readdir(list)) {
            if (std::strncmp(entry->d_name, Prefix, std::strlen(Prefix)) != 0) continue;
            const unsigned long pid = std::strtoul(entry->d_name + std::strlen(Prefix), nullptr, 10);
            // Only a folder of this user's own, never through a link planted in a shared base.
            struct stat st;
            const std::string path = base + "/" + entry->d_name;
            if (pid && pid != ProcessId() && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() && !Running(pid))
                Remove(path);
        }
        closedir(list);
    }
    folder = base + "/" + OwnName();
    return OwnFolder(folder, why);
#endif
}

void TLogFolder::Remove(const std::string &folder)
{
    // Only the files the log makes, in case a console of another kind left them.
    for (const char *name : {"bytes", "segments", "reads"}) {
#ifdef _WIN32
        DeleteFileA((folder + "\\" + name).c_str());
#else
        unlink((folder + "/" + name).c_str());
#endif
    }
#ifdef _WIN32
    RemoveDirectoryA(folder.c_str());
#else
    rmdir(folder.c_str());
#endif
}
