#pragma once

#include "TForm.h"

namespace Ui {
class TForm7;
}

class TForm7 : public TForm {
    Q_OBJECT
public:
    TForm7();

    Ui::TForm7* ui;
};

extern TForm7* Form7;
