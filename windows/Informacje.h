#pragma once

#include "TForm.h"

namespace Ui {
class TForm10;
}

class TForm10 : public TForm {
    Q_OBJECT
public:
    TForm10();

    Ui::TForm10* ui;

public slots:
    void SpeedButton1Click();
};

extern TForm10* Form10;
