#pragma once

#include "TForm.h"

namespace Ui {
class TForm6;
}

// The day and night brightness schedule (4025..4028): two levels and the
// times at which day and night begin.
class TForm6 : public TForm {
    Q_OBJECT
public:
    TForm6();

    // The image's four values into the controls.
    void ShowBrightness();
    // The controls into the image, each as it is accepted; false after the
    // first level that is refused (its message shown).
    bool CheckBrightness();

    Ui::TForm6* ui;

public slots:
    void FormShow();
    void FormClose();
    void SpeedButton1Click();
    void SpeedButton2Click();
};

extern TForm6* Form6;
