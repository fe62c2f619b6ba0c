// For the tests that work in "Find the display..." as a user does: from the
// connection window's search button.
#pragma once

#include "FindDisplay.h"
#include "Uart.h"
#include "WindowFixture.h"

#include <QListWidget>
#include <QTimer>

// Shows the connection window, presses its search button and lets `inSearch`
// work in the search window once it shows, then `afterSearch` in the
// connection window. False when the search window never showed.
template <typename InSearch, typename AfterSearch>
inline bool FromConnectionWindow(InSearch inSearch, AfterSearch afterSearch)
{
    bool shown = false;
    QTimer whenShown;
    whenShown.setInterval(10);
    QObject::connect(&whenShown, &QTimer::timeout, [&] {
        if (!FormFindDisplay->isVisible())
            return;
        whenShown.stop();
        shown = true;
        inSearch();
        if (FormFindDisplay->isVisible())
            FormFindDisplay->close();
    });
    QTimer::singleShot(0, Form2, [&] {
        whenShown.start();
        Button(Form2, "SpeedButton4")->click();
        whenShown.stop();
        afterSearch();
        if (Form2->isVisible())
            Form2->close();
    });
    Form2->ShowModal();
    return shown;
}

inline QListWidget* FoundList()
{
    return FormFindDisplay->findChild<QListWidget*>(QStringLiteral("ListFound"));
}

