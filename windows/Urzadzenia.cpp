#include "Urzadzenia.h"

#include "ui_Urzadzenia.h"

TForm8* Form8 = nullptr;

TForm8::TForm8() : ui(new Ui::TForm8)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm8::~TForm8()
{
    delete ui;
}
