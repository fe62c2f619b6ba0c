#include "Wyswietlanie.h"

#include "ui_Wyswietlanie.h"

TForm4* Form4 = nullptr;

TForm4::TForm4() : ui(new Ui::TForm4)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::Designed);
}

TForm4::~TForm4()
{
    delete ui;
}

void TForm4::SpeedButton3Click()
{
    Close();
}
