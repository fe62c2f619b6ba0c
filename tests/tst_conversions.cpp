// The locale-aware conversions, under a period and a comma locale, and under
// the desktop's own (the suite runs this under pl_PL and de_DE too).
#include "Convert.h"
#include "DesktopLocale.h"

#include <QLocale>
#include <QtTest>
#include <cmath>

class ConversionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { VerifyDesktopLocale(); }
    void cleanup() { RestoreDesktopLocale(); }

    void integers()
    {
        QCOMPARE(StrToInt(QStringLiteral("247")), 247);
        QCOMPARE(StrToInt(QStringLiteral("  -5 ")), -5);
        QCOMPARE(StrToInt(QStringLiteral("+2147483647")), 2147483647);
        QCOMPARE(StrToInt(QStringLiteral("-2147483648")), int(-2147483648LL));
        for (const char* bad : {"", " ", "abc", "1.5", "2147483648", "12a", "- 3", "1 2"}) {
            try {
                StrToInt(QString::fromLatin1(bad));
                QFAIL(bad);
            } catch (const EConvertError& error) {
                QCOMPARE(error.Message(), QStringLiteral("'%1' is not a valid integer value").arg(QLatin1String(bad)));
            }
        }
    }

    void floatsFollowTheLocale_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("half");
        QTest::newRow("period") << QStringLiteral("en_US") << QStringLiteral("12.5");
        QTest::newRow("comma") << QStringLiteral("pl_PL") << QStringLiteral("12,5");
    }

    void floatsFollowTheLocale()
    {
        QFETCH(QString, locale);
        QFETCH(QString, half);
        QLocale::setDefault(QLocale(locale));
        QCOMPARE(StrToFloat(half), 12.5);
        QCOMPARE(StrToFloat(QStringLiteral(" -3 ")), -3.0);
        QCOMPARE(StrToFloat(QStringLiteral("1E3")), 1000.0);
        QCOMPARE(StrToFloat(QStringLiteral("1e-2")), 0.01);
        QCOMPARE(StrToFloat(QStringLiteral("1E39")), 1e39);  // a double; single precision is the window's affair
        const QString other = half.contains(QLatin1Char('.')) ? QStringLiteral("12,5") : QStringLiteral("12.5");
        for (const QString& bad : {QString(), QStringLiteral("abc"), other, QStringLiteral("1,000.5"),
                                   QStringLiteral("INF"), QStringLiteral("NAN"), QStringLiteral("1E999"),
                                   QStringLiteral("E3")}) {
            try {
                StrToFloat(bad);
                QFAIL(qPrintable(bad));
            } catch (const EConvertError& error) {
                QCOMPARE(error.Message(), QStringLiteral("'%1' is not a valid floating point value").arg(bad));
            }
        }
        QCOMPARE(FloatToStr(12.5), half);
        QCOMPARE(FloatToStrFixed2(4), half.contains(QLatin1Char('.')) ? QStringLiteral("4.00") : QStringLiteral("4,00"));
    }

    void generalFloatTextHasFifteenDigits()
    {
        QCOMPARE(FloatToStr(double(0.1f)), Local("0.100000001490116"));
        QCOMPARE(FloatToStr(0), QStringLiteral("0"));
        QCOMPARE(FloatToStr(-3), QStringLiteral("-3"));
        QCOMPARE(FloatToStr(1000), QStringLiteral("1000"));
        QCOMPARE(FloatToStr(0.00001), Local("0.00001"));
        QCOMPARE(FloatToStr(123456789012345.0), QStringLiteral("123456789012345"));
        QCOMPARE(FloatToStr(1e15), QStringLiteral("1E15"));
        QCOMPARE(FloatToStr(1e20), QStringLiteral("1E20"));
        QCOMPARE(FloatToStr(1.5e-7), Local("1.5E-7"));
        QCOMPARE(FloatToStr(-double(3.4e38f)), Local("-3.39999995214436E38"));
        QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
        QCOMPARE(FloatToStr(double(0.1f)), QStringLiteral("0,100000001490116"));
        QCOMPARE(FloatToStr(1.5e-7), QStringLiteral("1,5E-7"));
    }

    void fixedTextHasTwoDecimals()
    {
        QCOMPARE(FloatToStrFixed2(21), Local("21.00"));
        QCOMPARE(FloatToStrFixed2(-3.5), Local("-3.50"));
        QCOMPARE(FloatToStrFixed2(0.005), Local("0.01"));
        QCOMPARE(FloatToStrFixed2(9999999999.0), Local("9999999999.00"));
        QCOMPARE(FloatToStrFixed2(12345678901.0), Local("1.23456789E10"));
        QCOMPARE(FloatToStrFixed2(1e10), QStringLiteral("1E10"));
    }

    // What a display sends, as the desktop shows it: the separator once, in
    // its place, and the text read back gives the same single-precision bits.
    void theDesktopsSeparatorAndNoOther()
    {
        const struct { float value; const char* text; } shown[] = {
            {12.5f, "12.5"}, {-3.0f, "-3"}, {0.1f, "0.100000001490116"}, {100.0f, "100"},
            {-1.25f, "-1.25"}, {2.0f, "2"}, {1.5e-7f, "1.50000005305628E-7"}, {1e10f, "10000000000"}, {1e15f, "999999986991104"}, {1e20f, "1.00000002004088E20"},
            {-3.4e38f, "-3.39999995214436E38"}, {1e-30f, "1.00000000317108E-30"}};
        for (const auto& item : shown) {
            const QString text = FloatToStr(double(item.value));
            QCOMPARE(text, Local(item.text));
            QCOMPARE(float(StrToFloat(text)), item.value);
        }
        QCOMPARE(StrToFloat(Local("2.5")), 2.5);
        QCOMPARE(FloatToStrFixed2(1.5e10), Local("1.5E10"));
        QCOMPARE(FloatToStrFixed2(-2.5e12), Local("-2.5E12"));
        QCOMPARE(FloatToStrFixed2(4), Local("4.00"));
    }

    void timesAndDatesFromTheirNumbers()
    {
        QCOMPARE(EncodeTime(14, 5, 0), QTime(14, 5));
        QCOMPARE(EncodeTime(0, 7, 0), QTime(0, 7));
        QCOMPARE(EncodeDate(2007, 3, 5), QDate(2007, 3, 5));
        QCOMPARE(EncodeDate(2008, 2, 29), QDate(2008, 2, 29));
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));  // d.M.yy, and a comma
        QCOMPARE(EncodeDate(2007, 12, 24), QDate(2007, 12, 24));
        QLocale::setDefault(QLocale::c());
        const struct { int a, b, c; bool date; const char* message; } refused[] = {
            {13, 99, 0, false, "'13:99:00' is not a valid time"},
            {24, 0, 0, false, "'24:0:00' is not a valid time"},
            {2007, 13, 5, true, "'2007-13-5' is not a valid date"},
            {2007, 2, 29, true, "'2007-2-29' is not a valid date"},
            {2007, 4, 31, true, "'2007-4-31' is not a valid date"},
            {2007, 1, 0, true, "'2007-1-0' is not a valid date"},
        };
        for (const auto& value : refused) {
            try {
                value.date ? void(EncodeDate(value.a, value.b, value.c)) : void(EncodeTime(value.a, value.b, value.c));
                QFAIL(value.message);
            } catch (const EConvertError& error) {
                QCOMPARE(error.Message(), QString::fromLatin1(value.message));
            }
        }
    }
};

QTEST_GUILESS_MAIN(ConversionsTest)
#include "tst_conversions.moc"
