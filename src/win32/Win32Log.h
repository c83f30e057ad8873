// The reception log on Win32: a read-only view of a TLogStore that wraps and
// draws only the lines in sight, with a vertical scroll bar, selection by
// mouse and keys, copy and select-all. Windows' own multi-line EDIT keeps the
// whole text itself and slows down with every line; this keeps none of it.
#ifndef QUORVEL_WIN32_WIN32LOG_H
#define QUORVEL_WIN32_WIN32LOG_H

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "LogStore.h"

class TWin32Log {
public:
    using Position = TLogPosition;

    TWin32Log(const TLogStore &store, HWND parent, int id, DWORD style);
    ~TWin32Log();
    TWin32Log(const TWin32Log &) = delete;
    TWin32Log &operator=(const TWin32Log &) = delete;

    HWND Handle() const { return hwnd; }
    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // Lines joined by CR LF, as a copy gives them.
    std::string Text() const;
    std::string SelectedText() const;
    void Select(Position anchor, Position cursor);
    void SelectAll();
    void Copy() const;
    bool AtEnd() const;
    std::size_t TopLine() const { return top; }
    // Where a point of the client area falls in the text (as the last drawing laid it out).
    Position At(POINT point) const;
    // The rectangle of a position's character in the client area, where it is in sight.
    RECT Where(Position position) const;
    // Wrapped rows of the lines in sight, as the last drawing laid them out.
    int RowsShown() const { return int(rows.size()); }
    int Paints() const { return paints; }

private:
    struct Row {
        std::size_t line;
        int from, to;  // characters of the line
        int top;       // in the client area
    };
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);
    void SetFont(HFONT font);
    void Wrap(const std::string &text, std::vector<std::pair<int, int>> &out) const;
    void LayOutInSight() const;
    void Paint();
    int Lines() const;  // whole rows the client area holds
    int TextWidth() const;
    void UpdateScrollBar(bool now = false);
    void DrawBar();
    void ScrollTo(std::size_t line);
    std::size_t MaxTop() const;
    void MoveCursor(Position to, bool extend);
    void ShowCursor();
    Position Clamp(Position p) const;
    std::string Range(Position from, Position to, std::size_t limit) const;
    void ContextMenu(POINT screen);

    const TLogStore &store;
    HWND hwnd = nullptr;
    HFONT font = nullptr;
    int widths[256] = {};
    int lineHeight = 13;
    std::size_t top = 0;  // the first line in sight, away from the end
    bool atEnd = true;    // following the end
    Position anchor, cursor;
    bool dragging = false;
    int paints = 0;
    mutable std::vector<Row> rows;  // in sight, as last laid out
    mutable std::vector<std::string> texts;  // their lines' text, one per line in sight
    mutable std::vector<std::size_t> textLines;
    void FreeBuffer();
    HDC buffer = nullptr;  // the drawing, off screen
    HBITMAP bitmap = nullptr;
    HGDIOBJ bufferBitmap = nullptr;
    SIZE bufferSize{};
    SCROLLINFO bar{};  // as last set
    DWORD barDrawn = 0;
    bool barPending = false;
    static constexpr UINT_PTR BarTimer = 1;
    static constexpr UINT BarEveryMs = 100;
    static constexpr int Margin = 2;
};

#endif
