// The reception log on Qt: the host of a TLogView, which decides what is in
// sight, the selection and what input means. Here: Qt's events turned into
// the view's words, the font's widths, the scroll bar, the clipboard, and
// the rows drawn as the view lays them out. The text stays in the store.
#ifndef QUORVEL_QT_QTLOG_H
#define QUORVEL_QT_QTLOG_H

#include <functional>

#include <QAbstractScrollArea>
#include <QLineEdit>
#include <QTimer>

#include "LogView.h"

class QMenu;

class TQtLog : public QAbstractScrollArea, private TLogHost {
    Q_OBJECT
public:
    using Position = TLogPosition;

    TQtLog(const TLogStore &store, QWidget *parent);

    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // Lines joined by line feeds, as a copy gives them.
    QString Text() const;
    QString SelectedText() const;
    void Select(Position anchor, Position cursor) { view.Select(anchor, cursor); }
    void SelectAll() { view.SelectAll(); }
    void Copy() const { view.Copy(); }
    bool AtEnd() const { return view.AtEnd(); }
    Position Caret() const { return view.Caret(); }
    // Where a point of the viewport falls in the text.
    Position At(QPoint point) const { return view.At(point.x(), point.y()); }
    // The rectangle of a position's character in the viewport, where it is in sight.
    QRect Where(Position position) const;
    TLogView &View() { return view; }
    // Escape with no find or save to stop goes here first; true: taken.
    std::function<bool()> escape;
    // Adds the form's items to the context menu after the view's.
    std::function<void(QMenu *)> formItems;
    // The find bar, while Ctrl+F shows it.
    QLineEdit *FindBar() { return &findBar; }

signals:
    void Changed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Paint();
    void Invalidate() override;
    void SetScrollBar(std::size_t rows, std::size_t page, std::size_t position) override;
    void SetClipboard(const std::string &text) override;
    void CaptureMouse(bool) override {}  // Qt's own while a button is down
    void SetTimer(int ms) override;
    void SetWorking(bool on) override;
    void AskFind() override;
    std::string AskSavePath(bool receivedBytes) override;
    void SetFixedPitch(bool on) override;
    QFont Font() const;  // what the rows are drawn in
    void SetFont();
    void PlaceFindBar();

    const TLogStore &store;
    TLogView view;
    QTimer dragTimer, workTimer;
    QLineEdit findBar;
    bool settingBar = false;
    bool fixedPitch = false;
    static constexpr int Margin = 4;
    static constexpr int WorkMs = 25;  // a find's or save's slice between events
};

#endif
