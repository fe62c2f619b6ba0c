#include "Jasnosc.h"

#include "ui_Jasnosc.h"

TForm6* Form6 = nullptr;

TForm6::TForm6() : ui(new Ui::TForm6)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm6::~TForm6()
{
    delete ui;
}
