#include "Jasnosc.h"

#include "ui_Jasnosc.h"

TForm6* Form6 = nullptr;

TForm6::TForm6() : ui(Design<Ui::TForm6>(Border::Dialog, Placement::ScreenCenter)) {}
