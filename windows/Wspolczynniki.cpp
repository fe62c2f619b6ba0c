#include "Wspolczynniki.h"

#include "ui_Wspolczynniki.h"

TForm9* Form9 = nullptr;

TForm9::TForm9() : ui(new Ui::TForm9)
{
    ui->setupUi(this);
    SetUp(Border::Dialog, Placement::ScreenCenter);
}

TForm9::~TForm9()
{
    delete ui;
}
