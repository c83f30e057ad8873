// The lines a log view shows, over the store: each line as it is, or each
// read's bytes as rows of 16 (hex), a count line with its times or not. A
// place among them and a byte of the store convert into each other here and
// nowhere else: the byte is the one address, the place is derived from it.
#ifndef QUORVEL_LOGLINES_H
#define QUORVEL_LOGLINES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "LogStore.h"

class TLogLines {
public:
    using Position = TLogPosition;
    explicit TLogLines(const TLogStore &store) : store(store) {}

    bool Hex() const { return hex; }
    bool Times() const { return times; }
    void SetHex(bool on) { hex = on; }
    void SetTimes(bool on) { times = on; }

    std::size_t Count() const;
    void Line(std::size_t i, std::string &into) const;
    int Length(std::size_t i) const;
    Position End() const;  // after the last character
    Position Clamp(Position p) const;  // onto a character of a line, or its end
    // Lines from..to joined by `lineBreak`, at most `limit` bytes.
    std::string Range(Position from, Position to, const std::string &lineBreak, std::size_t limit) const;
    // Of every line joined by a line break of `breakBytes` bytes.
    std::uint64_t TextLength(std::size_t breakBytes) const;

    // Where a byte of the store shows: before it, or after it (after a
    // line's last character its end, after its line end the next line's
    // start). A NUL shows nowhere: before it is before what follows it.
    Position PlaceOf(std::uint64_t at, bool after) const;
    // The first byte that shows at or after a place: a caret stands before
    // it, a selection starts there. PlaceOf(ByteFrom(p), false) is where the
    // byte shows first (a hex row's characters column shows it a second time).
    std::uint64_t ByteFrom(Position p) const;
    // Where the bytes before a place end: a selection that ends at the place
    // ends there. ByteFrom less the NULs before it that show nowhere (after a
    // line with no line end of its own), which belong to what follows.
    std::uint64_t EndAt(Position p) const;
    // The byte under a place: its digits or its character in hex; in text the
    // same as ByteFrom.
    std::uint64_t ByteUnder(Position p) const;

    static std::string TimesText(std::int64_t wallUs, std::int64_t gapUs);  // "   14:03:07.512  +0.998 s"
    static std::size_t TimesLength(std::int64_t gapUs);                      // of TimesText, quickly
    static constexpr int HexColumn = 6;  // where a row's first byte starts, for reads of up to 64 KB

private:
    // What a line shows: a line of the store, or a row of a read's bytes.
    struct Source {
        std::size_t line;  // the store's, for a line shown as it is
        std::size_t read;  // the store's Reads() for none
        std::size_t row;
    };
    Source SourceOf(std::size_t line) const;
    std::size_t LineOf(std::size_t storeLine) const;  // where a store line's first byte shows
    std::uint64_t Shown(std::uint64_t lineStart) const;  // the first byte that shows from a line's start
    void HexRow(const TLogRead &read, std::size_t row, std::string &into) const;
    static int HexRowLength(const TLogRead &read, std::size_t row);

    const TLogStore &store;
    bool hex = false, times = false;
    // The read SourceOf found last, where it looks first: lines are mostly
    // asked for in order. Only a hint: checked against the reads each time.
    mutable std::size_t lastRead = 0;
    mutable std::string scratch;
};

#endif
