// The reception log, with no toolkit: every byte as it came, one copy, and
// where each line of its text starts. The text is what the log shows as
// lines: CR, LF and CR LF end a line, NULs are left out. A read from the
// board keeps its bytes exactly, under its count line, with the time it was
// made. A widget set draws the lines it shows from here, so the log costs
// little more than its bytes, however long it grows.
#ifndef QUORVEL_LOGSTORE_H
#define QUORVEL_LOGSTORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
    // Adds `text` as the next line: CR, LF and CR LF inside it end a line
    // each, NULs are left out. False when memory ran out: what is in stays,
    // and the store says so once in a line of its own.
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
    std::size_t Reads() const { return reads.size(); }
    const TLogRead &Read(std::size_t k) const { return reads[k]; }
    // The last read whose count line is before line i (Reads(): none).
    std::size_t ReadBefore(std::size_t i) const;
    // The read that holds byte `at` of the store among its bytes (Reads(): none).
    std::size_t ReadHolding(std::uint64_t at) const;
    std::uint64_t Received() const { return received; }

    std::size_t LineCount() const { return starts.size(); }
    // Line i's characters, without its line end.
    std::string Line(std::size_t i) const;
    // The same into `into`, whose room is used again.
    void Line(std::size_t i, std::string &into) const;
    std::size_t LineLength(std::size_t i) const;
    // Where line i begins among the bytes (the bytes' count past the last line).
    std::uint64_t Offset(std::size_t i) const { return i < starts.size() ? starts[i] : size; }
    // The line that holds byte `at`, and the characters before it in the line.
    TLogPosition PositionOf(std::uint64_t at) const;
    // Its inverse: the byte a place of the text stands before (a NUL is no
    // character, so it is the character's own byte, not a NUL before it).
    std::uint64_t ByteOf(TLogPosition p) const;
    // Where line i's characters end, before its line end.
    std::uint64_t TextEnd(std::size_t i) const;
    std::uint64_t Bytes() const { return size; }
    std::uint64_t Shown() const { return shown; }  // characters of every line
    // Bytes at..at+n, where they lie in the store (up to a piece's end: at least one byte for n > 0).
    std::size_t Piece(std::uint64_t at, std::size_t n, const char *&data) const;
    unsigned char At(std::uint64_t at) const { return static_cast<unsigned char>(chunks[std::size_t(at / ChunkBytes)][std::size_t(at % ChunkBytes)]); }
    // Bytes held for the bytes and the index together.
    std::uint64_t Footprint() const;

    // Changes since the store was made: a view redraws when it moved on.
    std::uint64_t Version() const { return version; }
    // Clears since the store was made: lines a view knew are gone when it moved on.
    std::uint64_t Generation() const { return generation; }

    static constexpr std::size_t ChunkBytes = std::size_t(1) << 20;
    // The most the bytes may take; beyond it the store behaves as when the
    // system has no more memory (tests set it to see that happen).
    std::uint64_t Limit = ~std::uint64_t(0);
    static const char *const FullLine;  // "The log could not grow: ..."

private:
    std::uint64_t End(std::size_t i) const { return i + 1 < starts.size() ? starts[i + 1] : size; }
    void Put(const char *data, std::size_t n);
    void Add(const char *data, std::size_t n);  // bytes and the lines they make; throws when out of memory
    struct Mark {
        std::uint64_t size, shown;
        std::size_t lines, nulLines;
    };
    Mark Here() const { return {size, shown, starts.size(), nulLines.size()}; }
    void Back(const Mark &mark);
    void SayFull(const Mark &mark);

    // The bytes in chunks of a fixed size, so that growing never copies them.
    std::vector<std::unique_ptr<char[]>> chunks;
    std::uint64_t size = 0, shown = 0, received = 0;
    std::vector<std::uint64_t> starts;  // where each line begins among the bytes
    std::vector<std::uint8_t> ends;     // how each line ends, and whether its characters are counted apart
    std::vector<std::pair<std::size_t, std::uint64_t>> nulLines;  // a line with NULs, and its characters
    std::vector<TLogRead> reads;
    std::int64_t wallMinusMonotonic = 0;
    std::uint64_t version = 0, generation = 0;
    bool full = false;
};

#endif
