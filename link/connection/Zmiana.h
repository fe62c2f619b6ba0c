#pragma once

#include "DisplaySearch.h"
#include "TForm.h"

namespace Ui {
class TForm3;
}

// Changes the display's own address, mode and rate (registers 4000 to 4002),
// then moves the tool to the new address, mode and rate.
class TForm3 : public TForm {
    Q_OBJECT
public:
    TForm3();

    // Stores the list choices, then the address when it is valid.
    bool CheckNewParameters();

    Ui::TForm3* ui;

private:
    // After a change neither line acknowledged: stays at the new address and
    // line or goes back to `oldPlace`, where the display answers, and tells
    // the user which.
    void ReturnToTheDisplay(const ProbeTarget& oldPlace);

public slots:
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();
};

extern TForm3* Form3;
