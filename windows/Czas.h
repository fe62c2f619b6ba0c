#pragma once

#include "TForm.h"

namespace Ui {
class TForm5;
}

class TForm5 : public TForm {
    Q_OBJECT
public:
    TForm5();

    Ui::TForm5* ui;
};

extern TForm5* Form5;
