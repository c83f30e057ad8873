#include "QtControls.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QScreen>
#include <algorithm>

#include "Completion.h"
#include "Quorvel.h"

// ---------------------------------------------------------------- controls

namespace {

QString Text(const std::string &latin1) { return QString::fromLatin1(latin1.data(), qsizetype(latin1.size())); }
std::string Latin1(const QString &text) { return text.toLatin1().toStdString(); }  // "?" for what Latin-1 lacks

// Runs a control's handler through the frame, which reports a fault. The
// handler is passed as it is stored: the 1 ms poll runs without an allocation.
void Fire(const std::function<void()> &handler)
{
    if (handler) TApplication::Run(handler);
}

template <typename Base, typename W>
class Control : public Base {
public:
    explicit Control(W *widget) : widget(widget) {}
    bool Enabled() const override { return widget->isEnabled(); }
    void SetEnabled(bool enabled) override { widget->setEnabled(enabled); }
    W *const widget;
};

class QtLabel : public Control<TLabel, QLabel> {
    using Control::Control;
};

// Adds a control's own items, as its handler gives them now, after the platform's.
void AddItems(QMenu *menu, const std::function<std::vector<TMenuItem>()> &ask)
{
    std::vector<TMenuItem> items;
    if (ask) TApplication::Run([&] { items = ask(); });
    for (const TMenuItem &item : items) {
        if (item.Separator) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(::Text(item.Caption));
        action->setCheckable(item.Checkable);
        action->setChecked(item.Checked);
        action->setEnabled(item.Enabled);
        const std::function<void()> click = item.OnClick;
        QObject::connect(action, &QAction::triggered, [click] {
            if (click) TApplication::Run(click);
        });
    }
}

// A line edit's context menu: the platform's own (undo, cut, paste...), then the control's items.
void OwnMenu(QLineEdit *edit, const std::function<std::vector<TMenuItem>()> *ask)
{
    edit->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(edit, &QLineEdit::customContextMenuRequested, edit, [edit, ask](const QPoint &at) {
        std::unique_ptr<QMenu> menu(edit->createStandardContextMenu());
        AddItems(menu.get(), *ask);
        menu->exec(edit->mapToGlobal(at));
    });
}

class QtEdit : public Control<TEdit, QLineEdit> {
public:
    explicit QtEdit(QLineEdit *widget) : Control(widget) { OwnMenu(widget, &OnMenu); }
    std::string Text() const override { return Latin1(widget->text()); }
    void SetText(const std::string &text) override { widget->setText(::Text(text)); }
};

class QtButton : public Control<TButton, QPushButton> {
public:
    explicit QtButton(QPushButton *widget) : Control(widget)
    {
        QObject::connect(widget, &QPushButton::clicked, widget, [this] { Fire(OnClick); });
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(widget, &QWidget::customContextMenuRequested, widget, [this](const QPoint &at) {
            QMenu menu;
            AddItems(&menu, OnMenu);
            if (!menu.isEmpty()) menu.exec(this->widget->mapToGlobal(at));
        });
    }
};

// The log's text stays in the control's store; the widget draws what is in sight.
class QtMemo : public TMemo {
public:
    explicit QtMemo(QWidget *parent) : widget(new TQtLog(Lines, parent))
    {
        widget->escape = [this] { return OnEscape && OnEscape(); };
        widget->formItems = [this](QMenu *menu) { AddItems(menu, OnMenu); };
    }
    void SetStatus(const std::string &line) override
    {
        // A find or a save of the log's own keeps the line while it lasts.
        TLogView &view = widget->View();
        if (!view.Working() && view.Status() != line) view.Say(line);
    }
    bool Enabled() const override { return widget->isEnabled(); }
    void SetEnabled(bool enabled) override { widget->setEnabled(enabled); }
    TQtLog *const widget;

protected:
    void Changed() override { widget->StoreChanged(); }
};

class QtComboBox : public Control<TComboBox, TQtComboBox> {
public:
    explicit QtComboBox(TQtComboBox *widget) : Control(widget)
    {
        QObject::connect(widget, &TQtComboBox::Change, widget, [this](bool typed) {
            Typed = typed;
            Fire(OnChange);
            Typed = false;
        });
        QObject::connect(widget, &TQtComboBox::DropDown, widget, [this] { Fire(OnDropDown); });
        widget->notes = &Notes;
        // The list's items, in its edit's menu and on its button.
        if (widget->lineEdit()) OwnMenu(widget->lineEdit(), &OnMenu);
        widget->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(widget, &QComboBox::customContextMenuRequested, widget, [this](const QPoint &at) {
            QMenu menu;
            AddItems(&menu, OnMenu);
            if (!menu.isEmpty()) menu.exec(this->widget->mapToGlobal(at));
        });
    }
    int ItemIndex() const override { return widget->currentIndex(); }
    void SetItemIndex(int index) override
    {
        // Qt rewrites the text even when the index stays; keep what the user sees.
        if (widget->currentIndex() != index) widget->setCurrentIndex(index);
    }
};

class QtRadioGroup : public Control<TRadioGroup, TQtRadioGroup> {
public:
    explicit QtRadioGroup(TQtRadioGroup *widget) : Control(widget)
    {
        QObject::connect(widget, &TQtRadioGroup::Click, widget, [this] { Fire(OnClick); });
    }
    int ItemIndex() const override { return widget->ItemIndex(); }
    void SetItemIndex(int index) override { widget->SetItemIndex(index); }
};

class QtTimer : public TTimer {
public:
    explicit QtTimer(QTimer *timer) : widget(timer)
    {
        QObject::connect(timer, &QTimer::timeout, timer, [this] { Fire(OnTimer); });
    }
    bool Enabled() const override { return widget->isActive(); }
    // A running timer is not restarted: its next tick keeps its schedule.
    void SetEnabled(bool enabled) override
    {
        if (!enabled) widget->stop();
        else if (!widget->isActive()) widget->start();
    }
    QTimer *const widget;
};

template <typename Q, typename T>
auto *WidgetOf(T *control)
{
    auto *qt = dynamic_cast<Q *>(control);
    return qt ? qt->widget : nullptr;
}

}  // namespace

QLabel *Widget(TLabel *control) { return WidgetOf<QtLabel>(control); }
QLineEdit *Widget(TEdit *control) { return WidgetOf<QtEdit>(control); }
QPushButton *Widget(TButton *control) { return WidgetOf<QtButton>(control); }
TQtLog *Widget(TMemo *control) { return WidgetOf<QtMemo>(control); }
TQtComboBox *Widget(TComboBox *control) { return WidgetOf<QtComboBox>(control); }
TQtRadioGroup *Widget(TRadioGroup *control) { return WidgetOf<QtRadioGroup>(control); }
QTimer *Widget(TTimer *control) { return WidgetOf<QtTimer>(control); }

// ---------------------------------------------------------------- TQtWindow

namespace {

// "MS Sans Serif" at height 11 (8 pt at 96 dpi). Where the system lacks it, Wine's
// clone from Debian's fonts-wine gives every caption its designed width. That face
// is bitmap-only, so at another resolution a scalable face of like width stands
// in, and the layout follows its text height (measured against the same face at
// 96 dpi, so that a stand-in face cannot distort the design).
QFont DesignFont(const QString &designFamily, int height, int dpi, double pixelRatio, double *scale)
{
    // Worked out once per run: the clones loaded where missing, and the scalable
    // stand-in (empty when "MS Sans Serif" itself scales).
    static const QString standIn = [] {
        const QString wine = QStringLiteral("/usr/share/wine/fonts/");
        const QStringList families = QFontDatabase::families();
        if (!families.contains(QStringLiteral("MS Sans Serif")))
            QFontDatabase::addApplicationFont(wine + QStringLiteral("ms_sans_serif.ttf"));
        if (!families.contains(QStringLiteral("Tahoma"))) QFontDatabase::addApplicationFont(wine + QStringLiteral("tahoma.ttf"));
        const QStringList scalable = {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Tahoma"),
                                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial")};
        QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), scalable);
        const QStringList now = QFontDatabase::families();
        if (!now.contains(QStringLiteral("MS Sans Serif")) || QFontDatabase::isSmoothlyScalable(QStringLiteral("MS Sans Serif")))
            return QString();
        for (const QString &candidate : scalable)
            if (now.contains(candidate)) return candidate;
        return QString();
    }();

    bool designScreen = dpi == 96 && pixelRatio == 1.0;
    QString family = designScreen || standIn.isEmpty() || designFamily != QStringLiteral("MS Sans Serif") ? designFamily : standIn;
    QFont face(family);
    face.setPixelSize(height);
    *scale = 1.0;
    if (dpi != 96) {
        QFont scaled = face;
        scaled.setPixelSize(qRound(height * dpi / 96.0));
        *scale = double(QFontMetrics(scaled).height()) / QFontMetrics(face).height();
        face = scaled;
    }
    return face;
}


}  // namespace

TQtWindow::TQtWindow(QWidget *parent, int dpi) : QWidget(parent), dpi(dpi)
{
    // Linux's word for a device that came or went: its node in /dev (a
    // pseudo-terminal's in /dev/pts) made or removed.
    for (const char *folder : {"/dev", "/dev/pts"})
        if (QFileInfo(folder).isDir()) devices.addPath(folder);
    connect(&devices, &QFileSystemWatcher::directoryChanged, this, [this] { Fire(OnDeviceChange); });
}

TQtWindow::~TQtWindow()
{
    // The widgets go first, so that none of their signals reaches a control that is gone.
    const QObjectList children = this->children();
    qDeleteAll(children);
}

void TQtWindow::Build(const TFormDesign &design)
{
    setObjectName(QLatin1String(design.Name));
    setWindowTitle(Text(design.Caption));
    if (dpi <= 0) dpi = qRound(screen()->logicalDotsPerInchY());
    setFont(DesignFont(QLatin1String(design.FontName), design.FontHeight, dpi, devicePixelRatioF(), &scale));

    std::vector<std::pair<int, QWidget *>> tabStops;
    QWidget *first = nullptr;
    for (const TControlDesign &row : design.Controls) {
        QWidget *widget = Make(row);
        if (!widget) continue;
        if (row.TabOrder >= 0) tabStops.push_back({row.TabOrder, widget});
        if (row.TabOrder == 0) first = widget;
    }
    std::sort(tabStops.begin(), tabStops.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<QWidget *> order;
    for (const auto &stop : tabStops) {
        // A group's items stand at the group's place in the order; Tab reaches the checked one.
        if (auto *group = qobject_cast<TQtRadioGroup *>(stop.second))
            for (int i = 0; i < group->Count(); ++i) order << group->Item(i);
        else order << stop.second;
    }
    for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);

    designClient = QSize(qRound(design.ClientWidth * scale), qRound(design.ClientHeight * scale));
    resize(designClient);
    move(qRound(design.Left * scale), qRound(design.Top * scale));
    if (first) first->setFocus();
}

QWidget *TQtWindow::Make(const TControlDesign &row)
{
    const QString name = QLatin1String(row.Name);
    const QString caption = Text(row.Caption);
    std::unique_ptr<TControl> control;
    QWidget *widget = nullptr;
    switch (row.Kind) {
    case TControlKind::Label: {
        auto *label = new QLabel(caption, this);
        control = std::make_unique<QtLabel>(label), widget = label;
        break;
    }
    case TControlKind::Edit: {
        auto *edit = new QLineEdit(caption, this);
        if (row.MaxLength > 0) edit->setMaxLength(row.MaxLength);
        edit->installEventFilter(this);
        control = std::make_unique<QtEdit>(edit), widget = edit;
        break;
    }
    case TControlKind::Button: {
        auto *button = new QPushButton(caption, this);
        button->setAutoDefault(false);
        control = std::make_unique<QtButton>(button), widget = button;
        break;
    }
    case TControlKind::Memo: {
        auto memo = std::make_unique<QtMemo>(this);
        widget = memo->widget;
        control = std::move(memo);
        break;
    }
    case TControlKind::ComboBox: {
        auto *combo = new TQtComboBox(this);
        for (const std::string &item : row.Items) combo->addItem(Text(item));
        combo->setCurrentIndex(row.ItemIndex);
        if (row.ItemIndex < 0) combo->setEditText(caption);
        control = std::make_unique<QtComboBox>(combo), widget = combo;
        break;
    }
    case TControlKind::RadioGroup: {
        auto *group = new TQtRadioGroup(caption, row.Items, this);
        if (row.ItemIndex >= 0) group->SetItemIndex(row.ItemIndex);
        control = std::make_unique<QtRadioGroup>(group), widget = group;
        break;
    }
    case TControlKind::Timer: {
        auto *timer = new QTimer(this);
        timer->setObjectName(name);
        // A short interval as asked (the 1 ms poll); a long one may drift a little.
        if (row.Interval < 20) timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(row.Interval);
        if (row.Enabled) timer->start();
        controls[row.Name] = std::make_unique<QtTimer>(timer);
        return nullptr;
    }
    }
    widget->setObjectName(name);
    widget->setEnabled(row.Enabled);
    Place(widget, row);
    controls[row.Name] = std::move(control);
    return widget;
}

TControl *TQtWindow::Control(const std::string &name)
{
    auto found = controls.find(name);
    return found == controls.end() ? nullptr : found->second.get();
}

std::string TQtWindow::AskOpenPath(const std::string &title)
{
    const QString path = QFileDialog::getOpenFileName(this, ::Text(title));
    return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

std::string TQtWindow::AskCapturePath(bool &text)
{
    // The file type chooses whether the log as text goes beside the bytes.
    const QString bytes = "Received bytes (*)", withText = "Received bytes, and the log as text with times beside (*)";
    QString chosen = text ? withText : bytes;
    const QString path = QFileDialog::getSaveFileName(this, "Capture to File", QString(), bytes + ";;" + withText, &chosen, QFileDialog::DontConfirmOverwrite);
    text = chosen == withText;
    return path.isEmpty() ? std::string() : QFile::encodeName(path).toStdString();
}

TFileThere TQtWindow::AskAppendOrReplace(const std::string &path)
{
    QMessageBox box(QMessageBox::Question, "Capture to File",
                    QFile::decodeName(path.c_str()) + " is there already. Add what comes to its end, or replace what it holds?",
                    QMessageBox::NoButton, this);
    QPushButton *append = box.addButton("&Append", QMessageBox::AcceptRole);
    QPushButton *replace = box.addButton("&Replace", QMessageBox::DestructiveRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(append);
    box.exec();
    return box.clickedButton() == append ? TFileThere::Append : box.clickedButton() == replace ? TFileThere::Replace : TFileThere::Cancel;
}

std::string TQtWindow::LocaleDecimalSeparator() const
{
    // The window's own locale when one was set on it, else the user's.
    QLocale settings = testAttribute(Qt::WA_SetLocale) ? locale() : QLocale::system();
    QString separator = settings.decimalPoint();
    // The log holds 8-bit text; a separator beyond Latin-1 falls back to the point.
    if (separator.size() != 1 || separator[0].unicode() > 0xFF) return ".";
    return Latin1(separator);
}

void TQtWindow::ClearEvents()
{
    OnShow = OnClose = OnSettingChange = OnDeviceChange = OnEscape = nullptr;
    for (auto &entry : controls) ClearControlEvents(entry.second.get());
}

void TQtWindow::Place(QWidget *widget, const TControlDesign &row)
{
    QRect rect(qRound(row.Left * scale), qRound(row.Top * scale), qRound(row.Width * scale), qRound(row.Height * scale));
    widget->setGeometry(rect);
    placed.push_back({widget, rect, row.Anchors});
}

void TQtWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // Anchored edges keep their distance to the window's edges.
    int dx = width() - designClient.width();
    int dy = height() - designClient.height();
    for (const Placed &p : placed) {
        QRect r = p.rect;
        if (p.anchors & akRight) {
            if (p.anchors & akLeft) r.setWidth(std::max(0, r.width() + dx));
            else r.moveLeft(r.left() + dx);
        }
        if (p.anchors & akBottom) {
            if (p.anchors & akTop) r.setHeight(std::max(0, r.height() + dy));
            else r.moveTop(r.top() + dy);
        }
        p.widget->setGeometry(r);
    }
}

void TQtWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous()) Fire(OnShow);
}

void TQtWindow::closeEvent(QCloseEvent *event)
{
    Fire(OnClose);
    event->accept();
}

void TQtWindow::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape && OnEscape) Fire(OnEscape);
    else QWidget::keyPressEvent(event);
}

void TQtWindow::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::LocaleChange) Fire(OnSettingChange);
    QWidget::changeEvent(event);
}

bool TQtWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        const int k = key->key();
        // (The keypad's arrows too: X11 marks them as the keypad's.)
        if ((k == Qt::Key_Up || k == Qt::Key_Down || k == Qt::Key_Escape) && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            const TEditKey which = k == Qt::Key_Up ? TEditKey::Up : k == Qt::Key_Down ? TEditKey::Down : TEditKey::Escape;
            for (auto &entry : controls) {
                auto *edit = dynamic_cast<QtEdit *>(entry.second.get());
                if (!edit || edit->widget != watched || !edit->OnKeyDown) continue;
                bool took = false;
                TApplication::Run([edit, which, &took] { took = edit->OnKeyDown(which); });
                if (took) return true;  // the box's own use of the key (none, in a line) does not follow
            }
        }
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            for (auto &entry : controls) {
                auto *edit = dynamic_cast<QtEdit *>(entry.second.get());
                if (!edit || edit->widget != watched || !edit->OnKeyPress) continue;
                char typed = 13;
                TApplication::Run([edit, &typed] { edit->OnKeyPress(typed); });
            }
        }
    }
    return QWidget::eventFilter(watched, event);  // the key goes on to the box as it was
}

bool TQtWindow::event(QEvent *event)
{
    // A request to draw that comes within a frame of the last drawing waits
    // for the frame's end; what changed meanwhile is drawn then, together.
    if (event->type() == QEvent::UpdateRequest && DrawLater()) return true;
    return QWidget::event(event);
}

bool TQtWindow::DrawLater()
{
    constexpr qint64 FrameMs = 16;
    if (!drawn.isValid() || drawn.hasExpired(FrameMs)) {
        drawn.start();
        return false;
    }
    if (!drawPending) {
        drawPending = true;
        QTimer::singleShot(int(FrameMs - std::min(drawn.elapsed(), FrameMs)), this, [this] {
            drawPending = false;
            drawn.invalidate();  // the next request draws
            QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
        });
    }
    return true;
}
