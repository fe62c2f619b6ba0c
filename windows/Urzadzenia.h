#pragma once

#include "TForm.h"

namespace Ui {
class TForm8;
}

class TForm8 : public TForm {
    Q_OBJECT
public:
    TForm8();

    Ui::TForm8* ui;
};

extern TForm8* Form8;
