// Renders every window to docs/<Unit>.png, headless:
//   QT_QPA_PLATFORM=offscreen build/render_windows docs
// Rerun it when a window changes; the README shows the pictures.
#include "Czas.h"
#include "ErrorReport.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "Main.h"
#include "PanelProfiles.h"
#include "Startup.h"
#include "Status.h"
#include "Uart.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"
#include "Zmiana.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <cstdio>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    SetApplicationTitle(QStringLiteral("VT Verozorivira"));
    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs"));
    CreateForms();
    const std::pair<TForm*, const char*> windows[] = {
        {Form1, "Main"},    {Form2, "Uart"},       {Form3, "Zmiana"},     {Form4, "Wyswietlanie"},
        {Form5, "Czas"},    {Form6, "Jasnosc"},    {Form7, "Status"},     {Form8, "Urzadzenia"},
        {Form9, "Wspolczynniki"}, {Form10, "Informacje"}, {FormPanelProfiles, "PanelProfiles"}};
    int failures = 0;
    for (auto [window, unit] : windows) {
        window->show();
        QApplication::processEvents();
        const QString path = folder.filePath(QString::fromLatin1(unit) + QStringLiteral(".png"));
        if (!window->grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        }
        window->hide();
    }
    return failures ? 1 : 0;
}
