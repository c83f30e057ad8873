// Test helper: a widget set with no toolkit, so that the form itself runs in
// the plain tests on every platform (Windows under Wine included). Controls
// keep their state in memory; Pump() plays the message loop for the timers.
#ifndef QUORVEL_TESTS_HEADLESSWINDOW_H
#define QUORVEL_TESTS_HEADLESSWINDOW_H

#include <functional>
#include <map>
#include <memory>

#include "Controls.h"
#include "PortTableUse.h"
#include "Quorvel.h"

class HeadlessApplication : public TApplication {
public:
    // What the queue holds when a handler drains it.
    std::function<void()> queued;
    void ProcessMessages() override
    {
        if (queued) queued();
    }
    void SetBusyCursor(bool on) override { busy = on; }
    bool busy = false;
};

class HeadlessWindow : public TWindow {
public:
    template <typename Base>
    struct Basic : Base {
        bool Enabled() const override { return enabled; }
        void SetEnabled(bool on) override { enabled = on; }
        bool enabled = true;
    };
    struct Edit : Basic<TEdit> {
        std::string Text() const override { return text; }
        void SetText(const std::string &t) override { text = t; }
        std::string text;
    };
    struct Memo : Basic<TMemo> {
        void Changed() override {}
        void SetStatus(const std::string &line) override { status = line; }
        std::string status;
    };
    struct ComboBox : Basic<TComboBox> {
        int ItemIndex() const override { return index; }
        void SetItemIndex(int i) override { index = i; }
        int index = -1;
    };
    struct RadioGroup : Basic<TRadioGroup> {
        int ItemIndex() const override { return index; }
        void SetItemIndex(int i) override { index = i; }
        int index = -1;
    };
    struct Timer : Basic<TTimer> {
        int interval = 0;
        Clock::time_point due;
        void SetEnabled(bool on) override
        {
            if (on && !enabled) due = Clock::now() + std::chrono::milliseconds(interval);
            enabled = on;
        }
    };

    void Build(const TFormDesign &design) override
    {
        for (const TControlDesign &row : design.Controls) {
            std::unique_ptr<TControl> control;
            switch (row.Kind) {
            case TControlKind::Label: control = std::make_unique<Basic<TLabel>>(); break;
            case TControlKind::Edit: control = std::make_unique<Edit>(); break;
            case TControlKind::Button: control = std::make_unique<Basic<TButton>>(); break;
            case TControlKind::Memo: control = std::make_unique<Memo>(); break;
            case TControlKind::ComboBox: control = std::make_unique<ComboBox>(); break;
            case TControlKind::RadioGroup: control = std::make_unique<RadioGroup>(); break;
            case TControlKind::Timer: {
                auto timer = std::make_unique<Timer>();
                timer->interval = row.Interval;
                timer->enabled = false;
                control = std::move(timer);
                break;
            }
            }
            controls[row.Name] = std::move(control);
            if (auto *group = Find<RadioGroup>(row.Name)) group->index = row.ItemIndex;
            Control(row.Name)->SetEnabled(row.Enabled);
        }
    }
    TControl *Control(const std::string &name) override
    {
        auto found = controls.find(name);
        return found == controls.end() ? nullptr : found->second.get();
    }
    std::string LocaleDecimalSeparator() const override { return "."; }
    std::string AskOpenPath(const std::string &) override { return openPath; }
    std::string openPath;  // what the open dialog answers
    std::string AskCapturePath(bool &) override { return ""; }
    TFileThere AskAppendOrReplace(const std::string &) override { return TFileThere::Cancel; }
    // The form is going: nothing of it is called again.
    void ClearEvents() override { controls.clear(); }

    // Runs the timers that fall due within `ms`, each handler through the frame.
    void Pump(int ms)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        do {
            for (auto &entry : controls) {
                auto *timer = dynamic_cast<Timer *>(entry.second.get());
                if (!timer || !timer->enabled || Clock::now() < timer->due || !timer->OnTimer) continue;
                timer->due = Clock::now() + std::chrono::milliseconds(timer->interval);
                TApplication::Run(timer->OnTimer);
            }
            Sleep(1);
        } while (Clock::now() < end);
    }
    // Pumps until `done` holds or `ms` passed; the milliseconds it took, or -1.
    template <typename Done>
    long long PumpUntil(Done done, int ms)
    {
        auto start = Clock::now();
        while (!done()) {
            if (MsSince(start) >= ms) return -1;
            Pump(1);
        }
        return MsSince(start);
    }

private:
    std::map<std::string, std::unique_ptr<TControl>> controls;
};

#endif
