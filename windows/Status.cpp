#include "Status.h"

#include "ui_Status.h"

TForm7* Form7 = nullptr;

TForm7::TForm7() : ui(Design<Ui::TForm7>(Border::Dialog, Placement::ScreenCenter)) {}
