// Every message the tool shows goes through ShowMessageBox: a modal box
// without an owner window. Tests replace the box with a hook that records it.
#pragma once

#include <QString>

#include <functional>

class QWidget;

enum class MessageIcon { None, Error, Information, Question };
enum class MessageButtons { Ok, OkCancel };

// The choice made, as the desktop numbers it.
constexpr int kChoiceOk = 1;
constexpr int kChoiceCancel = 2;

struct MessageRecord {
    QString text;
    QString caption;
    MessageIcon icon;
    MessageButtons buttons;
};

int ShowMessageBox(const QString& text, const QString& caption, MessageIcon icon,
                   MessageButtons buttons = MessageButtons::Ok);

// The boxes every window shows: a refused field or a failed exchange,
// captioned "Error". A failed exchange says why on a second line.
void ShowError(const QString& text, MessageIcon icon = MessageIcon::Error);
void ShowTransmissionError(const QString& why, MessageIcon icon = MessageIcon::Error);
// A refused field: its message, then the focus on the field with its text
// selected, so the user finds it among the others and types over it.
void ShowFieldError(QWidget* field, const QString& text, MessageIcon icon = MessageIcon::Error);

// While one lives, every message ends with a line that says where it comes
// from, for messages of an action the user did not start just then ("From
// the clock's synchronisation armed for 14:05.").
class MessageOrigin {
public:
    explicit MessageOrigin(const QString& line);
    ~MessageOrigin();
    MessageOrigin(const MessageOrigin&) = delete;
    MessageOrigin& operator=(const MessageOrigin&) = delete;

private:
    QString outer_;
};

// While set, the hook answers in place of the box (no modal loop runs).
using MessageBoxHook = std::function<int(const MessageRecord&)>;
void SetMessageBoxHook(MessageBoxHook hook);
