#pragma once

#include "TForm.h"

namespace Ui {
class TForm4;
}

class TForm4 : public TForm {
    Q_OBJECT
public:
    TForm4();
    ~TForm4() override;

    Ui::TForm4* ui;

public slots:
    void SpeedButton3Click();
};

extern TForm4* Form4;
