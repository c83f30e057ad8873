// The Qt widget set: a window built from a form's design, its controls over
// Qt widgets, and the two widgets whose behaviour Qt lacks (the completing
// port list and the radio group).
#ifndef QUORVEL_QT_QTCONTROLS_H
#define QUORVEL_QT_QTCONTROLS_H

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "Controls.h"
#include "QtLog.h"

// Editable drop-down list that completes typed text against its entries.
// Change() follows every change of the selection made by the user;
// DropDown() comes as the list opens, whose rows show `notes` beside the entries.
class TQtComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit TQtComboBox(QWidget *parent);
    const std::vector<TItemNote> *notes = nullptr;
    void showPopup() override;
signals:
    void Change(bool typed);  // typed: by keys in the box, not from the list
    void DropDown();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void ClearEntry();
    int editing = 0;  // inside our own key handling: the line edit's signals are ours
};

// A framed group of radio buttons, one of which is selected.
class TQtRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TQtRadioGroup(const QString &caption, const std::vector<std::string> &items, QWidget *parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton *Item(int index) const { return items[std::size_t(index)]; }
    int Count() const { return int(items.size()); }
signals:
    void Click();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void SetTabStop();
    std::vector<QRadioButton *> items;
};

class TQtWindow : public QWidget, public TWindow {
    Q_OBJECT
public:
    // dpi 0: the screen's. A design is for 96 dots per inch and scales from it.
    explicit TQtWindow(QWidget *parent = nullptr, int dpi = 0);
    ~TQtWindow() override;

    void Build(const TFormDesign &design) override;
    TControl *Control(const std::string &name) override;
    std::string AskOpenPath(const std::string &title) override;
    std::string AskCapturePath(bool &text) override;
    TFileThere AskAppendOrReplace(const std::string &path) override;
    std::string LocaleDecimalSeparator() const override;
    void ClearEvents() override;

    double Scale() const { return scale; }

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;  // what the controls left

private:
    struct Placed {
        QWidget *widget;
        QRect rect;  // scaled, for the scaled design client size
        int anchors;
    };
    QWidget *Make(const TControlDesign &row);
    void Place(QWidget *widget, const TControlDesign &row);

    // The window is drawn at most once a frame: a board at full speed adds
    // log lines every millisecond, and drawing each time takes most of a core.
    bool DrawLater();
    QElapsedTimer drawn;  // since the window last drew
    bool drawPending = false;

    int dpi;
    double scale = 1.0;
    QSize designClient;
    std::vector<Placed> placed;
    std::map<std::string, std::unique_ptr<TControl>> controls;
    QFileSystemWatcher devices;  // /dev, for OnDeviceChange
};

// The Qt widget under a control, for tests that drive the window as a user does.
QLabel *Widget(TLabel *control);
QLineEdit *Widget(TEdit *control);
QPushButton *Widget(TButton *control);
TQtLog *Widget(TMemo *control);
TQtComboBox *Widget(TComboBox *control);
TQtRadioGroup *Widget(TRadioGroup *control);
QTimer *Widget(TTimer *control);

#endif
