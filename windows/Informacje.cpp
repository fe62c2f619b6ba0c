#include "Informacje.h"

#include "ui_Informacje.h"

TForm10* Form10 = nullptr;

TForm10::TForm10() : ui(Design<Ui::TForm10>(Border::None, Placement::ScreenCenter)) {}

void TForm10::SpeedButton1Click()
{
    Close();
}
