#pragma once

#include "TForm.h"

namespace Ui {
class TForm9;
}

class TForm9 : public TForm {
    Q_OBJECT
public:
    TForm9();

    Ui::TForm9* ui;
};

extern TForm9* Form9;
