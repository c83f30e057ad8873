#include "QtLog.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <climits>

#include "Quorvel.h"

namespace {

// One glyph a byte, as the view says it shows, not a tab stop or nothing, so
// that every byte is as wide as the view counts it.
QChar Glyph(unsigned char byte) { return QChar(static_cast<unsigned char>(TLogView::Shown(byte))); }

QString Text(const std::string &bytes, int from, int to)
{
    QString text(to - from, Qt::Uninitialized);
    for (int i = from; i < to; ++i) text[i - from] = Glyph(static_cast<unsigned char>(bytes[std::size_t(i)]));
    return text;
}

}  // namespace

TQtLog::TQtLog(const TLogStore &store, QWidget *parent) : QAbstractScrollArea(parent), store(store), view(store, *this, "\n")
{
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (!settingBar) TApplication::Guard([&] { view.ScrollTo(std::size_t(std::max(0, value))); });
    });
    connect(&dragTimer, &QTimer::timeout, this, [this] { TApplication::Guard([this] { view.Tick(); }); });
    // A find or a save goes on between the window's own events.
    workTimer.setInterval(0);
    connect(&workTimer, &QTimer::timeout, this, [this] { TApplication::Guard([this] { view.Work(WorkMs); }); });
    findBar.setParent(this);
    findBar.setPlaceholderText("Find (Enter: next, Shift+Enter: previous)");
    findBar.setClearButtonEnabled(true);
    findBar.installEventFilter(this);
    findBar.hide();
    SetFont();
}

void TQtLog::SetWorking(bool on)
{
    if (on) workTimer.start();
    else workTimer.stop();
}

void TQtLog::PlaceFindBar()
{
    const int w = std::min(viewport()->width() - 2 * Margin, std::max(findBar.sizeHint().width(), 240));
    findBar.setGeometry(viewport()->x() + viewport()->width() - Margin - w, viewport()->y() + Margin, w, findBar.sizeHint().height());
}

void TQtLog::AskFind()
{
    if (findBar.text().isEmpty()) findBar.setText(QString::fromLatin1(view.Sought().c_str()));
    PlaceFindBar();
    findBar.show();
    findBar.raise();
    findBar.selectAll();
    findBar.setFocus(Qt::ShortcutFocusReason);
}

bool TQtLog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != &findBar || event->type() != QEvent::KeyPress) return QAbstractScrollArea::eventFilter(watched, event);
    // The bar's keys: Enter finds (Shift: going up), F3 too, Escape leaves it.
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool up = key->modifiers() & Qt::ShiftModifier;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F3: {
        // The log shows bytes as Latin-1: a character beyond it is in no byte, and is not looked for as "?".
        const QString text = findBar.text();
        const QList<uint> points = text.toUcs4();
        const auto beyond = std::find_if(points.begin(), points.end(), [](uint c) { return c > 0xFF; });
        TApplication::Guard([&] {
            if (beyond != points.end())
                view.Say((QString::fromUcs4(reinterpret_cast<const char32_t *>(&*beyond), 1) + " cannot be in the log: it shows bytes as Latin-1").toLocal8Bit().toStdString());
            else
                view.Find(text.toLatin1().toStdString(), !up, text.toLocal8Bit().toStdString());
        });
        return true;
    }
    case Qt::Key_Escape:
        TApplication::Guard([&] {
            if (view.Working()) view.Stop();
            else findBar.hide(), setFocus(Qt::OtherFocusReason);
        });
        return true;
    default: return QAbstractScrollArea::eventFilter(watched, event);
    }
}

std::string TQtLog::AskSavePath(bool receivedBytes)
{
    const QString path = QFileDialog::getSaveFileName(this, receivedBytes ? "Save Received Bytes As" : "Save Log As", QString(),
                                                      receivedBytes ? "All files (*)" : "Text files (*.txt);;All files (*)");
    return QFile::encodeName(path).toStdString();
}

void TQtLog::SetFont()
{
    const QFontMetrics metrics(Font());
    int widths[256];
    for (int i = 0; i < 256; ++i) widths[i] = metrics.horizontalAdvance(Glyph(static_cast<unsigned char>(i)));
    view.SetMetrics(widths, metrics.height(), Margin);
}

void TQtLog::Invalidate() { viewport()->update(); }

QFont TQtLog::Font() const
{
    if (!fixedPitch) return font();
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(font().pointSizeF());
    return fixed;
}

void TQtLog::SetFixedPitch(bool on)
{
    fixedPitch = on;
    SetFont();
}

void TQtLog::SetScrollBar(std::size_t rows, std::size_t page, std::size_t position)
{
    // One step a row; the top row is the value, the end its maximum.
    QScrollBar *bar = verticalScrollBar();
    const auto fit = [](std::size_t n) { return int(std::min<std::size_t>(n, std::size_t(INT_MAX / 2))); };
    settingBar = true;
    bar->setRange(0, std::max(0, fit(rows) - fit(page)));
    bar->setPageStep(fit(page));
    bar->setValue(fit(position));
    settingBar = false;
}

void TQtLog::SetClipboard(const std::string &text)
{
    QApplication::clipboard()->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
}

void TQtLog::SetTimer(int ms)
{
    if (ms > 0) dragTimer.start(ms);
    else dragTimer.stop();
}

void TQtLog::StoreChanged()
{
    view.StoreChanged();
    emit Changed();
}

QString TQtLog::Text() const
{
    const std::string text = view.Text();
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString TQtLog::SelectedText() const
{
    const std::string text = view.SelectedText();
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QRect TQtLog::Where(Position position) const
{
    const TLogBox box = view.Where(position);
    return box.Empty() ? QRect() : QRect(box.left, box.top, box.right - box.left, box.bottom - box.top);
}

void TQtLog::paintEvent(QPaintEvent *)
{
    TApplication::Guard([this] { Paint(); });
}

void TQtLog::Paint()
{
    QPainter painter(viewport());
    const QPalette::ColorGroup group = hasFocus() ? QPalette::Active : QPalette::Inactive;
    QTextLayout::FormatRange selected;
    selected.format.setBackground(palette().brush(group, QPalette::Highlight));
    selected.format.setForeground(palette().brush(group, QPalette::HighlightedText));
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    const QFont rowFont = Font();
    for (const TLogView::Row &row : view.Rows()) {
        QTextLayout layout(::Text(*row.text, row.from, row.to), rowFont);
        layout.setTextOption(option);
        layout.setCacheEnabled(true);  // shaped once, for drawing too
        layout.beginLayout();
        layout.createLine().setPosition(QPointF(0, 0));
        layout.endLayout();
        QList<QTextLayout::FormatRange> ranges;
        if (row.selTo > row.selFrom) {
            selected.start = row.selFrom - row.from, selected.length = row.selTo - row.selFrom;
            ranges << selected;
        }
        const QPointF at(Margin, row.top);
        layout.draw(&painter, at, ranges);
        if (hasFocus() && row.caret >= 0) layout.drawCursor(&painter, at, row.caret - row.from);
    }
    // What a find or a save says, below the rows.
    if (!view.Status().empty()) {
        const QRect strip(0, viewport()->height() - view.StatusHeight(), viewport()->width(), view.StatusHeight());
        painter.fillRect(strip, palette().brush(QPalette::ToolTipBase));
        painter.setPen(palette().color(QPalette::ToolTipText));
        painter.drawText(strip.adjusted(Margin, 0, -Margin, 0), Qt::AlignVCenter | Qt::AlignLeft,
                         QString::fromLocal8Bit(view.Status().c_str()));
    }
}

void TQtLog::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    TApplication::Guard([this] { view.Resize(viewport()->width(), viewport()->height()); });
    if (findBar.isVisible()) PlaceFindBar();
}

void TQtLog::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) TApplication::Guard([this] { SetFont(); });
}

void TQtLog::scrollContentsBy(int, int) { viewport()->update(); }

namespace {

int Modifiers(Qt::KeyboardModifiers modifiers)
{
    return (modifiers & Qt::ShiftModifier ? lmShift : 0) | (modifiers & Qt::ControlModifier ? lmControl : 0);
}

}  // namespace

void TQtLog::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
    const QPoint at = event->position().toPoint();
    TApplication::Guard([&] { view.Press(at.x(), at.y(), Modifiers(event->modifiers())); });
}

void TQtLog::mouseMoveEvent(QMouseEvent *event)
{
    const QPoint at = event->position().toPoint();
    TApplication::Guard([&] { view.Drag(at.x(), at.y()); });
}

void TQtLog::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) TApplication::Guard([this] { view.Release(); });
    QAbstractScrollArea::mouseReleaseEvent(event);
}

void TQtLog::wheelEvent(QWheelEvent *event)
{
    TApplication::Guard([&] { view.Wheel(event->angleDelta().y()); });
    event->accept();
}

void TQtLog::keyPressEvent(QKeyEvent *event)
{
    static const std::pair<int, TLogKey> keys[] = {
        {Qt::Key_Left, TLogKey::Left},         {Qt::Key_Right, TLogKey::Right}, {Qt::Key_Up, TLogKey::Up},
        {Qt::Key_Down, TLogKey::Down},         {Qt::Key_PageUp, TLogKey::PageUp}, {Qt::Key_PageDown, TLogKey::PageDown},
        {Qt::Key_Home, TLogKey::Home},         {Qt::Key_End, TLogKey::End},     {Qt::Key_F3, TLogKey::FindNext},
        {Qt::Key_Escape, TLogKey::Escape},
    };
    bool used = false;
    TApplication::Guard([&] {
        if (event->matches(QKeySequence::Copy)) used = view.Key(TLogKey::Copy, 0);
        else if (event->matches(QKeySequence::SelectAll)) used = view.Key(TLogKey::SelectAll, 0);
        else if (event->key() == Qt::Key_Escape && !view.Working() && escape && escape()) used = true;
        else if (event->modifiers() == Qt::ControlModifier && event->key() >= Qt::Key_A && event->key() <= Qt::Key_Z)
            used = view.Shortcut(char('A' + (event->key() - Qt::Key_A)));  // the menu's other keys
        else
            for (const auto &key : keys)
                if (event->key() == key.first) used = view.Key(key.second, Modifiers(event->modifiers()));
    });
    if (!used) QAbstractScrollArea::keyPressEvent(event);
}

void TQtLog::contextMenuEvent(QContextMenuEvent *event)
{
    // The view's items as they stand.
    QMenu menu(this);
    for (const TLogMenuItem &item : view.Menu()) {
        if (item.separator) {
            menu.addSeparator();
            continue;
        }
        const TLogCommand command = item.command;
        QAction *action = menu.addAction(QString::fromLatin1(item.caption), this,
                                         [this, command] { TApplication::Guard([this, command] { view.Command(command); }); });
        action->setShortcut(QKeySequence(QString::fromLatin1(item.keys), QKeySequence::PortableText));
        action->setEnabled(item.enabled);
        action->setCheckable(item.checked);
        action->setChecked(item.checked);
    }
    if (formItems) formItems(&menu);
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
