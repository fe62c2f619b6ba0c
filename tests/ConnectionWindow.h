// Working in the connection configuration window as a user does.
#pragma once

#include "Uart.h"
#include "WindowFixture.h"

#include <QTimer>
#include <QtTest>

inline void Pick(QComboBox* list, const QString& text)
{
    int index = list->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    list->setCurrentIndex(index);
}

// Shows the connection window modally and lets `act` work in it.
template <typename Act>
void InConnectionWindow(Act act)
{
    QTimer::singleShot(0, Form2, [&] {
        act();
        if (Form2->isVisible())
            Form2->close();
    });
    Form2->ShowModal();
}
