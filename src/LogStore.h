// The reception log's text, with no toolkit: the bytes as they came (one
// 8-bit character each) and where each line starts. A widget set draws the
// lines it shows from here, so the log costs little more than its text,
// however long it grows.
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

class TLogStore {
public:
    // Adds `text` as the next line: CR, LF and CR LF inside it end a line
    // each, NULs are left out. False when memory ran out: what is in stays,
    // and the store says so once in a line of its own.
    bool Append(std::string_view text);
    void Clear();

    // The last line is a read's count line, and the read was made at
    // `monotonicUs` on a clock that never runs backwards; `wallUs` is the
    // wall clock (microseconds since 1970) at the same moment. The first read
    // after a start or Clear ties the two clocks; later reads' times of day
    // follow the monotonic clock, so that their gaps are exact.
    void Stamp(std::int64_t monotonicUs, std::int64_t wallUs);
    // When line i's read was made (wall clock, microseconds since 1970) and
    // the gap since the read before it (-1: none); false when i is no read's count line.
    bool Stamped(std::size_t i, std::int64_t &wallUs, std::int64_t &gapUs) const;
    // The k-th read's count line and times, in order; false past the last.
    bool ReadAt(std::size_t k, std::size_t &line, std::int64_t &wallUs, std::int64_t &gapUs) const;

    std::size_t LineCount() const { return starts.size(); }
    // Line i's characters, without its line end.
    std::string Line(std::size_t i) const;
    // The same into `into`, whose room is used again.
    void Line(std::size_t i, std::string &into) const;
    std::size_t LineLength(std::size_t i) const { return std::size_t(End(i) - starts[i]); }
    // Where line i begins in the text (the text's size past the last line).
    std::uint64_t Offset(std::size_t i) const { return i < starts.size() ? starts[i] : size; }
    std::uint64_t Bytes() const { return size; }
    // Bytes held for the text and the index together.
    std::uint64_t Footprint() const;

    // Changes since the store was made: a view redraws when it moved on.
    std::uint64_t Version() const { return version; }
    // Clears since the store was made: lines a view knew are gone when it moved on.
    std::uint64_t Generation() const { return generation; }

    static constexpr std::size_t ChunkBytes = std::size_t(1) << 20;
    // The most the text may take; beyond it the store behaves as when the
    // system has no more memory (tests set it to see that happen).
    std::uint64_t Limit = ~std::uint64_t(0);
    static const char *const FullLine;  // "The log could not grow: ..."

private:
    std::uint64_t End(std::size_t i) const { return i + 1 < starts.size() ? starts[i + 1] : size; }
    void Put(const char *data, std::size_t n);
    void StartLine();

    // The text in chunks of a fixed size, so that growing never copies it.
    std::vector<std::unique_ptr<char[]>> chunks;
    std::uint64_t size = 0;
    std::vector<std::uint64_t> starts;  // where each line begins in the text
    struct Read {
        std::size_t line;
        std::int64_t monotonicUs;
    };
    std::vector<Read> stamps;         // by line, ascending
    std::int64_t wallMinusMonotonic = 0;
    std::uint64_t version = 0, generation = 0;
    bool full = false;
};

#endif
