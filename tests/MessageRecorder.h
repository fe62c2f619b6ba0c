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
};
