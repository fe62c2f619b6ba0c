#pragma once

#include "TForm.h"

namespace Ui {
class TForm1;
}

// The main window: nine buttons, each opening one window modally.
class TForm1 : public TForm {
    Q_OBJECT
public:
    TForm1();

    Ui::TForm1* ui;

public slots:
    void FormCreate();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void SpeedButton6Click();
    void SpeedButton7Click();
    void SpeedButton8Click();
    void SpeedButton9Click();
};

extern TForm1* Form1;
