#include "Zmiana.h"

#include "ui_Zmiana.h"

TForm3* Form3 = nullptr;

TForm3::TForm3() : ui(new Ui::TForm3)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm3::~TForm3()
{
    delete ui;
}

void TForm3::SpeedButton2Click()
{
    Close();
}
