#include "Uart.h"

#include "ui_Uart.h"

TForm2* Form2 = nullptr;

TForm2::TForm2() : ui(new Ui::TForm2)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm2::~TForm2()
{
    delete ui;
}
