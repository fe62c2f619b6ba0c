#include "MessageBox.h"

#include <QLineEdit>
#include <QMessageBox>

namespace {

MessageBoxHook& Hook()
{
    static MessageBoxHook hook;
    return hook;
}

QString& Origin()
{
    static QString origin;
    return origin;
}

QMessageBox::Icon ToQt(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Error: return QMessageBox::Critical;
    case MessageIcon::Information: return QMessageBox::Information;
    case MessageIcon::Question: return QMessageBox::Question;
    case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook)
{
    Hook() = std::move(hook);
}

MessageOrigin::MessageOrigin(const QString& line) : outer_(Origin())
{
    Origin() = line;
}

MessageOrigin::~MessageOrigin()
{
    Origin() = outer_;
}

int ShowMessageBox(const QString& shown, const QString& caption, MessageIcon icon, MessageButtons buttons)
{
    const QString text = Origin().isEmpty() ? shown : shown + QLatin1Char('\n') + Origin();
    if (Hook())
        return Hook()({text, caption, icon, buttons});
    QMessageBox box(ToQt(icon), caption, text,
                    buttons == MessageButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel
                                                        : QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? kChoiceOk : kChoiceCancel;
}

void ShowError(const QString& text, MessageIcon icon)
{
    ShowMessageBox(text, QStringLiteral("Error"), icon);
}

void ShowTransmissionError(const QString& why, MessageIcon icon)
{
    const QString text = QStringLiteral("Transmision error");  // spelt so in every window
    ShowError(why.isEmpty() ? text : text + QLatin1Char('\n') + why, icon);
}

void ShowFieldError(QWidget* field, const QString& text, MessageIcon icon)
{
    ShowError(text, icon);
    // After the box: closing it gives the focus back to the window's focus
    // widget, which is now the field.
    field->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(field))
        edit->selectAll();
}
