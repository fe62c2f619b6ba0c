#pragma once

#include "TForm.h"

namespace Ui {
class TForm3;
}

// Changes the display's own address, mode and rate (registers 4000 to 4002),
// then moves the tool's port to the new mode and rate.
class TForm3 : public TForm {
    Q_OBJECT
public:
    TForm3();

    // Stores the list choices, then the address when it is valid.
    bool CheckNewParameters();

    Ui::TForm3* ui;

public slots:
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();
};

extern TForm3* Form3;
