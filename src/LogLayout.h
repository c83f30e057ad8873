// Where a log view's lines fall into rows at its width: lines wrap after the
// last blank that fits, else where full, every byte one character of the
// width the font gives it. Rows are counted for what is near the view and the
// end; the rest of a long log is estimated from its length, and the estimate
// settled block by block as the view goes there.
#ifndef QUORVEL_LOGLAYOUT_H
#define QUORVEL_LOGLAYOUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "LogLines.h"

// A row of the log: a line, and a row of it as it wraps now.
struct TLogPlace {
    std::size_t line = 0;
    int row = 0;
    bool operator<(const TLogPlace &o) const { return line != o.line ? line < o.line : row < o.row; }
    bool operator==(const TLogPlace &o) const { return line == o.line && row == o.row; }
};

// Sums of the rows each block of lines takes, with quick sums of the first
// blocks and a quick search for the block that holds a given row.
class TRowSums {
public:
    void Clear() { tree.assign(1, 0); }
    std::size_t Size() const { return tree.size() - 1; }
    void Push(std::uint64_t rows);
    void Add(std::size_t block, std::uint64_t rows);  // modulo 2^64: a fall adds its negation
    std::uint64_t Before(std::size_t block) const;     // the rows of the blocks before it
    std::uint64_t Of(std::size_t block) const { return Before(block + 1) - Before(block); }
    // The block that holds row `row`, which becomes the row within it; Size() past the end.
    std::size_t Find(std::uint64_t &row) const;

private:
    std::vector<std::uint64_t> tree = std::vector<std::uint64_t>(1, 0);
};

class TLogLayout {
public:
    using Position = TLogPosition;
    TLogLayout(const TLogStore &store, const TLogLines &lines);

    // Each byte's width in the font, and the room a row has.
    void SetWidths(const int widths[256]);
    void SetRoom(int room);
    // What the lines show changed (hex, times): every row is counted again.
    void Recount() { recount = true; }
    // Moves on whenever the rows are counted afresh (a new font, width, view
    // of the lines, or a cleared log): what was worked out from rows is stale.
    std::uint64_t Epoch() const { Count(); return epoch; }

    int CharWidth(unsigned char c) const { return widths[c]; }
    int Width(const std::string &text, int from, int to) const;  // pixels of part of a line
    void Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const;

    int RowsOf(std::size_t line) const;
    std::uint64_t TotalRows() const;
    std::uint64_t RowIndex(TLogPlace place) const;  // the rows before it
    TLogPlace RowAt(std::uint64_t row) const;        // its inverse (past the end: the line count's place)
    TLogPlace Forward(TLogPlace from, std::uint64_t rows) const;
    TLogPlace Back(TLogPlace from, std::uint64_t rows) const;
    // Made exact from line `line` to the end, so that the scroll bar's end is the view's.
    void SettleFrom(std::size_t line) const;

    TLogPlace RowOf(Position p) const;  // the row a position is drawn in
    Position AtX(TLogPlace place, int x) const;  // the position nearest to x in a row
    int XOf(Position p) const;  // from its row's start

    // A block of lines holds 16 KB of what they keep, or 8192 lines, one at
    // least: few blocks for a log of short lines, little to lay out in one of long ones.
    static constexpr std::uint64_t BlockBytes = 16384;
    static constexpr std::size_t BlockLines = 8192;

private:
    int Wrapped(std::size_t line) const;  // rows of a line, laid out now
    int Counted(std::size_t line) const;  // the same, kept for the last lines; the sums brought up first
    void Count() const;  // brings the row sums up to the lines
    // Where the block that starts at line `first` ends, given `count` lines:
    // past `count` while it may take more.
    std::size_t Limit(std::size_t first, std::size_t count) const;
    std::size_t BlockOf(std::size_t line) const
    {
        return std::size_t(std::upper_bound(firsts.begin(), firsts.end(), line) - firsts.begin()) - 1;
    }
    std::size_t First(std::size_t block) const { return firsts[block]; }
    std::size_t EndOf(std::size_t block) const { return block + 1 < firsts.size() ? firsts[block + 1] : counted; }
    void Settle(std::size_t block) const;  // a block's estimate made exact
    std::uint64_t Estimate(std::size_t first, std::size_t end) const;
    void Rows(std::size_t line) const;  // the line's text and rows into scratch

    const TLogStore &store;
    const TLogLines &lines;
    int widths[256] = {};
    int uniform = 0;  // every byte's width, where all are the same (a fixed-pitch font); else 0
    int room = 1;

    // Rows by blocks of lines: exact where laid out, else estimated. All of
    // it is counted afresh when `recount` is set or the store was cleared.
    mutable TRowSums sums;
    mutable std::vector<bool> exact;
    mutable std::vector<std::size_t> firsts;  // each block's first line
    mutable std::size_t counted = 0;  // lines in the sums
    mutable bool recount = true;
    mutable std::uint64_t countedGeneration = ~std::uint64_t(0);
    mutable std::uint64_t epoch = 0;
    // Moves on when the rows before a line may have changed: the rows before
    // the line last asked for are kept until it does.
    mutable std::uint64_t settled = 0;
    mutable std::size_t beforeLine = 0;
    mutable std::uint64_t beforeRows = 0, beforeSettled = ~std::uint64_t(0);
    mutable std::vector<int> tailRows;  // rows of the last lines, from tailFirst on
    mutable std::size_t tailFirst = 0;
    mutable std::string scratchText;  // room used again, line after line
    mutable std::vector<std::pair<int, int>> scratchRows;
};

#endif
