#include "Status.h"

#include "ui_Status.h"

TForm7* Form7 = nullptr;

TForm7::TForm7() : ui(new Ui::TForm7)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm7::~TForm7()
{
    delete ui;
}
