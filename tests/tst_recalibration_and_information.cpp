// The recalibration window against the simulated display: lines from two
// points in single precision, shown back as points at 4 and 20, and each
// write judged by its own reply. The information window: its blinking title
// and its link, with the desktop's URL handler replaced.
#include "DesktopLocale.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Informacje.h"
#include "Wspolczynniki.h"

#include <QDesktopServices>
#include <QLabel>
#include <QtTest>

using sim::FaultKind;

namespace {

QLineEdit* Edit(const char* name) { return LineEdit(Form9, name); }
QString Formula(const char* name) { return Form9->findChild<QLabel*>(QString::fromLatin1(name))->text(); }

void EnterPoints(const char* x1, const char* y1, const char* x2, const char* y2, bool inputII = false)
{
    const char* const edits[2][4] = {{"Edit1", "Edit2", "Edit3", "Edit4"}, {"Edit5", "Edit6", "Edit7", "Edit8"}};
    const char* const texts[4] = {x1, y1, x2, y2};
    for (int k = 0; k < 4; ++k)
        Edit(edits[inputII][k])->setText(QString::fromLatin1(texts[k]));
}

QByteArray Hex(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

QColor TitleColour()
{
    return Form10->findChild<QLabel*>(QStringLiteral("Label2"))->palette().color(QPalette::WindowText);
}

}  // namespace

// Stands in for the desktop's browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void Open(const QUrl& url) { opened << url; }
};

class RecalibrationAndInformationTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void initTestCase() { VerifyDesktopLocale(); }
    void init() { fx.Begin(); }
    void cleanup()
    {
        Form9->hide();
        Form10->hide();
        RestoreDesktopLocale();
        fx.End();
    }

    // ---- recalibration

    void theFirstOpening_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("four");
        QTest::addColumn<QString>("zero");
        QTest::newRow("period") << "en_US" << "4.00" << "0.00";
        QTest::newRow("comma") << "de_DE" << "4,00" << "0,00";
    }

    void theFirstOpening()
    {
        QFETCH(QString, locale);
        QFETCH(QString, four);
        QFETCH(QString, zero);
        QLocale::setDefault(QLocale(locale));
        Form9->show();
        for (const char* x1 : {"Edit1", "Edit5"})
            QCOMPARE(Edit(x1)->text(), four);
        for (const char* y : {"Edit2", "Edit4", "Edit6", "Edit8"})
            QCOMPARE(Edit(y)->text(), zero);
        QCOMPARE(Edit("Edit7")->text(), four.replace(QLatin1Char('4'), QStringLiteral("20")));
        QCOMPARE(Formula("Label11"), Local("y = 0.00 * x + 0.00"));  // the fields' own separator
        QCOMPARE(Formula("Label12"), Local("y = 0.00 * x + 0.00"));
    }

    void aLineFromTwoPointsGoesOutAndComesBack()
    {
        Form9->show();
        EnterPoints("4", "5", "20", "21");
        EnterPoints("0", "0", "10", "5", true);
        Button(Form9, "SpeedButton2")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        auto frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(2));
        // two 32-bit registers from 7643, eight bytes: a = 1, b = 1
        QCOMPARE(Hex(frames[0].bytes).left(30), QByteArray("01101ddb000208" "3f800000" "3f800000"));
        QCOMPARE(fx.display->RegisterFloat(7647), 0.5f);
        QCOMPARE(fx.display->RegisterFloat(7648), 0.0f);

        // Read back: the same line, as its points at 4 and 20.
        Image.Clear();
        Button(Form9, "SpeedButton1")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(Edit("Edit2")->text(), Local("5.00"));
        QCOMPARE(Edit("Edit4")->text(), Local("21.00"));
        QCOMPARE(Formula("Label11"), Local("y = 1.00 * x + 1.00"));
        QCOMPARE(Edit("Edit8")->text(), Local("10.00"));
    }

    // The display's lines in the desktop's own numbers: points shown with its
    // separator, the formula too, written back bit for bit when
    // nothing was edited, and typed with it.
    void theDesktopsNumbersShownWrittenBackAndTyped()
    {
        fx.display->SetRegisterFloat(7643, 0.5f);
        fx.display->SetRegisterFloat(7644, 1.25f);
        fx.display->SetRegisterFloat(7647, 0.0f);
        fx.display->SetRegisterFloat(7648, 1.5e10f);
        Form9->show();
        Button(Form9, "SpeedButton1")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(Edit("Edit1")->text(), Local("4.00"));
        QCOMPARE(Edit("Edit2")->text(), Local("3.25"));
        QCOMPARE(Edit("Edit3")->text(), Local("20.00"));
        QCOMPARE(Edit("Edit4")->text(), Local("11.25"));
        QCOMPARE(Formula("Label11"), Local("y = 0.50 * x + 1.25"));
        QCOMPARE(Edit("Edit6")->text(), Local("1.500000051E10"));
        QCOMPARE(Edit("Edit8")->text(), Local("1.500000051E10"));
        QCOMPARE(Formula("Label12"), Local("y = 0.00 * x + 15000000512.00"));

        Button(Form9, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->Register(7643), FloatToBits(0.5f));
        QCOMPARE(fx.display->Register(7644), FloatToBits(1.25f));
        QCOMPARE(fx.display->Register(7647), FloatToBits(0.0f));
        QCOMPARE(fx.display->Register(7648), FloatToBits(1.5e10f));

        EnterPoints("0", qPrintable(Local("2.5")), "1", qPrintable(Local("3.5")));
        Button(Form9, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->RegisterFloat(7643), 1.0f);
        QCOMPARE(fx.display->RegisterFloat(7644), 2.5f);
        // The formula follows the line written, the points stay as typed.
        QCOMPARE(Formula("Label11"), Local("y = 1.00 * x + 2.50"));
        QCOMPARE(Edit("Edit2")->text(), Local("2.5"));
    }

    // Lines whose points at 4 and 20 two decimals cannot carry (0.3·4 + 0.1
    // shows as 1.30): an input left as shown goes back to the bit, and only
    // an edited one is computed from its points.
    void anUneditedInputKeepsItsLineToTheBit()
    {
        const float lines[4] = {0.3f, 0.1f, 1.1f, -0.37f};
        const unsigned registers[4] = {7643, 7644, 7647, 7648};
        for (int k = 0; k < 4; ++k)
            fx.display->SetRegisterFloat(registers[k], lines[k]);
        Form9->show();
        Button(Form9, "SpeedButton1")->click();
        Button(Form9, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(3));  // the read and both writes
        for (int k = 0; k < 4; ++k)
            QCOMPARE(fx.display->Register(registers[k]), FloatToBits(lines[k]));

        EnterPoints("0", "1", "10", "21", true);
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.display->Register(7643), FloatToBits(0.3f));
        QCOMPARE(fx.display->Register(7644), FloatToBits(0.1f));
        QCOMPARE(fx.display->RegisterFloat(7647), 2.0f);
        QCOMPARE(fx.display->RegisterFloat(7648), 1.0f);
    }

    void aNegativeOffsetShowsBothSigns()
    {
        Image.SetFloat(7643, 2.0f);
        Image.SetFloat(7644, -3.5f);
        Form9->show();
        QCOMPARE(Formula("Label11"), Local("y = 2.00 * x + -3.50"));
        QCOMPARE(Edit("Edit2")->text(), Local("4.50"));
    }

    void equalIndicatedValuesKeepThatInput()
    {
        Image.SetFloat(7647, 3.0f);
        Image.SetFloat(7648, 7.0f);
        Form9->show();
        EnterPoints("0", "1", "1", "3");
        EnterPoints("4", "5", "4", "9", true);
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the recalibration coefficient"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Error);
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));  // both written all the same
        QCOMPARE(fx.display->RegisterFloat(7643), 2.0f);
        QCOMPARE(fx.display->RegisterFloat(7644), 1.0f);
        QCOMPARE(fx.display->RegisterFloat(7647), 3.0f);  // its previous coefficients
        QCOMPARE(fx.display->RegisterFloat(7648), 7.0f);
    }

    void inputsThatAreNoUsableNumberStopTheWrite_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("no number") << "four";
        QTest::newRow("empty") << "";
        QTest::newRow("beyond single precision") << "1E39";
    }

    void inputsThatAreNoUsableNumberStopTheWrite()
    {
        QFETCH(QString, text);
        Form9->show();
        EnterPoints("0", "0", "10", "5");
        EnterPoints("0", "0", "10", "5", true);
        Edit("Edit8")->setText(text);
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the recalibration coefficient"));
        QVERIFY(fx.TakeFrames().empty());
        QCOMPARE(Image.GetFloat(7643), 0.5f);  // input I computed, unwritten
        QCOMPARE(Image.GetFloat(7647), 0.0f);
    }

    void aLineSinglePrecisionCannotHold()
    {
        Image.SetFloat(7643, 1.0f);
        Form9->show();
        EnterPoints("0", "-3E38", "1E-30", "3E38");  // a slope of 6E68
        EnterPoints("1", "2", "3", "4", true);
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the recalibration coefficient"));
        QCOMPARE(fx.display->RegisterFloat(7643), 1.0f);  // the display's own, unchanged
        QCOMPARE(Image.GetFloat(7643), 1.0f);
        QCOMPARE(fx.display->RegisterFloat(7647), 1.0f);
        QCOMPARE(fx.display->RegisterFloat(7648), 1.0f);
    }

    void eachWriteIsJudgedByItsOwnReply_data()
    {
        QTest::addColumn<bool>("secondFails");
        QTest::newRow("only the first acknowledged") << true;
        QTest::newRow("only the second acknowledged") << false;
    }

    void eachWriteIsJudgedByItsOwnReply()
    {
        QFETCH(bool, secondFails);
        Form9->show();
        EnterPoints("4", "5", "20", "21");
        EnterPoints("4", "5", "20", "21", true);
        if (secondFails)
            fx.display->InjectFault({FaultKind::Late, 0});  // the first write: answered
        fx.display->InjectFault({FaultKind::Silent});
        Button(Form9, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
    }

    void readsThatFail()
    {
        Form9->show();
        fx.display->InjectFault({FaultKind::Silent});
        Edit("Edit2")->setText(QStringLiteral("typed"));
        Button(Form9, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(Edit("Edit2")->text(), QStringLiteral("typed"));  // window unchanged

        Image.SetFloat(7643, 3.0f);
        fx.display->InjectFault({FaultKind::BadCrc});
        Button(Form9, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(Edit("Edit2")->text(), Local("12.00"));  // refilled from the image
    }

    // ---- information

    void theTitleBlinksAquaAndRed()
    {
        QCOMPARE(NextTitleColour(kWindowTextColour), 0x00FFFF00u);  // aqua: blue and green
        QCOMPARE(NextTitleColour(0x00FFFF00u), 0x000000FFu);       // red
        QCOMPARE(NextTitleColour(0x000000FFu), 0x00FFFF00u);

        QVERIFY(Form10->Timer1->isActive());  // since the window was created
        QCOMPARE(Form10->Timer1->interval(), 200);
        Form10->Timer1->stop();
        Form10->SetTitleColour(kWindowTextColour);
        QCOMPARE(TitleColour(), QPalette().color(QPalette::WindowText));
        const QColor expected[] = {Qt::cyan, Qt::red, Qt::cyan, Qt::red};
        for (const QColor& colour : expected) {
            Form10->Invoke("Timer1Timer");
            QCOMPARE(TitleColour(), colour);
        }
        Form10->Timer1->start();
    }

    void theLinkGoesToTheDesktopsHandlerAndCloseCloses()
    {
        UrlCatcher browser;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "Open");
        Form10->show();
        QLabel* link = Form10->findChild<QLabel*>(QStringLiteral("Label5"));
        QTest::mouseClick(link, Qt::LeftButton);
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QCOMPARE(browser.opened.size(), 1);
        QCOMPARE(browser.opened[0].toString(), link->text());
        QVERIFY(Form10->isVisible());  // the window stays open

        Button(Form10, "SpeedButton1")->click();
        QVERIFY(!Form10->isVisible());
        QVERIFY(Form10->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(Form10->findChild<QLabel*>(QStringLiteral("Label3"))->text(), QStringLiteral("Ver.: 1.0.0"));
    }
};

QTEST_MAIN(RecalibrationAndInformationTest)
#include "tst_recalibration_and_information.moc"
