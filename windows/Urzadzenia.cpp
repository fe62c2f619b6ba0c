#include "Urzadzenia.h"

#include "ui_Urzadzenia.h"

TForm8* Form8 = nullptr;

TForm8::TForm8() : ui(Design<Ui::TForm8>(Border::Dialog, Placement::ScreenCenter)) {}
