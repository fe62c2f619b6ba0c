#include "Czas.h"

#include "ui_Czas.h"

TForm5* Form5 = nullptr;

TForm5::TForm5() : ui(Design<Ui::TForm5>(Border::Dialog, Placement::ScreenCenter)) {}
