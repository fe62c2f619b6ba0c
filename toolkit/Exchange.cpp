#include "Exchange.h"

#include <QApplication>
#include <QEvent>

namespace {

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
        return true;
    default:
        return false;
    }
}

class InputDropper : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* event) override { return IsUserInput(event->type()); }
};

int depth = 0;  // exchanges inside exchanges end with the outermost

}  // namespace

ExchangeGuard::ExchangeGuard()
{
    if (depth++ == 0)
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

ExchangeGuard::~ExchangeGuard()
{
    if (--depth > 0)
        return;
    QApplication::restoreOverrideCursor();
    // Everything queued while the thread was blocked is delivered now, with
    // the user's input filtered out; what comes later reaches the windows.
    InputDropper dropper;
    QCoreApplication::instance()->installEventFilter(&dropper);
    QCoreApplication::processEvents();
    QCoreApplication::instance()->removeEventFilter(&dropper);
}
