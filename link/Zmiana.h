#pragma once

#include "TForm.h"

namespace Ui {
class TForm3;
}

class TForm3 : public TForm {
    Q_OBJECT
public:
    TForm3();
    ~TForm3() override;

    Ui::TForm3* ui;

public slots:
    void SpeedButton2Click();
};

extern TForm3* Form3;
