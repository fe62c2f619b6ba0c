// Records the message boxes a test provokes and answers them, without a modal loop.
#pragma once

#include "MessageBox.h"

#include <QList>

struct MessageRecorder {
    QList<MessageRecord> shown;
    int answer = kChoiceOk;

    MessageRecorder()
    {
        SetMessageBoxHook([this](const MessageRecord& record) {
            shown.append(record);
            return answer;
        });
    }
    ~MessageRecorder() { SetMessageBoxHook(nullptr); }

    QString LastText() const { return shown.isEmpty() ? QString() : shown.last().text; }
    // A message's first line: the window's own text, before the line that says why.
    static QString Headline(const MessageRecord& message) { return message.text.section(QLatin1Char('\n'), 0, 0); }
    QString LastHeadline() const { return shown.isEmpty() ? QString() : Headline(shown.last()); }
    // The line under it.
    QString LastCause() const { return shown.isEmpty() ? QString() : shown.last().text.section(QLatin1Char('\n'), 1, 1); }
};
