#include "QtLog.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLine>
#include <algorithm>

namespace {

QString Text(const std::string &bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

}  // namespace

TQtLog::TQtLog(const TLogStore &store, QWidget *parent) : QAbstractScrollArea(parent), store(store)
{
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    UpdateScrollBar();
}

int TQtLog::Rows() const { return std::max(1, (viewport()->height() - 2 * Margin) / std::max(1, fontMetrics().lineSpacing())); }

void TQtLog::UpdateScrollBar()
{
    // One step a line. At the end, the last line stands at the bottom however
    // its neighbours wrap; above it, the top line is the scroll bar's value.
    QScrollBar *bar = verticalScrollBar();
    int count = int(std::min<std::size_t>(store.LineCount(), std::size_t(INT32_MAX / 2)));
    int rows = Rows();
    bar->setRange(0, std::max(0, count - rows));
    bar->setPageStep(rows);
    bar->setSingleStep(1);
}

void TQtLog::StoreChanged()
{
    bool follow = AtEnd();
    UpdateScrollBar();
    if (follow) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    anchor = Clamp(anchor), cursor = Clamp(cursor);
    viewport()->update();
    emit Changed();
}

bool TQtLog::AtEnd() const { return verticalScrollBar()->value() >= verticalScrollBar()->maximum(); }

std::unique_ptr<QTextLayout> TQtLog::LayOut(std::size_t line) const
{
    auto layout = std::make_unique<QTextLayout>(::Text(store.Line(line)), font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout->setTextOption(option);
    layout->setCacheEnabled(true);
    const qreal width = std::max(1, viewport()->width() - 2 * Margin);
    layout->beginLayout();
    qreal y = 0;
    for (QTextLine row = layout->createLine(); row.isValid(); row = layout->createLine()) {
        row.setLineWidth(width);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout->endLayout();
    return layout;
}

void TQtLog::LayOutInSight() const
{
    shown.clear();
    const std::size_t count = store.LineCount();
    const int height = viewport()->height();
    if (count == 0) return;
    if (AtEnd()) {
        // From the last line up, until the view is full.
        int bottom = height - Margin;
        for (std::size_t line = count; line-- > 0 && bottom > 0;) {
            auto layout = LayOut(line);
            bottom -= int(layout->boundingRect().height());
            shown.push_back({line, bottom, std::move(layout)});
        }
        std::reverse(shown.begin(), shown.end());
        if (shown.empty()) return;  // a view too low for even one line
        // Short logs start at the top, as text does.
        int shift = shown.front().top - Margin;
        if (shift > 0)
            for (Shown &s : shown) s.top -= shift;
    } else {
        int top = Margin;
        for (std::size_t line = std::size_t(verticalScrollBar()->value()); line < count && top < height; ++line) {
            auto layout = LayOut(line);
            int h = int(layout->boundingRect().height());
            shown.push_back({line, top, std::move(layout)});
            top += h;
        }
    }
}

void TQtLog::paintEvent(QPaintEvent *)
{
    LayOutInSight();
    QPainter painter(viewport());
    Position from = std::min(anchor, cursor), to = std::max(anchor, cursor);
    QTextLayout::FormatRange selected;
    selected.format.setBackground(palette().brush(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::Highlight));
    selected.format.setForeground(palette().brush(hasFocus() ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText));
    for (const Shown &s : shown) {
        QList<QTextLayout::FormatRange> ranges;
        if (from < to && s.line >= from.line && s.line <= to.line) {
            int start = s.line == from.line ? from.offset : 0;
            int end = s.line == to.line ? to.offset : int(s.layout->text().size());
            selected.start = start, selected.length = end - start;
            if (selected.length > 0) ranges << selected;
        }
        QPointF at(Margin, s.top);
        s.layout->draw(&painter, at, ranges);
        if (hasFocus() && s.line == cursor.line) s.layout->drawCursor(&painter, at, cursor.offset);
    }
}

void TQtLog::resizeEvent(QResizeEvent *event)
{
    bool follow = AtEnd();
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBar();
    if (follow) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TQtLog::scrollContentsBy(int, int) { viewport()->update(); }

TQtLog::Position TQtLog::Clamp(Position p) const
{
    std::size_t count = store.LineCount();
    if (count == 0) return {};
    if (p.line >= count) p = {count - 1, int(store.LineLength(count - 1))};
    p.offset = std::clamp(p.offset, 0, int(store.LineLength(p.line)));
    return p;
}

TQtLog::Position TQtLog::At(QPoint point) const
{
    LayOutInSight();
    if (shown.empty()) return {};
    const Shown *hit = &shown.front();
    if (point.y() < shown.front().top) return {shown.front().line, 0};
    for (const Shown &s : shown)
        if (point.y() >= s.top) hit = &s;
    QPointF local(point.x() - Margin, point.y() - hit->top);
    for (int i = 0; i < hit->layout->lineCount(); ++i) {
        QTextLine row = hit->layout->lineAt(i);
        if (local.y() < row.y() + row.height() || i + 1 == hit->layout->lineCount())
            return {hit->line, row.xToCursor(local.x())};
    }
    return {hit->line, 0};
}

QRect TQtLog::Where(Position position) const
{
    LayOutInSight();
    for (const Shown &s : shown) {
        if (s.line != position.line) continue;
        QTextLine row = s.layout->lineForTextPosition(position.offset);
        if (!row.isValid()) return {};
        qreal x = row.cursorToX(position.offset);
        return QRect(int(Margin + x), int(s.top + row.y()), std::max(1, fontMetrics().averageCharWidth()), int(row.height()));
    }
    return {};
}

QString TQtLog::Range(Position from, Position to) const
{
    QString text;
    for (std::size_t line = from.line; line <= to.line && line < store.LineCount(); ++line) {
        std::string bytes = store.Line(line);
        std::size_t start = line == from.line ? std::size_t(from.offset) : 0;
        std::size_t end = line == to.line ? std::size_t(to.offset) : bytes.size();
        if (line != from.line) text += QChar('\n');
        if (end > start) text += ::Text(bytes.substr(start, end - start));
    }
    return text;
}

QString TQtLog::Text() const
{
    if (store.LineCount() == 0) return QString();
    std::size_t last = store.LineCount() - 1;
    return Range({0, 0}, {last, int(store.LineLength(last))});
}

QString TQtLog::SelectedText() const { return Range(std::min(anchor, cursor), std::max(anchor, cursor)); }

void TQtLog::Select(Position from, Position to)
{
    anchor = Clamp(from), cursor = Clamp(to);
    viewport()->update();
}

void TQtLog::SelectAll()
{
    std::size_t count = store.LineCount();
    if (count == 0) return;
    Select({0, 0}, {count - 1, int(store.LineLength(count - 1))});
}

void TQtLog::Copy() const
{
    if (anchor == cursor) return;
    QApplication::clipboard()->setText(SelectedText());
}

void TQtLog::MoveCursor(Position to, bool extend)
{
    cursor = Clamp(to);
    if (!extend) anchor = cursor;
    ShowCursor();
    viewport()->update();
}

void TQtLog::ShowCursor()
{
    // Brings the cursor's line into sight, scrolling by whole lines.
    QScrollBar *bar = verticalScrollBar();
    int line = int(std::min<std::size_t>(cursor.line, std::size_t(INT32_MAX / 2)));
    if (!AtEnd() && line >= bar->value() && line < bar->value() + Rows()) return;
    if (line < bar->value() || (AtEnd() && line < bar->maximum())) bar->setValue(line);
    else if (line >= bar->value() + Rows()) bar->setValue(line - Rows() + 1);
}

void TQtLog::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    Position p = At(event->position().toPoint());
    cursor = p;
    if (!(event->modifiers() & Qt::ShiftModifier)) anchor = p;
    dragging = true;
    viewport()->update();
}

void TQtLog::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging) return;
    QPoint point = event->position().toPoint();
    // Dragging past an edge scrolls the log on.
    if (point.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (point.y() > viewport()->height()) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    cursor = At(point);
    viewport()->update();
}

void TQtLog::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) dragging = false;
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void TQtLog::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) return Copy();
    if (event->matches(QKeySequence::SelectAll)) return SelectAll();
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const bool far = event->modifiers() & Qt::ControlModifier;
    const std::size_t count = store.LineCount();
    if (count == 0) return QAbstractScrollArea::keyPressEvent(event);
    Position p = cursor;
    switch (event->key()) {
    case Qt::Key_Left:
        if (p.offset > 0) --p.offset;
        else if (p.line > 0) p = {p.line - 1, int(store.LineLength(p.line - 1))};
        break;
    case Qt::Key_Right:
        if (p.offset < int(store.LineLength(p.line))) ++p.offset;
        else if (p.line + 1 < count) p = {p.line + 1, 0};
        break;
    case Qt::Key_Up: p.line = p.line > 0 ? p.line - 1 : 0; break;
    case Qt::Key_Down: p.line = std::min(p.line + 1, count - 1); break;
    case Qt::Key_PageUp: p.line = p.line > std::size_t(Rows()) ? p.line - std::size_t(Rows()) : 0; break;
    case Qt::Key_PageDown: p.line = std::min(p.line + std::size_t(Rows()), count - 1); break;
    case Qt::Key_Home: p = far ? Position{0, 0} : Position{p.line, 0}; break;
    case Qt::Key_End:
        if (far) p.line = count - 1;
        p.offset = int(store.LineLength(p.line));
        break;
    default: return QAbstractScrollArea::keyPressEvent(event);
    }
    MoveCursor(p, extend);
}

void TQtLog::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    QAction *copy = menu.addAction(tr("&Copy"), this, [this] { Copy(); });
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(!(anchor == cursor));
    menu.addSeparator();
    QAction *all = menu.addAction(tr("Select All"), this, [this] { SelectAll(); });
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(store.LineCount() > 0);
    menu.exec(event->globalPos());
}

void TQtLog::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update();
}

void TQtLog::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}
