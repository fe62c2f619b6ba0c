#include "TForm.h"

#include "ErrorReport.h"

#include <QAbstractButton>
#include <QEvent>
#include <QKeyEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QScreen>
#include <QSpacerItem>
#include <QWindow>
#include <QTimer>
#include <QTreeWidget>

#include <vector>

namespace {

TForm* mainForm = nullptr;  // the window whose closing ends the program

// The cleanups of each handler now running, the innermost last.
std::vector<std::vector<std::function<void()>>> handlerCleanups;

}  // namespace

bool AtHandlerEnd(std::function<void()> cleanup)
{
    if (handlerCleanups.empty())
        return false;
    handlerCleanups.back().push_back(std::move(cleanup));
    return true;
}

TForm::TForm(QWidget* parent) : QDialog(parent) {}

void TForm::SetUp(Border border, Placement placement)
{
    placement_ = placement;
    border_ = border;
    if (border == Border::MainWindow)
        mainForm = this;
    Qt::WindowFlags flags;
    switch (border) {
    case Border::Dialog:
        flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;
        break;
    case Border::MainWindow:
        flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
        break;
    case Border::None:
        flags = Qt::Dialog | Qt::FramelessWindowHint;
        break;
    }
    setWindowFlags(flags);
    if (layout())
        layout()->setSizeConstraint(QLayout::SetFixedSize);
}

QTimer* TForm::AddTimer(const char* name, int intervalMs, bool enabled)
{
    auto* timer = new QTimer(this);
    timer->setObjectName(QString::fromLatin1(name));
    // To the millisecond: a coarse timer may fire 5% early, and the clock
    // window's synchronisation must not write before the whole minute.
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalMs);
    if (enabled)
        timer->start();
    return timer;
}

void TForm::Created()
{
    static int created = 0;
    creationIndex_ = ++created;
    BindHandlers();
    // Not guarded: what FormCreate throws ends start-up, which reports it.
    void* arguments[] = {nullptr};
    if (int index = HandlerIndex(QStringLiteral("FormCreate()")); index >= 0)
        qt_metacall(QMetaObject::InvokeMetaMethod, index, arguments);
}

int TForm::HandlerIndex(const QString& signature) const
{
    return metaObject()->indexOfMethod(signature.toLatin1().constData());
}

bool TForm::InvokeIndex(int index, void* argument)
{
    if (index < 0)
        return false;
    handlerCleanups.emplace_back();
    RunGuarded([&] {
        void* arguments[] = {nullptr, argument};
        // A direct call: exceptions reach RunGuarded, not the event loop.
        qt_metacall(QMetaObject::InvokeMetaMethod, index, arguments);
    });
    std::vector<std::function<void()>> cleanups = std::move(handlerCleanups.back());
    handlerCleanups.pop_back();
    for (auto cleanup = cleanups.rbegin(); cleanup != cleanups.rend(); ++cleanup)
        (*cleanup)();
    return true;
}

bool TForm::Invoke(const char* handler)
{
    return InvokeIndex(HandlerIndex(QString::fromLatin1(handler) + QStringLiteral("()")));
}

void TForm::BindHandlers()
{
    const QList<QObject*> children = findChildren<QObject*>();
    for (QObject* child : children) {
        const QString name = child->objectName();
        if (name.isEmpty())
            continue;
        const int click = HandlerIndex(name + QStringLiteral("Click()"));
        const int doubleClick = HandlerIndex(name + QStringLiteral("DblClick()"));
        if (auto* button = qobject_cast<QAbstractButton*>(child); button && click >= 0) {
            connect(button, &QAbstractButton::clicked, this, [this, click] { InvokeIndex(click); });
            button->installEventFilter(this);
        } else if (auto* timer = qobject_cast<QTimer*>(child)) {
            const int tick = HandlerIndex(name + QStringLiteral("Timer()"));
            if (tick >= 0)
                connect(timer, &QTimer::timeout, this, [this, tick] { InvokeIndex(tick); });
        } else if (auto* tree = qobject_cast<QTreeWidget*>(child)) {
            const int change = HandlerIndex(name + QStringLiteral("Change(QTreeWidgetItem*)"));
            if (change >= 0)
                connect(tree, &QTreeWidget::currentItemChanged, this,
                        [this, change](QTreeWidgetItem* node) { InvokeIndex(change, &node); });
        } else if ((qobject_cast<QLabel*>(child) && click >= 0)
                   || (qobject_cast<QWidget*>(child) && doubleClick >= 0)) {
            child->installEventFilter(this);
        }
    }
}

bool TForm::eventFilter(QObject* watched, QEvent* event)
{
    // A double click on a button is one click, not two: the second press,
    // which comes just ahead of the double click, is let go again, so
    // "Write" double-clicked writes once.
    if (event->type() == QEvent::MouseButtonDblClick) {
        if (auto* button = qobject_cast<QAbstractButton*>(watched)) {
            button->setDown(false);
            return true;
        }
    }
    const QString name = watched->objectName();
    if (event->type() == QEvent::MouseButtonRelease && qobject_cast<QLabel*>(watched))
        InvokeIndex(HandlerIndex(name + QStringLiteral("Click()")));
    else if (event->type() == QEvent::MouseButtonDblClick)
        InvokeIndex(HandlerIndex(name + QStringLiteral("DblClick()")));
    return QDialog::eventFilter(watched, event);
}

void TForm::FitCaption()
{
    // A fixed-size window is at least as wide as its caption in the title
    // bar, with room for the icon and the title bar's buttons.
    if (border_ == Border::None || !layout())
        return;
    QFont titleFont = font();
    titleFont.setBold(true);
    const QFontMetrics metrics(titleFont);
    const int wanted = metrics.horizontalAdvance(windowTitle()) + 8 * metrics.height();
    const QMargins margins = layout()->contentsMargins();
    const int inside = wanted - margins.left() - margins.right();
    if (layout()->sizeHint().width() < wanted)
        layout()->addItem(new QSpacerItem(inside, 0, QSizePolicy::Fixed, QSizePolicy::Fixed));
}

void TForm::KeepWithMainWindow()
{
    // A dialog belongs to the main window: window managers then keep it in
    // front of it and minimise and restore the two together, so a modal
    // dialog never hides while the window it blocks stays in view.
    if (border_ != Border::Dialog || !mainForm || mainForm == this)
        return;
    if (!windowHandle())
        create();
    if (!mainForm->windowHandle())
        mainForm->create();
    windowHandle()->setTransientParent(mainForm->windowHandle());
}

void TForm::setVisible(bool visible)
{
    if (visible && !isVisible()) {
        Invoke("FormShow");
        KeepWithMainWindow();
        if (!placed_) {
            FitCaption();
            adjustSize();
            QScreen* screen = QGuiApplication::primaryScreen();
            if (placement_ == Placement::Designed)
                move(designedPosition_);
            else if (screen)
                move(screen->availableGeometry().center() - rect().center());
        }
        placed_ = true;
    }
    QDialog::setVisible(visible);
}

void TForm::done(int result)
{
    if (isVisible())
        Invoke("FormClose");
    QDialog::done(result);
}

void TForm::keyPressEvent(QKeyEvent* event)
{
    // Escape closes a dialog, but must not end the program from the main window.
    if (border_ == Border::MainWindow && event->key() == Qt::Key_Escape) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

int TForm::ShowModal()
{
    return exec();
}

void TForm::Show()
{
    show();
    raise();
    activateWindow();
}

void TForm::Close()
{
    close();
}
