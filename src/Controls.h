// The controls a form is made of, as its handlers see them: no toolkit here.
// A widget set (src/qt/, one day src/win32/) builds a window from a form's
// design and implements these classes over its own widgets. Text is 8-bit,
// one character per byte (Latin-1), as it goes on the wire.
#ifndef QUORVEL_CONTROLS_H
#define QUORVEL_CONTROLS_H

#include <functional>
#include <string>
#include <vector>

#include "LogStore.h"

enum class TControlKind { Label, Edit, Button, Memo, ComboBox, RadioGroup, Timer };
// The window edges a control follows when the window is resized.
enum TAnchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
constexpr int akDefault = akLeft | akTop;

// One row of a form's design: client pixels at 96 dots per inch.
struct TControlDesign {
    TControlKind Kind;
    const char *Name;
    int Left, Top, Width, Height;
    int Anchors;
    std::string Caption;             // a button's or label's caption, an edit's text, a group's title
    std::vector<std::string> Items;  // a list's entries, a group's items
    bool Enabled;
    int TabOrder;        // -1: not a tab stop
    int ItemIndex = -1;  // the entry or item selected at start
    int Interval = 0;    // a timer's, in ms
    int MaxLength = 0;   // an edit's most characters; 0: no limit
};

struct TFormDesign {
    const char *Name;
    std::string Caption;
    int Left, Top, ClientWidth, ClientHeight;
    const char *FontName;
    int FontHeight;  // pixels at 96 dots per inch
    std::vector<TControlDesign> Controls;
};

class TControl {
public:
    virtual ~TControl() = default;
    virtual bool Enabled() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
};

class TLabel : public TControl {};

// An item of a control's context menu, after the platform's own items: a
// separator, or a caption ("&" before the access key) that may be checked.
struct TMenuItem {
    std::string Caption;
    bool Checkable = false;  // an item that is on or off, as Checked says
    bool Checked = false;
    bool Separator = false;
    bool Enabled = true;  // false: shown greyed
    std::function<void()> OnClick;
};

enum class TEditKey { Up, Down, Escape };

// A single-line edit box.
class TEdit : public TControl {
public:
    virtual std::string Text() const = 0;  // a character Latin-1 lacks comes as "?"
    virtual void SetText(const std::string &text) = 0;  // the caret goes to its end
    // A key typed in the box; the key goes on to the box as the handler leaves it.
    std::function<void(char &key)> OnKeyPress;
    // Up, Down or Escape pressed in the box; true: the handler took it, and it goes no further.
    std::function<bool(TEditKey key)> OnKeyDown;
    // Asked as the box's context menu opens: the items it shows after the platform's own.
    std::function<std::vector<TMenuItem>()> OnMenu;
};

class TButton : public TControl {
public:
    std::function<void()> OnClick;
    // Asked as the button's context menu opens: its items.
    std::function<std::vector<TMenuItem>()> OnMenu;
};

// A read-only multi-line log: lines are appended at its end. Its text is
// kept here, as it came; the widget set shows it from here.
class TMemo : public TControl {
public:
    void Append(const std::string &line)
    {
        Lines.Append(line);
        Changed();
    }
    void AppendRead(const unsigned char *data, std::size_t count, std::int64_t monotonicUs, std::int64_t wallUs)
    {
        Lines.AppendRead(data, count, monotonicUs, wallUs);
        Changed();
    }
    void Clear()
    {
        Lines.Clear();
        Changed();
    }
    // On disk, so that the log may grow past memory; where it cannot be, in memory, said once.
    void KeepOnDisk()
    {
        if (std::string why; !Lines.KeepOnDisk(TLogFolder::Base(), why)) Append("The log is kept in memory: " + why + ".");
    }
    TLogStore Lines;

    // A line of the form's own in the log's status strip ("": none), as long
    // as no find or save of the log's own is saying something there.
    virtual void SetStatus(const std::string &line) = 0;
    // Escape pressed in the log when it had no find or save to stop; true: the form took it.
    std::function<bool()> OnEscape;
    // Asked as the log's context menu opens: the form's items after the log's own.
    std::function<std::vector<TMenuItem>()> OnMenu;

protected:
    // The text changed: the widget set shows it when it next draws.
    virtual void Changed() = 0;
};

// What a list shows beside an entry while it is open; dimmed: nothing there.
struct TItemNote {
    std::string Text;  // in the system's own encoding (UTF-8 on Linux, the ANSI code page on Windows)
    bool Dimmed = false;
};

// An editable drop-down list that completes typed text against its entries.
// OnChange follows every change of the selection that the user makes;
// OnDropDown comes as the list opens, and may set the notes it then shows.
class TComboBox : public TControl {
public:
    virtual int ItemIndex() const = 0;  // -1: no entry selected
    virtual void SetItemIndex(int index) = 0;
    std::function<void()> OnChange, OnDropDown;
    // While OnChange runs: the change came from typing in the box, not from the list.
    bool Typed = false;
    std::vector<TItemNote> Notes;  // one an entry, beside it in the open list
    // Asked as the list's context menu opens: the items it shows after the platform's own.
    std::function<std::vector<TMenuItem>()> OnMenu;
};

// A framed group of items, one of them selected; OnClick follows a change of selection.
class TRadioGroup : public TControl {
public:
    virtual int ItemIndex() const = 0;
    virtual void SetItemIndex(int index) = 0;
    std::function<void()> OnClick;
};

// A window timer: its ticks are messages like any other.
class TTimer : public TControl {
public:
    std::function<void()> OnTimer;
};

// Drops a control's event bindings, whatever its kind.
inline void ClearControlEvents(TControl *control)
{
    if (auto *edit = dynamic_cast<TEdit *>(control)) edit->OnKeyPress = nullptr, edit->OnKeyDown = nullptr, edit->OnMenu = nullptr;
    if (auto *button = dynamic_cast<TButton *>(control)) button->OnClick = nullptr, button->OnMenu = nullptr;
    if (auto *combo = dynamic_cast<TComboBox *>(control)) combo->OnChange = nullptr, combo->OnDropDown = nullptr, combo->OnMenu = nullptr;
    if (auto *memo = dynamic_cast<TMemo *>(control)) memo->OnEscape = nullptr, memo->OnMenu = nullptr;
    if (auto *group = dynamic_cast<TRadioGroup *>(control)) group->OnClick = nullptr;
    if (auto *timer = dynamic_cast<TTimer *>(control)) timer->OnTimer = nullptr;
}

// What to do with a file that is there already, as the user answered.
enum class TFileThere { Cancel, Append, Replace };

// The window a form is drawn in.
class TWindow {
public:
    virtual ~TWindow() = default;
    // Makes every control of the design.
    virtual void Build(const TFormDesign &design) = 0;
    // The control of that name, or nullptr.
    virtual TControl *Control(const std::string &name) = 0;
    // The platform's dialog for a file to open, under that title: its path in
    // the system's own encoding, "" when the user cancelled.
    virtual std::string AskOpenPath(const std::string &title) = 0;
    // The platform's save dialog for a capture ("" when the user cancelled);
    // `text`: the file type that also writes the log as text beside it, as
    // offered first and as chosen. It asks nothing about a file that is there:
    // AskAppendOrReplace does.
    virtual std::string AskCapturePath(bool &text) = 0;
    virtual TFileThere AskAppendOrReplace(const std::string &path) = 0;
    // The decimal separator of the user's regional settings (of this window's, where it has its own).
    virtual std::string LocaleDecimalSeparator() const = 0;
    // The window is shown, is closing, or the user changed the regional settings.
    std::function<void()> OnShow, OnClose, OnSettingChange;
    // A device came or went (a board plugged in or pulled out), as the system says.
    std::function<void()> OnDeviceChange;
    // Escape pressed where no control took it (on a button, say).
    std::function<void()> OnEscape;
    // Drops every event binding of the window and its controls: the form is going.
    virtual void ClearEvents() = 0;

    template <typename T>
    T *Find(const std::string &name)
    {
        return dynamic_cast<T *>(Control(name));
    }
};

#endif
