// The suite runs the number tests under the environment's locale as well as
// C: CTest starts them again with LANG and LC_ALL set to pl_PL.UTF-8 and
// de_DE.UTF-8. The application object sets the C runtime's locale from the
// environment, as it does in the running program, and QLocale's default is
// the desktop's; the tests expect texts in that locale.
#pragma once

#include <QLocale>
#include <QtTest>

#include <clocale>
#include <cstdlib>
#include <cstring>

// A number text written with a period, in the desktop's decimal separator.
inline QString Local(const char* text)
{
    return QString::fromLatin1(text).replace(QLatin1Char('.'), QLocale().decimalPoint());
}

// Fails unless the C runtime really runs in the locale the environment
// names: a locale that was never generated leaves it at "C", where the
// faults of a comma desktop cannot show.
inline void VerifyDesktopLocale()
{
    const char* named = std::getenv("LC_ALL");
    if (!named || !*named)
        named = std::getenv("LANG");
    if (!named || !*named || !std::strcmp(named, "C") || !std::strcmp(named, "POSIX") || !std::strncmp(named, "C.", 2))
        return;
    const char* running = std::setlocale(LC_NUMERIC, nullptr);
    QVERIFY2(running && std::strcmp(running, "C") != 0,
             qPrintable(QStringLiteral("the locale %1 is not generated here (scripts/ensure-packages.sh)")
                            .arg(QString::fromLatin1(named))));
    QCOMPARE(QString::fromLatin1(std::localeconv()->decimal_point), QLocale().decimalPoint());
}

// Back to the desktop's locale after a test that chose one of its own.
inline void RestoreDesktopLocale()
{
    QLocale::setDefault(QLocale::system());
}
