#include "Startup.h"

#include "Czas.h"
#include "ErrorReport.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "Main.h"
#include "Status.h"
#include "Uart.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "Zmiana.h"

#include <QApplication>
#include <QIcon>

void CreateForms()
{
    // The glyphs live in this static library: their resource must be pulled in.
    Q_INIT_RESOURCE(glyphs);
    CreateForm(Form1);
    CreateForm(Form2);
    CreateForm(Form3);
    CreateForm(Form4);
    CreateForm(Form5);
    CreateForm(Form6);
    CreateForm(Form7);
    CreateForm(Form8);
    CreateForm(Form9);
    CreateForm(Form10);
}

int RunApplication(int argc, char** argv)
{
    QApplication application(argc, argv);
    SetApplicationTitle(QStringLiteral("VT Verozorivira"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/glyphs/application.svg")));
    try {
        CreateForms();
        // Closing the main window ends the program, whatever else is open.
        QObject::connect(Form1, &QDialog::finished, &application, &QApplication::quit);
        Form1->Show();
        application.exec();
        return 0;
    } catch (const std::exception& error) {
        ReportException(error);
    } catch (...) {
        ReportException(std::runtime_error(""));
    }
    return 1;
}
