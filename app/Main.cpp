#include "Main.h"

#include "Czas.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "Modbus.h"
#include "PanelProfiles.h"
#include "ProgramLink.h"
#include "Startup.h"
#include "Status.h"
#include "Uart.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "ui_Main.h"

#include <QIcon>

TForm1* Form1 = nullptr;

TForm1::TForm1() : ui(Design<Ui::TForm1>(Border::MainWindow, Placement::ScreenCenter))
{
    setWindowIcon(QIcon(QStringLiteral(":/glyphs/application.svg")));
}

void TForm1::FormCreate()
{
    // The display's own line as the tool assumes it until told otherwise:
    // address 1, 8n2, rate code 2 (9600 baud).
    Image.Set(kDisplayAddressRegister, 1);
    Image.Set(kDisplayModeRegister, 1);
    Image.Set(kDisplayRateRegister, 2);
    Settings.modeIndex = 1;
    Settings.rateIndex = 2;
}

// The other windows are built just after the main window first paints; a
// button pressed sooner builds them first.
void TForm1::SpeedButton4Click() { CreateOtherForms(); Form2->ShowModal(); }
void TForm1::SpeedButton1Click() { CreateOtherForms(); Form4->ShowModal(); }
void TForm1::SpeedButton2Click() { CreateOtherForms(); Form5->ShowModal(); }
void TForm1::SpeedButton3Click() { CreateOtherForms(); Form6->ShowModal(); }
void TForm1::SpeedButton5Click() { CreateOtherForms(); Form7->ShowModal(); }
void TForm1::SpeedButton6Click() { CreateOtherForms(); Form8->ShowModal(); }
void TForm1::SpeedButton7Click() { CreateOtherForms(); Form9->ShowModal(); }
void TForm1::SpeedButton8Click() { CreateOtherForms(); Form10->ShowModal(); }
void TForm1::SpeedButton9Click() { CreateOtherForms(); FormPanelProfiles->Open(); }
