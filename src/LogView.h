// The reception log's view, with no toolkit: which rows of a TLogStore are in
// sight and where, following the end, the selection, and what keys, clicks,
// drags and the wheel mean. A widget set hosts it: it says the view's size
// and its font's widths, hands it input in the words below, and draws the
// rows it lays out. Every byte is one character of the width the host gives
// it (a TAB too); lines wrap after the last blank that fits, else where full.
// The view scrolls by rows, so that every row of a line that wraps into
// hundreds can be brought into sight. Rows are counted for what is near the
// view and the end; the rest of a long log is estimated from its length, and
// the estimate settled block by block as the view goes there.
#ifndef QUORVEL_LOGVIEW_H
#define QUORVEL_LOGVIEW_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "LogStore.h"

// What a platform does for the view.
class TLogHost {
public:
    virtual ~TLogHost() = default;
    // The view needs drawing again.
    virtual void Invalidate() = 0;
    // The scroll bar: `rows` in all, `page` of them in sight at the end, the top one at `position`.
    virtual void SetScrollBar(std::size_t rows, std::size_t page, std::size_t position) = 0;
    virtual void SetClipboard(const std::string &text) = 0;
    // Mouse input goes on coming here while a drag lasts, wherever the pointer is.
    virtual void CaptureMouse(bool on) = 0;
    // Calls Tick() every `ms` milliseconds; 0 stops it.
    virtual void SetTimer(int ms) = 0;
    // While on, calls Work() again and again between the window's own events.
    virtual void SetWorking(bool on) = 0;
    // Find: shows the platform's way to ask what to find; it calls Find().
    virtual void AskFind() = 0;
    // The platform's save dialog; "" when the user cancelled.
    virtual std::string AskSavePath(bool receivedBytes) = 0;
    // Hex rows line up in a font whose characters are all as wide: the host
    // draws with one while on, and gives the view its widths (SetMetrics).
    virtual void SetFixedPitch(bool on) = 0;
};

// FindNext is F3 (with Shift: the previous); Escape stops a find or a save.
enum class TLogKey { Left, Right, Up, Down, PageUp, PageDown, Home, End, Copy, SelectAll, FindNext, Escape };
enum TLogModifier { lmShift = 1, lmControl = 2 };
enum class TLogScroll { LineUp, LineDown, PageUp, PageDown, Top, Bottom };

// What the log's context menu can do.
enum class TLogCommand { Copy, SelectAll, Find, FindNext, Text, Hex, Times, SaveLog, SaveReceived };

// One item of the log's context menu, as every widget set shows it: a
// separator, or a command with its caption ("&" before the access key), the
// keys that do the same ("Ctrl+C"), and whether it can be chosen now.
struct TLogMenuItem {
    bool separator = false;
    TLogCommand command = TLogCommand::Copy;
    const char *caption = "";
    const char *keys = "";
    bool enabled = false;
    bool checked = false;
};

struct TLogBox {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool Empty() const { return right <= left || bottom <= top; }
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

class TLogView {
public:
    using Position = TLogPosition;
    // A row of the log: a line, and a row of it as it wraps now.
    struct Place {
        std::size_t line = 0;
        int row = 0;
        bool operator<(const Place &o) const { return line != o.line ? line < o.line : row < o.row; }
        bool operator==(const Place &o) const { return line == o.line && row == o.row; }
    };
    // One wrapped row in sight, as the host draws it.
    struct Row {
        std::size_t line;
        int from, to;  // characters of the line
        int top;       // in the view; the first row may start above it
        int selFrom, selTo;  // the selected part, within from..to (empty: selFrom == selTo)
        bool selectedBreak;  // the selection runs on past the line's end, which ends here
        int caret;           // where the caret stands in this row, or -1
        const std::string *text;  // the whole line
    };

    // `lineBreak` joins lines in copied text: the platform's own.
    TLogView(const TLogStore &store, TLogHost &host, std::string lineBreak);

    // The font: each byte's width, a row's height, the blank kept around the text.
    void SetMetrics(const int widths[256], int rowHeight, int margin);
    void Resize(int width, int height);
    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // The rows in sight, laid out now if anything changed since.
    const std::vector<Row> &Rows() const;
    int Width(const Row &row, int from, int to) const;  // pixels of part of a row
    bool AtEnd() const { return following || !(top < MaxTop()); }
    Place Top() const { return AtEnd() ? MaxTop() : top; }  // the first row in sight, at the end too
    std::size_t TopLine() const { return Top().line; }
    // Whole rows the view holds: a page.
    int Page() const;
    // The rows of every line as the view wraps them (estimated far from the view) and where a row stands among them.
    std::uint64_t TotalRows() const;
    std::uint64_t RowIndex(Place place) const;
    int RowsOf(std::size_t line) const;
    // What a byte shows as: a control byte as a blank of its own, so that both widget sets draw the same.
    static char Shown(unsigned char byte) { return byte < 0x20 || (byte >= 0x7F && byte < 0xA0) ? ' ' : char(byte); }

    Position Anchor() const { return anchor; }
    Position Caret() const { return caret; }
    bool HasSelection() const { return !(anchor == caret); }
    void Select(Position anchor, Position caret);
    void SelectAll();
    std::string SelectedText() const;
    std::string Text() const;
    // Lines from..to joined by the line break, at most `limit` bytes.
    std::string Range(Position from, Position to, std::size_t limit = std::string::npos) const;
    std::uint64_t TextLength() const;  // of Text()
    void Copy() const;

    // The context menu as it stands now, in order, and what choosing an item does.
    std::vector<TLogMenuItem> Menu() const;
    void Command(TLogCommand command);
    // Ctrl and a letter ('A' to 'Z'): the menu's item with those keys, if it
    // can be chosen now. False when no item has them.
    bool Shortcut(char letter);

    // Hex: each read's bytes as rows of 16, under its count line: the offset
    // in the read, the bytes in hex, and the bytes as characters ('.' for
    // what does not print). Other lines show as they are.
    bool Hex() const { return hex; }
    void SetHex(bool on);
    static constexpr int HexColumn = 6;  // where a row's first byte starts, for reads of up to 64 KB

    // Find: the next place where `what` is, after the selection (or before
    // it), case-insensitive; in hex, "0D 0A 00" finds those bytes. The match
    // is selected and brought into sight. A long log is searched a slice at a time.
    // `shown` is how the status line writes it, in the host's own encoding ("": as it is).
    void Find(const std::string &what, bool forward = true, const std::string &shown = "");
    const std::string &Sought() const { return sought; }
    // A line of the host's own in the status line, put away as the others are.
    void Say(const std::string &line);
    // Writes the log as shown (receivedBytes: the board's bytes alone, exactly)
    // to `path`, a slice at a time; the file appears under its name only whole.
    void Save(const std::string &path, bool receivedBytes);
    bool Working() const { return job != nullptr; }
    void Work(int ms);  // some of the find or the save, for about `ms` milliseconds
    void Stop();        // the find or the save ends here; a save leaves no file
    // What the view says below its rows: progress, or how a find or save ended ("": nothing).
    const std::string &Status() const { return status; }
    // The strip the status line takes at the view's foot (0: none); the rows stand above it.
    int StatusHeight() const { return status.empty() ? 0 : rowHeight + 2; }

    // Times: each read's count line also shows the time of day it was made,
    // to the millisecond, and the gap since the read before it.
    bool Times() const { return times; }
    void SetTimes(bool on);
    // A count line's times as shown after it: "   14:03:07.512  +0.998 s".
    static std::string TimesText(std::int64_t wallUs, std::int64_t gapUs);
    static std::size_t TimesLength(std::int64_t gapUs);  // of TimesText, quickly
    // Line i as the view shows it, and its length; the lines it shows.
    void Line(std::size_t i, std::string &into) const;
    int LineLength(std::size_t i) const;
    std::size_t LineCount() const;
    Position End() const;  // after the last character

    // Where a point of the view falls in the text.
    Position At(int x, int y) const;
    // The box of the character at a position (a blank's at a line's end), where it is in sight.
    TLogBox Where(Position position) const;

    // Input. Key() is false for a key the view has no use for.
    bool Key(TLogKey key, int modifiers);
    void Press(int x, int y, int modifiers);
    void Drag(int x, int y);
    void Release();
    void Tick();  // the host's timer, while a drag is past an edge
    void Wheel(int delta);  // 120 a notch, up positive
    void Scroll(TLogScroll action);
    void ScrollTo(std::uint64_t row);  // a row as the scroll bar counts them
    void ScrollTo(Place place);

    static constexpr int WheelLines = 3;
    static constexpr int DragScrollMs = 50;

    static constexpr std::size_t BlockLines = 256;

    ~TLogView();

private:
    struct Job;
    // What a line of the view shows: a line of the store, or a row of a read's bytes.
    struct Source {
        std::size_t line;  // the store's, for a line shown as it is
        std::size_t read;  // the store's Reads() for none
        std::size_t row;
    };
    Source SourceOf(std::size_t line) const;
    std::size_t LineOf(std::size_t storeLine) const;  // the view's line where a store line's first byte shows
    Position PositionOfByte(std::uint64_t at, bool after) const;  // the view's place of a byte of the store
    std::uint64_t ByteOf(Position p) const;  // the store's byte under a place of the view
    std::uint64_t EndByteOf(Position p) const;  // the first byte at or after a place: a selection's bytes end there
    void HexRow(const TLogRead &read, std::size_t row, std::string &into) const;
    static int HexRowLength(const TLogRead &read, std::size_t row);
    void Finish(const std::string &said);
    void SetStatus(const std::string &line);
    // Where rows are laid out: above the status line, where a row stays in sight beside it.
    int RowsHeight() const { return height - StatusHeight() >= rowHeight + 2 * margin ? height - StatusHeight() : height; }
    Place MaxTop() const;
    Place Forward(Place from, std::uint64_t rows) const;
    Place Back(Place from, std::uint64_t rows) const;
    Place PlaceOf(Position p) const;       // the row a position is drawn in
    Position AtX(Place place, int x) const;  // the position nearest to x in a row
    Position Clamp(Position p) const;
    void Changed();  // redraw, and the scroll bar as it now stands
    void MoveCaret(Position to, bool extend);
    void ShowCaret();
    void Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const;
    int Wrapped(std::size_t line) const;  // rows of a line, laid out now
    int Counted(std::size_t line) const;  // the same, kept for the last lines; the sums brought up first
    void LayOut() const;
    void DragScroll();
    void Count() const;  // brings the row sums up to the store
    void Settle(std::size_t block) const;  // a block's estimate made exact
    std::uint64_t Estimate(std::size_t first, std::size_t end) const;

    const TLogStore &store;
    TLogHost &host;
    const std::string lineBreak;
    int widths[256] = {};
    int uniform = 0;  // every byte's width, where all are the same (a fixed-pitch font); else 0
    int rowHeight = 1, margin = 0;
    int width = 0, height = 0;
    Place top;               // the first row in sight, away from the end
    bool following = true;   // at the end, and staying there as lines come
    Position anchor, caret;
    bool dragging = false;
    int dragX = 0, dragY = 0;
    int wheelRest = 0;       // part of a notch not yet scrolled
    bool timing = false;
    bool times = false;
    bool hex = false;
    std::string sought;  // what the last find looked for
    std::string soughtShown;  // the same as the status line writes it
    std::string status;
    std::unique_ptr<Job> job;

    // Rows by blocks of lines, at this width: exact where laid out, else estimated.
    mutable TRowSums sums;
    mutable std::vector<bool> exact;
    mutable std::size_t counted = 0;  // lines in the sums
    mutable bool recount = true;      // the width or font changed: every block back to an estimate
    mutable bool rewrapped = false;   // rows were counted afresh since the top row was last clamped
    mutable std::uint64_t countedGeneration = ~std::uint64_t(0);
    mutable std::uint64_t settled = 0;  // moves on when the rows before a line may have changed
    mutable std::size_t beforeLine = 0;
    mutable std::uint64_t beforeRows = 0, beforeSettled = ~std::uint64_t(0);
    mutable std::vector<int> tailRows;  // rows of the last lines, from tailFirst on
    mutable std::size_t tailFirst = 0;
    mutable std::string scratchText;  // room used again, line after line
    mutable std::size_t lastRead = 0;  // the read SourceOf found last: lines are mostly asked for in order
    mutable std::vector<std::pair<int, int>> scratchRows;
    mutable bool maxTopStale = true;
    mutable std::uint64_t maxTopVersion = 0;
    mutable Place maxTop;
    mutable bool stale = true;
    mutable std::uint64_t laidOutVersion = ~std::uint64_t(0);
    mutable std::vector<Row> rows;
    mutable std::deque<std::string> texts;  // lines in sight; rows point into it (a deque keeps them in place)
};

#endif
