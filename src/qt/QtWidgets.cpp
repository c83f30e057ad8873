// The list and the radio group, as Qt widgets of our own.
#include "QtControls.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QAbstractItemView>

#include "Completion.h"
#include "Quorvel.h"

// ---------------------------------------------------------------- TQtComboBox

namespace {

// An entry of the open list, then its note: dimmed where nothing is there.
// A note is the system's text, UTF-8 here (sysfs), not the log's 8-bit bytes.
class NoteDelegate : public QStyledItemDelegate {
public:
    NoteDelegate(TQtComboBox *combo) : QStyledItemDelegate(combo), combo(combo) {}
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::paint(painter, option, index);
        const TItemNote *note = Note(index);
        if (!note) return;
        const bool selected = option.state & QStyle::State_Selected;
        QRect rect = option.rect.adjusted(ComboNoteLeft(WidthOf20(option.fontMetrics)), 0, -4, 0);
        painter->save();
        painter->setPen(option.palette.color(note->Dimmed && !selected ? QPalette::Disabled : QPalette::Active,
                                             selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter, QString::fromUtf8(note->Text.c_str()));
        painter->restore();
    }
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        if (const TItemNote *note = Note(index))
            size.setWidth(std::max(size.width(), ComboRowWidth(WidthOf20(option.fontMetrics),
                                                               option.fontMetrics.horizontalAdvance(QString::fromUtf8(note->Text.c_str())))));
        return size;
    }

private:
    const TItemNote *Note(const QModelIndex &index) const
    {
        const std::vector<TItemNote> *notes = combo->notes;
        return notes && index.row() >= 0 && std::size_t(index.row()) < notes->size() ? &(*notes)[std::size_t(index.row())] : nullptr;
    }
    static int WidthOf20(const QFontMetrics &metrics) { return metrics.horizontalAdvance(QStringLiteral("20")); }
    TQtComboBox *combo;
};

}  // namespace

void TQtComboBox::showPopup()
{
    emit DropDown();
    // The list as wide as its rows need, which may be wider than the box.
    int width = 0;
    for (int i = 0; i < count(); ++i) width = std::max(width, view()->sizeHintForIndex(model()->index(i, 0)).width());
    view()->setMinimumWidth(width + view()->verticalScrollBar()->sizeHint().width() + 2 * view()->frameWidth());
    QComboBox::showPopup();
}

TQtComboBox::TQtComboBox(QWidget *parent) : QComboBox(parent)
{
    setItemDelegate(new NoteDelegate(this));
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    setCompleter(nullptr);  // completion is done in keyPressEvent, the way the list expects
    // Qt selects the entry matching the text when Enter is pressed or the focus
    // leaves, and reports that as a choice; the user chose nothing then.
    disconnect(lineEdit(), &QLineEdit::editingFinished, this, nullptr);
    disconnect(lineEdit(), &QLineEdit::returnPressed, this, nullptr);
    // Edits that do not come through our keys (paste, cut, Delete) leave no entry selected.
    connect(lineEdit(), &QLineEdit::textEdited, this, [this] {
        if (!editing) ClearEntry();
    });
    connect(this, &QComboBox::activated, this, [this] { emit Change(false); });
}

void TQtComboBox::ClearEntry()
{
    // Dropping the selected entry would also empty the text; keep what the user sees.
    QLineEdit *edit = lineEdit();
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    TComboText box{text.toLatin1().toStdString(), cursor, cursor, currentIndex()};
    const bool change = ComboEdited(box);
    ++editing;
    setCurrentIndex(box.index);
    if (edit->text() != text) edit->setText(text);
    edit->setCursorPosition(cursor);
    --editing;
    if (change) emit Change(true);
}

void TQtComboBox::keyPressEvent(QKeyEvent *event)
{
    QLineEdit *edit = lineEdit();
    const Qt::KeyboardModifiers commandKeys = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    const bool plain = !(event->modifiers() & commandKeys);
    const QString typed = event->text();
    char key;
    if (plain && event->key() == Qt::Key_Backspace) key = ComboBackspace;
    else if (plain && typed.size() == 1 && typed[0].isPrint() && typed[0].unicode() < 256) key = char(typed[0].unicode());
    else return QComboBox::keyPressEvent(event);  // what Latin-1 lacks goes in as an edit, which ends the choice
    TComboText box;
    bool change = false, done = false;
    TApplication::Guard([&] {
        std::vector<std::string> entries;
        for (int i = 0; i < count(); ++i) entries.push_back(itemText(i).toLatin1().toStdString());
        box = {edit->text().toLatin1().toStdString(), edit->cursorPosition(), edit->cursorPosition(), currentIndex()};
        if (edit->hasSelectedText()) box.selFrom = edit->selectionStart(), box.selTo = edit->selectionEnd();
        change = ComboType(entries, box, key);
        done = true;
    });
    if (!done) return;
    ++editing;
    setCurrentIndex(box.index);
    edit->setText(QString::fromLatin1(box.text.data(), qsizetype(box.text.size())));
    if (box.selTo > box.selFrom) edit->setSelection(box.selFrom, box.selTo - box.selFrom);
    else edit->setCursorPosition(box.selFrom);
    --editing;
    if (change) emit Change(true);
}

// ---------------------------------------------------------------- TQtRadioGroup

TQtRadioGroup::TQtRadioGroup(const QString &caption, const std::vector<std::string> &names, QWidget *parent) : QGroupBox(caption, parent)
{
    for (const std::string &name : names) {
        auto *item = new QRadioButton(QString::fromLatin1(name.c_str()), this);
        // Only a change of selection counts, however it is made (mouse, arrow keys, code).
        connect(item, &QRadioButton::toggled, this, [this](bool on) {
            SetTabStop();
            if (on) emit Click();
        });
        items.push_back(item);
    }
    SetTabStop();
}

void TQtRadioGroup::SetTabStop()
{
    // The group is one tab stop, its checked item; the arrow keys move within it.
    int checked = std::max(ItemIndex(), 0);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i]->setFocusPolicy(int(i) == checked ? Qt::StrongFocus : Qt::ClickFocus);
}

int TQtRadioGroup::ItemIndex() const
{
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i]->isChecked()) return int(i);
    return -1;
}

void TQtRadioGroup::SetItemIndex(int index) { items.at(std::size_t(index))->setChecked(true); }

void TQtRadioGroup::resizeEvent(QResizeEvent *event)
{
    QGroupBox::resizeEvent(event);
    // Items share the space under the caption evenly, each centred in its share.
    int lineHeight = fontMetrics().height();
    int top = lineHeight + 2;
    int cell = (height() - top - 4) / int(items.size());
    int itemHeight = std::min(cell, lineHeight + 4);
    for (std::size_t i = 0; i < items.size(); ++i)
        items[i]->setGeometry(8, top + int(i) * cell + (cell - itemHeight) / 2, width() - 16, itemHeight);
}

