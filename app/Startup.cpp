#include "Startup.h"

#include "CommandLine.h"
#include "Czas.h"
#include "ErrorReport.h"
#include "FindDisplay.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "Main.h"
#include "Modbus.h"
#include "PanelProfiles.h"
#include "ProgramLink.h"
#include "Status.h"
#include "Termination.h"
#include "Trace.h"
#include "Uart.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "Zmiana.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QIcon>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

void CreateMainForm()
{
    // The glyphs live in this static library: their resource must be pulled in.
    Q_INIT_RESOURCE(glyphs);
    CreateForm(Form1);
}

void CreateOtherForms()
{
    if (Form2)
        return;
    CreateForm(Form2);
    CreateForm(Form3);
    CreateForm(Form4);
    CreateForm(Form5);
    CreateForm(Form6);
    CreateForm(Form7);
    CreateForm(Form8);
    CreateForm(Form9);
    CreateForm(Form10);
    CreateForm(FormFindDisplay);
    CreateForm(FormPanelProfiles);
}

void CreateForms()
{
    CreateMainForm();
    CreateOtherForms();
}

namespace {

// Builds the other windows once the main window has painted itself, so the
// user sees it as soon as a bare program's; a button pressed before then
// builds them first.
class AfterFirstPaint : public QObject {
public:
    explicit AfterFirstPaint(QWidget* window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, &CreateOtherForms);
        }
        return false;
    }
};

int Refuse(const CommandLine& line)
{
    std::cerr << "vtconfig: unknown argument '" << line.refused << "'\n" << UsageLine() << std::endl;
    return 2;
}

}  // namespace

int RunApplication(int argc, char** argv)
{
    // Our own options first, before any desktop is needed: --help and a
    // trace file that cannot be written end here.
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), false);
    if (line.action == CommandLine::Action::Help) {
        std::cout << HelpText();
        return 0;
    }
    if (line.action == CommandLine::Action::Version) {
        std::cout << "vtconfig " VTCONFIG_VERSION "\n";
        return 0;
    }
    if (line.action == CommandLine::Action::Refuse)
        return Refuse(line);
    static std::ofstream traceFile;
    if (line.trace && !line.traceFile.empty()) {
        traceFile.open(line.traceFile, std::ios::app);
        if (!traceFile) {
            std::cerr << "vtconfig: cannot write the trace to " << line.traceFile << ": " << std::strerror(errno)
                      << std::endl;
            return 2;
        }
    }
    if (line.trace)
        TraceFramesTo(line.traceFile.empty() ? std::cerr : traceFile);

    QApplication application(argc, argv);
    // The application object took the options of Qt it knows out of argv;
    // anything left is no option of ours either.
    const CommandLine rest = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), true);
    if (rest.action == CommandLine::Action::Refuse)
        return Refuse(rest);
    SetApplicationTitle(QStringLiteral("VT Verozorivira"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/glyphs/application.svg")));
    // However the program ends, its port is closed, so the tty's exclusive
    // mode and the lock go with it (the search's own port closes as its
    // window's loop unwinds).
    struct PortClosedAtExit {
        ~PortClosedAtExit() { Link.ClosePort(); }
    } portClosed;
    try {
        CreateMainForm();
        AfterFirstPaint otherForms(Form1);
        // Closing the main window ends the program, whatever else is open;
        // so does a termination signal.
        QObject::connect(Form1, &QDialog::finished, &application, &QApplication::quit);
        QuitOnTerminationSignals(application);
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
