// The Win32 widget set: a window built from a form's design on the system's
// own controls (STATIC, EDIT, BUTTON, COMBOBOX), its timers as window timers,
// and the reception log as a control of our own. Text goes through the ANSI
// functions, so one character is one byte of the user's code page.
#ifndef QUORVEL_WIN32_WIN32CONTROLS_H
#define QUORVEL_WIN32_WIN32CONTROLS_H

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Controls.h"
#include "Win32Log.h"

class TWin32Window : public TWindow {
public:
    // dpi 0: the screen's. A design is for 96 dots per inch and scales from it.
    explicit TWin32Window(int dpi = 0);
    ~TWin32Window() override;
    TWin32Window(const TWin32Window &) = delete;
    TWin32Window &operator=(const TWin32Window &) = delete;

    void Build(const TFormDesign &design) override;
    TControl *Control(const std::string &name) override;
    std::string AskOpenPath(const std::string &title) override;
    std::string AskCapturePath(bool &text) override;
    TFileThere AskAppendOrReplace(const std::string &path) override;
    std::string LocaleDecimalSeparator() const override;
    void ClearEvents() override;

    // Shows the window, the focus on the first control in the tab order.
    void Show(int how = SW_SHOWNORMAL);
    HWND Handle() const { return hwnd; }
    double Scale() const { return scale; }
    HFONT Font() const { return font; }
    // What the window hands a control: its notifications and its timer's ticks.
    class Part;

private:
    struct Placed {
        HWND hwnd;
        RECT rect;      // scaled, for the scaled design client size
        int dropDown;   // a drop-down list's extra height, which the window size includes
        int anchors;
    };
    HWND Make(const TControlDesign &row, int id);
    HWND Child(const char *windowClass, const std::string &text, DWORD style, DWORD exStyle, const TControlDesign &row, int id,
               int dropDown = 0);
    RECT Scaled(int left, int top, int width, int height) const;
    void Arrange(int clientWidth, int clientHeight);
    void FitLabels();
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Message(UINT message, WPARAM wParam, LPARAM lParam);

    int dpi;
    double scale = 1.0;
    HFONT font = nullptr;
    HWND hwnd = nullptr;
    HWND first = nullptr;     // tab order 0
    HWND lastFocus = nullptr; // given back when the window is active again
    SIZE designClient{};
    bool closing = false;
    std::vector<Placed> placed;
    std::vector<HWND> labels;
    std::map<std::string, std::unique_ptr<TControl>> controls;
    std::map<HWND, Part *> byWindow;  // who hears a child's notifications
    std::map<UINT_PTR, Part *> byTimer;
};

// The system window under a control, for tests that drive the window with
// the messages a user's input makes. A radio group's is its frame; Item()
// gives its buttons.
HWND Widget(TControl *control);
HWND RadioItem(TRadioGroup *control, int index);
HWND ComboEdit(TComboBox *control);
TWin32Log *LogView(TMemo *control);

#endif
