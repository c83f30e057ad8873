// Where the log keeps what it holds, with no toolkit: bytes appended in pages
// of a fixed size, in memory or in a file of the log's own folder, read back
// through a cache of a bounded size. A file is gone from its folder as soon
// as it is made (on Windows, when it is closed), so that nothing is left
// behind however the console ends.
#ifndef QUORVEL_LOGDISK_H
#define QUORVEL_LOGDISK_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class TLogPages {
public:
    // The disk would not take more: it failed a write, or its free room fell under the floor.
    struct DiskFull : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    TLogPages() = default;
    TLogPages(const TLogPages &) = delete;
    TLogPages &operator=(const TLogPages &) = delete;
    ~TLogPages() { Close(); }

    // Pages of `pageBytes` (a power of two), `cached` of them held beside the
    // one being filled when on disk. Only while empty.
    void Shape(std::size_t pageBytes, std::size_t cached);
    // From now on in a file made at `path`; false, with why, when it cannot be made.
    bool OnDisk(const std::string &path, std::string &why);
    bool OnDisk() const { return file != Closed; }
    void Close();  // the file goes (pages in it can no longer be read)

    std::uint64_t Size() const { return size; }
    std::size_t PageBytes() const { return pageBytes; }
    // Throws std::bad_alloc when memory ran out (or past Limit), DiskFull when
    // the disk would not take it: then Size() is where it was, give or take
    // what Truncate takes back.
    void Append(const void *data, std::size_t n);
    // Back to `bytes`, no more than Size().
    void Truncate(std::uint64_t bytes);
    // Empty again; a file gives its room back at once.
    void Clear();
    // Writes what the file has not yet had.
    void Flush();

    // Byte `at`'s page, where it lies: the bytes from it to its page's end (or
    // Size()) follow it. Valid until two more pages were asked for.
    const char *At(std::uint64_t at, std::size_t &left) const
    {
        // The page asked for last, most often: no call.
        if ((at >> shift) == hintPage) {
            const std::uint64_t end = std::min<std::uint64_t>((hintPage + 1) << shift, size);
            left = std::size_t(end - at);
            return hintData + std::size_t(at & (pageBytes - 1));
        }
        return Turn(at, left);
    }
    void Get(std::uint64_t at, void *out, std::size_t n) const;

    // Memory held now.
    std::uint64_t Held() const;
    // The most the pages may take (tests set it to see memory run out).
    std::uint64_t Limit = ~std::uint64_t(0);
    // Free room the disk must keep: bytes, when a page goes out (0: none).
    std::uint64_t Floor = 0;
    // The disk's free room, and the floor it keeps, where the file is.
    bool Room(std::uint64_t &free, std::uint64_t &floor) const;

private:
    struct Slot {
        std::uint64_t page = ~std::uint64_t(0);
        std::uint64_t used = 0;
        std::unique_ptr<char[]> data;
    };
    void WriteOut(std::uint64_t upTo);  // the tail's bytes up to `upTo` into the file
    const char *Load(std::uint64_t page) const;
    const char *Turn(std::uint64_t at, std::size_t &left) const;  // At, to another page

#ifdef _WIN32
    using Handle = void *;
    static constexpr Handle Closed = nullptr;
#else
    using Handle = int;
    static constexpr Handle Closed = -1;
#endif
    Handle file = Closed;
    std::string folder;
    std::size_t pageBytes = std::size_t(1) << 17;
    unsigned shift = 17;
    std::size_t cachedPages = 256;
    std::uint64_t size = 0;
    std::uint64_t written = 0;  // bytes the file holds
    // In memory: every page. On disk: the page being filled, then the cache.
    std::vector<std::unique_ptr<char[]>> pages;
    std::unique_ptr<char[]> tail;
    mutable std::vector<Slot> cache;
    mutable std::uint64_t uses = 0;
    mutable std::uint64_t hintPage = ~std::uint64_t(0), hintOther = ~std::uint64_t(0);
    mutable const char *hintData = nullptr, *otherData = nullptr;
};

// The folder the log keeps its files in: QUORVEL_LOG_FOLDER where set, else
// the user's cache (Linux) or temporary folder (Windows); one folder in it
// for each running console. Folders left by consoles that no longer run are
// removed as a new one is made.
struct TLogFolder {
    static std::string Base();
    // Makes this process's own folder under `base`; false, with why.
    static bool Make(const std::string &base, std::string &folder, std::string &why);
    static void Remove(const std::string &folder);
};

#endif
