#include "Informacje.h"

#include "ui_Informacje.h"

TForm10* Form10 = nullptr;

TForm10::TForm10() : ui(new Ui::TForm10)
{
    ui->setupUi(this);
    SetUp(Border::None, Placement::ScreenCenter);
}

TForm10::~TForm10()
{
    delete ui;
}

void TForm10::SpeedButton1Click()
{
    Close();
}
