// The reception log on Win32: the host of a TLogView, which decides what is
// in sight, the selection and what input means. Here: window messages turned
// into the view's words, the font's widths, the rows drawn off screen and put
// up at once, the scroll bar (drawn at most ten times a second while the log
// streams), the clipboard and the mouse capture. Windows' own multi-line EDIT
// keeps the whole text itself and slows down with every line; this keeps none.
#ifndef QUORVEL_WIN32_WIN32LOG_H
#define QUORVEL_WIN32_WIN32LOG_H

#include <windows.h>
#include <commdlg.h>

#include <functional>
#include <string>

#include "LogView.h"

class TWin32Log : private TLogHost {
public:
    using Position = TLogPosition;

    TWin32Log(const TLogStore &store, HWND parent, int id, DWORD style);
    ~TWin32Log() override;
    TWin32Log(const TWin32Log &) = delete;
    TWin32Log &operator=(const TWin32Log &) = delete;

    HWND Handle() const { return hwnd; }
    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // Lines joined by CR LF, as a copy gives them.
    std::string Text() const { return view.Text(); }
    std::string SelectedText() const { return view.SelectedText(); }
    void Select(Position anchor, Position cursor) { view.Select(anchor, cursor); }
    void SelectAll() { view.SelectAll(); }
    void Copy() const { view.Copy(); }
    bool AtEnd() const { return view.AtEnd(); }
    std::size_t TopLine() const { return view.TopLine(); }
    // Where a point of the client area falls in the text.
    Position At(POINT point) const { return view.At(point.x, point.y); }
    // The rectangle of a position's character in the client area, where it is in sight.
    RECT Where(Position position) const;
    // Wrapped rows in sight.
    int RowsShown() const { return int(view.Rows().size()); }
    int Paints() const { return paints; }
    TLogView &View() { return view; }
    HWND FindDialog() const { return findDialog; }
    // Escape with no find or save to stop goes here first; true: taken.
    std::function<bool()> escape;
    // Shows the menu with the form's items after the view's, runs the one of
    // them chosen, and gives back the id of the view's item chosen (0: none).
    std::function<UINT(HMENU menu, POINT at)> formItems;

private:
    void Invalidate() override;
    void SetScrollBar(std::size_t rows, std::size_t page, std::size_t position) override;
    void SetClipboard(const std::string &text) override;
    void CaptureMouse(bool on) override;
    void SetTimer(int ms) override;
    void SetWorking(bool on) override;
    void AskFind() override;
    std::string AskSavePath(bool receivedBytes) override;
    void SetFixedPitch(bool on) override;
    void Found(const FINDREPLACEA &request);

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);
    bool Key(WPARAM key);
    void SetFont(HFONT font);
    void Measure();  // the widths of the font the rows are drawn in
    void Paint();
    void DrawBar();
    void ContextMenu(POINT screen);
    void FreeBuffer();

    const TLogStore &store;
    TLogView view;
    HWND hwnd = nullptr;
    HFONT font = nullptr;     // the control's
    HFONT fixed = nullptr;    // the hex rows', made to the control's height
    HFONT drawn = nullptr;    // what the rows are drawn in
    int widths[256] = {};  // each byte as it is shown
    std::string shown;     // a row's bytes as drawn, room used again
    int lineHeight = 13;
    bool fixedPitch = false;
    int paints = 0;
    HDC buffer = nullptr;  // the drawing, off screen, kept while the size stays
    HBITMAP bitmap = nullptr;
    HGDIOBJ bufferBitmap = nullptr;
    SIZE bufferSize{};
    SCROLLINFO bar{};  // as last set
    DWORD barDrawn = 0;
    bool barPending = false;
    bool barNow = false;  // inside the user's input
    // The system's find dialog, while it is open, and what it asks for.
    HWND findDialog = nullptr;
    FINDREPLACEA find{};
    char findWhat[256] = {};
    static constexpr UINT_PTR BarTimer = 1, DragTimer = 2, WorkTimer = 3;
    static constexpr int WorkMs = 25;  // a find's or save's slice, again while no input waits, up to 100 ms
    static constexpr UINT BarEveryMs = 100;
    static constexpr int Margin = 2;
};

#endif
