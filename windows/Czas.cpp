#include "Czas.h"

#include "ui_Czas.h"

TForm5* Form5 = nullptr;

TForm5::TForm5() : ui(new Ui::TForm5)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm5::~TForm5()
{
    delete ui;
}
