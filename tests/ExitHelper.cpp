// vtconfig as it is, except that once its windows are up it reads the
// brightness through the program's link, prints "stored" or why not, and
// then leaves the way VT_EXIT_BY names: "close" (the main window), "term" or
// "int" (a signal), "search-term" (SIGTERM while "Find the display..." runs).
#include "DisplaySearch.h"
#include "FindDisplay.h"
#include "Main.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "Startup.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void ReadThenLeave()
{
    QTimer::singleShot(0, [] {
        const char* by = std::getenv("VT_EXIT_BY");
        const std::string way = by ? by : "close";
        std::string outcome = "stored";
        if (!TryOpenPort(OpenWhen::IfClosed))
            outcome = "failed: " + Link.LastOpenErrorText();
        else if (Link.ReadBlock(Blocks::Brightness, 500) != ReadResult::Stored)
            outcome = "failed: no reply";
        std::printf("%s\n", outcome.c_str());
        std::fflush(stdout);
        if (way == "term")
            std::raise(SIGTERM);
        else if (way == "int")
            std::raise(SIGINT);
        else if (way == "search-term") {
            QTimer::singleShot(300, [] { std::raise(SIGTERM); });
            CreateOtherForms();  // as its button would, should the main window not have painted yet
            FormFindDisplay->Find(0, SearchOrder({1, 2}, 1));
        } else
            Form1->close();
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(ReadThenLeave)

int main(int argc, char** argv)
{
    return RunApplication(argc, argv);
}
