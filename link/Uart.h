#pragma once

#include "TForm.h"

namespace Ui {
class TForm2;
}

class TForm2 : public TForm {
    Q_OBJECT
public:
    TForm2();
    ~TForm2() override;

    Ui::TForm2* ui;
};

extern TForm2* Form2;
