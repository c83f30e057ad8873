// The reception log's view, with no toolkit: which rows of a TLogStore are in
// sight and where, following the end, the caret and the selection, and what
// keys, clicks, drags, the wheel and the menu mean. A widget set hosts it: it
// says the view's size and its font's widths, hands it input in the words
// below, and draws the rows it lays out. Every byte is one character of the
// width the host gives it (a TAB too). The view scrolls by rows (TLogLayout),
// so that every row of a line that wraps into hundreds can be brought into
// sight. What it shows of the store, and which byte a place is, is TLogLines'.
#ifndef QUORVEL_LOGVIEW_H
#define QUORVEL_LOGVIEW_H

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "LogLayout.h"
#include "LogLines.h"
#include "LogMenu.h"
#include "LogWork.h"

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

struct TLogBox {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool Empty() const { return right <= left || bottom <= top; }
};

class TLogView {
public:
    using Position = TLogPosition;
    using Place = TLogPlace;
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
    ~TLogView();

    // The font: each byte's width, a row's height, the blank kept around the text.
    void SetMetrics(const int widths[256], int rowHeight, int margin);
    void Resize(int width, int height);
    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // The rows in sight, laid out now if anything changed since.
    const std::vector<Row> &Rows() const;
    int Width(const Row &row, int from, int to) const { return layout.Width(*row.text, from, to); }  // pixels of part of a row
    bool AtEnd() const { return following || !(top < MaxTop()); }
    Place Top() const { return AtEnd() ? MaxTop() : top; }  // the first row in sight, at the end too
    std::size_t TopLine() const { return Top().line; }
    // Whole rows the view holds: a page.
    int Page() const;
    // The rows of every line as the view wraps them (estimated far from the view) and where a row stands among them.
    std::uint64_t TotalRows() const { return layout.TotalRows(); }
    std::uint64_t RowIndex(Place place) const { return layout.RowIndex(place); }
    int RowsOf(std::size_t line) const { return layout.RowsOf(line); }
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
    std::string Range(Position from, Position to, std::size_t limit = std::string::npos) const { return lines.Range(from, to, lineBreak, limit); }
    std::uint64_t TextLength() const { return lines.TextLength(lineBreak.size()); }  // of Text()
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
    bool Hex() const { return lines.Hex(); }
    void SetHex(bool on);
    static constexpr int HexColumn = TLogLines::HexColumn;

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
    bool Working() const { return work != nullptr; }
    void Work(int ms);  // some of the find or the save, for about `ms` milliseconds
    void Stop();        // the find or the save ends here; a save leaves no file
    // What the view says below its rows: progress, or how a find or save ended ("": nothing).
    const std::string &Status() const { return status; }
    // The strip the status line takes at the view's foot (0: none); the rows stand above it.
    int StatusHeight() const { return status.empty() ? 0 : rowHeight + 2; }

    // Times: each read's count line also shows the time of day it was made,
    // to the millisecond, and the gap since the read before it.
    bool Times() const { return lines.Times(); }
    void SetTimes(bool on);
    static std::string TimesText(std::int64_t wallUs, std::int64_t gapUs) { return TLogLines::TimesText(wallUs, gapUs); }
    static std::size_t TimesLength(std::int64_t gapUs) { return TLogLines::TimesLength(gapUs); }
    // Line i as the view shows it, and its length; the lines it shows.
    void Line(std::size_t i, std::string &into) const { lines.Line(i, into); }
    int LineLength(std::size_t i) const { return lines.Length(i); }
    std::size_t LineCount() const { return lines.Count(); }
    Position End() const { return lines.End(); }  // after the last character
    // What the view shows, and the byte each place of it is.
    const TLogLines &Lines() const { return lines; }

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

private:
    void Finish(std::string said);  // by value: it may be the work's own line, which goes with it
    void SetStatus(const std::string &line);
    // Where rows are laid out: above the status line, where a row stays in sight beside it.
    int RowsHeight() const { return height - StatusHeight() >= rowHeight + 2 * margin ? height - StatusHeight() : height; }
    Place MaxTop() const;
    Position Clamp(Position p) const { return lines.Clamp(p); }
    void Changed();  // redraw, and the scroll bar as it now stands
    void Redraw();   // the rows in sight are laid out again
    void MoveCaret(Position to, bool extend);
    void ShowCaret();
    void LayOut() const;
    void DragScroll();

    const TLogStore &store;
    TLogHost &host;
    const std::string lineBreak;
    TLogLines lines;
    TLogLayout layout;
    int rowHeight = 1, margin = 0;
    int width = 0, height = 0;
    Place top;               // the first row in sight, away from the end
    bool following = true;   // at the end, and staying there as lines come
    Position anchor, caret;
    bool dragging = false;
    int dragX = 0, dragY = 0;
    int wheelRest = 0;       // part of a notch not yet scrolled
    bool timing = false;
    std::string sought;  // what the last find looked for
    std::string soughtShown;  // the same as the status line writes it
    std::string status;
    std::unique_ptr<TLogWork> work;
    std::chrono::steady_clock::time_point drawn;  // when the work's progress was last drawn
    std::uint64_t clampedEpoch = ~std::uint64_t(0);  // the layout's, when the top row was last kept within its line

    // The last page's first row, for the store's version, the layout's epoch and the page it was found for.
    mutable Place maxTop;
    mutable std::uint64_t maxTopVersion = ~std::uint64_t(0), maxTopEpoch = 0;
    mutable int maxTopPage = 0;
    // The rows in sight, for the store's version they were laid out at; `stale` when the view moved.
    mutable bool stale = true;
    mutable std::uint64_t laidOutVersion = ~std::uint64_t(0);
    mutable std::vector<Row> rows;
    mutable std::deque<std::string> texts;  // lines in sight; rows point into it (a deque keeps them in place)
};

#endif
