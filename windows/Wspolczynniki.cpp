#include "Wspolczynniki.h"

#include "ui_Wspolczynniki.h"

TForm9* Form9 = nullptr;

TForm9::TForm9() : ui(Design<Ui::TForm9>(Border::Dialog, Placement::ScreenCenter)) {}
