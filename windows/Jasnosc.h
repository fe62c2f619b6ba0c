#pragma once

#include "TForm.h"

namespace Ui {
class TForm6;
}

class TForm6 : public TForm {
    Q_OBJECT
public:
    TForm6();

    Ui::TForm6* ui;
};

extern TForm6* Form6;
