// The reception log on Qt: a read-only view of a TLogStore that lays out and
// draws only the lines in sight, wrapped at its width, with selection by
// mouse and keys, copy and select-all. The text itself stays in the store.
#ifndef QUORVEL_QT_QTLOG_H
#define QUORVEL_QT_QTLOG_H

#include <QAbstractScrollArea>
#include <QTextLayout>
#include <memory>
#include <vector>

#include "LogStore.h"

class TQtLog : public QAbstractScrollArea {
    Q_OBJECT
public:
    using Position = TLogPosition;

    TQtLog(const TLogStore &store, QWidget *parent);

    // The store changed: the view follows its end while it is at the end.
    void StoreChanged();

    // Lines joined by line feeds, as a copy gives them.
    QString Text() const;
    QString SelectedText() const;
    void Select(Position anchor, Position cursor);
    void SelectAll();
    void Copy() const;
    bool AtEnd() const;
    // Where a point of the viewport falls in the text (as the last drawing laid it out).
    Position At(QPoint point) const;
    // The rectangle of a position's character in the viewport, where it is in sight.
    QRect Where(Position position) const;

signals:
    void Changed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    struct Shown {
        std::size_t line;
        int top;  // in the viewport
        std::unique_ptr<QTextLayout> layout;
    };
    std::unique_ptr<QTextLayout> LayOut(std::size_t line) const;
    void LayOutInSight() const;
    void UpdateScrollBar();
    int Rows() const;
    void MoveCursor(Position to, bool extend);
    void ShowCursor();
    Position Clamp(Position p) const;
    QString Range(Position from, Position to) const;

    const TLogStore &store;
    Position anchor, cursor;
    bool dragging = false;
    mutable std::vector<Shown> shown;  // the lines in sight, as last laid out
    static constexpr int Margin = 4;
};

#endif
