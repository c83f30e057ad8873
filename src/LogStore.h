// The reception log, with no toolkit: every byte as it came, one copy, and
// where each line of its text starts. The text is what the log shows as
// lines: CR, LF and CR LF end a line, NULs are left out. A read from the
// board keeps its bytes exactly, under its count line, with the time it was
// made. A widget set draws the lines it shows from here.
//
// The bytes, where each addition starts and each read's record go to files
// of the log's own (or stay in memory), read back through a bounded cache.
// What stays in memory is a checkpoint a block of bytes: the first line
// that starts in it, and the NULs before it. A line inside a block is found
// again from the block's bytes, so the log holds about the same memory for
// any content, however long it grows.
#ifndef QUORVEL_LOGSTORE_H
#define QUORVEL_LOGSTORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "LogDisk.h"

// A place in the log's text, as a view's cursor and selection name it.
struct TLogPosition {
    std::size_t line = 0;
    int offset = 0;  // characters into the line
    bool operator<(const TLogPosition &o) const { return line != o.line ? line < o.line : offset < o.offset; }
    bool operator==(const TLogPosition &o) const { return line == o.line && offset == o.offset; }
};

// One read from the board: its count line, the lines its bytes make, where
// the bytes are kept and when the read was made.
struct TLogRead {
    std::size_t line;       // the count line; the bytes' lines follow it up to `end`
    std::size_t end;
    std::uint64_t at;       // the first byte in the store
    std::uint32_t count;
    std::int64_t monotonicUs;
    std::uint64_t shown;    // characters of the bytes' lines
    std::int64_t rowsBefore;  // rows of 16 bytes less the bytes' lines, over the reads before
    std::size_t Rows() const { return (std::size_t(count) + 15) / 16; }
};

class TLogStore {
public:
    // Blocks of `blockBytes` (a power of two), `cachedBlocks` of them held
    // when on disk. Tests make them small, to cross many.
    explicit TLogStore(std::size_t blockBytes = std::size_t(1) << 17, std::size_t cachedBlocks = 256);
    ~TLogStore();
    TLogStore(const TLogStore &) = delete;
    TLogStore &operator=(const TLogStore &) = delete;
    // Keeps the log in a folder of its own under `base` from now on (an empty
    // log only), made now and removed when the store goes. False, with why,
    // when it cannot: the log stays in memory.
    bool KeepOnDisk(const std::string &base, std::string &why);
    const std::string &Folder() const { return folder; }
    // The disk's free room the log leaves, when on disk: ~0 for 1 GB or a
    // twentieth of the disk, the lesser.
    void SetFloor(std::uint64_t bytes);
    // Writes what the files have not had yet.
    void Flush();

    // Adds `text` as the next line: CR, LF and CR LF inside it end a line
    // each, NULs are left out. False when memory or the disk ran out: what is
    // in stays, and the store says so once in a line of its own (a full disk
    // takes nothing more until it has room again, or the log is cleared).
    bool Append(std::string_view text);
    // A read of `count` bytes: its count line ("# BytesReceived: N") and the
    // bytes as they came, made at `monotonicUs` on a clock that never runs
    // backwards; `wallUs` is the wall clock (microseconds since 1970) at the
    // same moment. The first read after a start or Clear ties the two clocks;
    // later reads' times of day follow the monotonic clock, so that their
    // gaps are exact. False, and nothing of the read kept, when memory ran out.
    bool AppendRead(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs);
    void Clear();

    // When line i's read was made (wall clock, microseconds since 1970) and
    // the gap since the read before it (-1: none); false when i is no read's count line.
    bool Stamped(std::size_t i, std::int64_t &wallUs, std::int64_t &gapUs) const;
    // The k-th read's count line and times, in order; false past the last.
    bool ReadAt(std::size_t k, std::size_t &line, std::int64_t &wallUs, std::int64_t &gapUs) const;
    std::size_t Reads() const { return std::size_t(readCount); }
    TLogRead Read(std::size_t k) const;
    // The last read whose count line is before line i (Reads(): none).
    std::size_t ReadBefore(std::size_t i) const;
    // The read that holds byte `at` of the store among its bytes (Reads(): none).
    std::size_t ReadHolding(std::uint64_t at) const;
    std::uint64_t Received() const { return received; }

    std::size_t LineCount() const { return std::size_t(lines); }
    // Line i's characters, without its line end.
    std::string Line(std::size_t i) const;
    // The same into `into`, whose room is used again.
    void Line(std::size_t i, std::string &into) const;
    std::size_t LineLength(std::size_t i) const;
    // Where line i begins among the bytes (the bytes' count past the last line).
    std::uint64_t Offset(std::size_t i) const { return i < lines ? Find(i).start : size; }
    // The line that holds byte `at`, and the characters before it in the line.
    TLogPosition PositionOf(std::uint64_t at) const;
    // Its inverse: the byte a place of the text stands before (a NUL is no
    // character, so it is the character's own byte, not a NUL before it).
    std::uint64_t ByteOf(TLogPosition p) const;
    // Where line i's characters end, before its line end.
    std::uint64_t TextEnd(std::size_t i) const;
    std::uint64_t Bytes() const { return size; }
    std::uint64_t Shown() const { return shown; }  // characters of every line
    // Bytes at..at+n, where they lie in the store (up to a piece's end: at
    // least one byte for n > 0). Valid until two more pieces were asked for.
    std::size_t Piece(std::uint64_t at, std::size_t n, const char *&data) const;
    unsigned char At(std::uint64_t at) const
    {
        std::size_t left;
        return static_cast<unsigned char>(*bytes.At(at, left));
    }
    // Where pieces end: at every multiple of it.
    std::size_t PieceBytes() const { return bytes.PageBytes(); }
    // Bytes held for the bytes and the index together.
    std::uint64_t Footprint() const;

    // Changes since the store was made: a view redraws when it moved on.
    std::uint64_t Version() const { return version; }
    // Clears since the store was made: lines a view knew are gone when it moved on.
    std::uint64_t Generation() const { return generation; }

    // The most the bytes may take; beyond it the store behaves as when the
    // system has no more memory (tests set it to see that happen).
    void SetLimit(std::uint64_t limit) { bytes.Limit = limit; }
    static const char *const FullLine;  // "The log could not grow: ..."
    static const char *const DiskFullLine;  // "The log could not grow: its disk ..."

private:
    // A line as a block's bytes give it again.
    struct LineAt {
        std::uint64_t start, textEnd, characters;
    };
    // A block of bytes: the first line that starts at or after its start
    // (while one does), and the NULs before it.
    struct Block {
        std::uint64_t firstLine, firstStart, firstSegment, nulsBefore;
    };
    struct Mark {
        std::uint64_t size, shown, lines, segments, reads, nuls;
        std::size_t blocks, pending;
    };
    const LineAt &Find(std::uint64_t i) const;
    struct Cached;
    const std::vector<LineAt> &LinesOf(std::size_t block) const;
    void Walk(std::size_t block, Cached &into) const;
    // The first read whose count line is `key` or after (byLine), or whose
    // bytes start after `key`: Reads() for none.
    std::size_t FirstRead(bool byLine, std::uint64_t key) const;
    std::uint64_t SegmentStart(std::uint64_t k) const;
    std::uint64_t SegmentEnd(std::uint64_t k) const { return k + 1 < segments ? SegmentStart(k + 1) : size; }
    std::uint64_t NulsBefore(std::uint64_t at) const;
    std::uint64_t End(std::size_t i) const { return i + 1 < lines ? Offset(i + 1) : size; }
    void Put(const char *data, std::size_t n);
    void StartLine(std::uint64_t at);
    void Add(const char *data, std::size_t n);  // bytes and the lines they make; throws when out of memory or disk
    Mark Here() const { return {size, shown, lines, segments, readCount, nuls, blocks.size(), pending}; }  // (reads' marks follow the count)
    void Back(const Mark &mark);
    void SayFull(const Mark &mark, bool disk, const std::string &why);
    bool Refused();

    TLogPages bytes, segmentPages, readPages;
    std::vector<Block> blocks;  // one a block, up to the one `size` is in
    std::size_t pending = 0;    // blocks from here on have no line starting in them yet
    // The count line and first byte of every ReadMark-th read, so that a read
    // is found among a few pages of records, not all of them.
    static constexpr std::size_t ReadMark = 1024;
    static constexpr std::size_t ReadBytes = 64;  // a read's record and room to spare
    static_assert(sizeof(TLogRead) <= ReadBytes, "a read's record fits its slot");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> readMarks;
    mutable std::size_t lastStamped = 0;
    std::uint64_t size = 0, shown = 0, received = 0, lines = 0, segments = 0, readCount = 0, nuls = 0;
    std::int64_t wallMinusMonotonic = 0;
    std::int64_t lastFlushUs = 0;
    std::uint64_t version = 0, generation = 0;
    bool full = false;
    bool diskFull = false;  // takes nothing more until the disk has room again
    std::int64_t lastRoomCheckUs = 0;
    std::string folder;
    // Lines of the blocks asked for last, found again from their bytes. The
    // last block's go on from where its walk stopped, as lines are added.
    struct Cached {
        std::size_t block = ~std::size_t(0);
        std::uint64_t version = 0, used = 0, rewrites = 0;
        std::vector<LineAt> lines;
        bool resumable = false;
        std::uint64_t at = 0, segment = 0;  // where the next line starts, and its addition
    };
    std::uint64_t rewrites = 0;  // additions taken back, and clears
    mutable std::vector<Cached> cached = std::vector<Cached>(8);
    mutable std::uint64_t uses = 0;
    mutable std::size_t lastCached = 0;
};

#endif
