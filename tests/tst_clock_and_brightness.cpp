// The time and date window and the brightness window against the simulated
// display: the register encodings both ways, the desktop's formats, the
// synchronisation at the next whole minute, and every way an exchange fails.
#include "DesktopLocale.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Clock.h"
#include "Czas.h"
#include "ErrorReport.h"
#include "Jasnosc.h"

#include <QCalendarWidget>
#include <QLabel>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

using sim::FaultKind;

namespace {

// The PC's clock as a test sets it.
class TestClock : public SystemClock {
public:
    QDateTime now;
    QDateTime Now() const override { return now; }
};

QCalendarWidget* Calendar() { return Form5->findChild<QCalendarWidget*>(QStringLiteral("MonthCalendar1")); }
QTimeEdit* Picker(TForm* form, const char* name) { return form->findChild<QTimeEdit*>(QString::fromLatin1(name)); }
QTimeEdit* ClockPicker() { return Picker(Form5, "DateTimePicker1"); }

QByteArray Hex(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

}  // namespace

class ClockAndBrightnessTest : public QObject {
    Q_OBJECT
    WindowFixture fx;
    TestClock clock;

private slots:
    void initTestCase()
    {
        VerifyDesktopLocale();
        SetApplicationTitle(QStringLiteral("VT Verozorivira"));
    }

    void init()
    {
        fx.Begin();
        clock.now = QDateTime(QDate(2007, 12, 24), QTime(14, 5, 59));
        ::SetClock(&clock);
    }

    void cleanup()
    {
        Form5->Timer1->stop();
        Form5->hide();
        Form6->hide();
        RestoreDesktopLocale();
        ::SetClock(nullptr);
        fx.End();
    }

    // ---- time and date

    void eachOpeningShowsThePcClock()
    {
        Form5->show();
        QCOMPARE(Calendar()->selectedDate(), QDate(2007, 12, 24));
        QCOMPARE(ClockPicker()->time(), QTime(14, 5, 59));
        Form5->hide();
        clock.now = QDateTime(QDate(2008, 1, 2), QTime(9, 0, 1));
        Form5->show();
        QCOMPARE(Calendar()->selectedDate(), QDate(2008, 1, 2));
        QCOMPARE(ClockPicker()->time(), QTime(9, 0, 1));
    }

    void aWriteSendsYearMonthDayHoursMinutes()
    {
        Form5->show();
        Button(Form5, "SpeedButton1")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        auto frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(1));
        // 4022, three registers: 2007, 1224, 1405; the seconds are dropped
        QCOMPARE(Hex(frames[0].bytes).left(26), QByteArray("01100fb6000306" "07d7" "04c8" "057d"));
        QCOMPARE(Image.Get(4023), 1224u);
        QCOMPARE(int(Settings.portOpen), 1);  // left open
    }

    void aReadShowsTheDisplaysClockWhateverTheDesktopsFormats_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::newRow("period, y-m-d") << "en_CA";
        QTest::newRow("comma, d.m.y") << "de_DE";
        QTest::newRow("comma, d.m.y, Polish") << "pl_PL";
        QTest::newRow("m/d/y") << "en_US";
    }

    void aReadShowsTheDisplaysClockWhateverTheDesktopsFormats()
    {
        QFETCH(QString, locale);
        QLocale::setDefault(QLocale(locale));
        fx.display->SetRegister(4022, 2007);
        fx.display->SetRegister(4023, 305);
        fx.display->SetRegister(4024, 7);
        Form5->show();
        Button(Form5, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(Calendar()->selectedDate(), QDate(2007, 3, 5));
        QCOMPARE(ClockPicker()->time(), QTime(0, 7, 0));
    }

    void registersThatGiveNoDateOrTime_data()
    {
        QTest::addColumn<int>("monthDay");
        QTest::addColumn<int>("hoursMinutes");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QTime>("timeShown");
        QTest::newRow("minute 99") << 305 << 1399 << "'13:99:00' is not a valid time" << QTime(14, 5, 59);
        QTest::newRow("hour 24") << 305 << 2400 << "'24:0:00' is not a valid time" << QTime(14, 5, 59);
        QTest::newRow("month 13") << 1305 << 1405 << "'2007-13-5' is not a valid date" << QTime(14, 5);
        QTest::newRow("31 February") << 231 << 1405 << "'2007-2-31' is not a valid date" << QTime(14, 5);
    }

    void registersThatGiveNoDateOrTime()
    {
        QFETCH(int, monthDay);
        QFETCH(int, hoursMinutes);
        QFETCH(QString, report);
        QFETCH(QTime, timeShown);
        fx.display->SetRegister(4022, 2007);
        fx.display->SetRegister(4023, std::uint32_t(monthDay));
        fx.display->SetRegister(4024, std::uint32_t(hoursMinutes));
        Form5->show();
        Button(Form5, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastText(), report);
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("VT Verozorivira"));
        QCOMPARE(ClockPicker()->time(), timeShown);  // a time set before a failing date stays
        QCOMPARE(Calendar()->selectedDate(), QDate(2007, 12, 24));

        // The window is still of use.
        fx.display->SetRegister(4023, 101);
        fx.display->SetRegister(4024, 0);
        Button(Form5, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(Calendar()->selectedDate(), QDate(2007, 1, 1));
    }

    void synchronizeArmsTheNextWholeMinute()
    {
        Form5->show();
        clock.now.setTime(QTime(10, 15, 42, 600));
        Button(Form5, "SpeedButton3")->click();
        QVERIFY(Form5->Timer1->isActive());
        QCOMPARE(Form5->Timer1->interval(), 18000);
        QCOMPARE(Form5->Timer1->timerType(), Qt::PreciseTimer);  // a coarse one fires up to 900 ms early
        clock.now.setTime(QTime(10, 15, 0));
        Button(Form5, "SpeedButton3")->click();  // armed anew
        QCOMPARE(Form5->Timer1->interval(), 60000);
        QVERIFY(fx.TakeFrames().empty());  // nothing is sent before it fires
    }

    void theSynchronisationWritesThePcsMinuteWithTheWindowClosed_data()
    {
        QTest::addColumn<bool>("readOutFirst");
        QTest::newRow("controls set by hand") << false;
        QTest::newRow("controls read from the display") << true;
    }

    // The controls' time at arming, whether typed or read from a display
    // whose clock is off, would set the display a minute or more behind.
    void theSynchronisationWritesThePcsMinuteWithTheWindowClosed()
    {
        QFETCH(bool, readOutFirst);
        Form5->show();
        fx.display->SetRegister(4022, 2006);
        fx.display->SetRegister(4023, 301);
        fx.display->SetRegister(4024, 745);
        if (readOutFirst)
            Button(Form5, "SpeedButton2")->click();
        else
            ClockPicker()->setTime(QTime(8, 30, 0));
        fx.TakeFrames();
        clock.now = QDateTime(QDate(2007, 12, 31), QTime(23, 59, 59, 400));  // a second to go, and a new year
        Button(Form5, "SpeedButton3")->click();
        QCOMPARE(Form5->Timer1->interval(), 1000);
        QCOMPARE(Form5->findChild<QLabel*>(QStringLiteral("LabelSynchronising"))->text(),
                 QStringLiteral("Synchronising at 00:00"));
        Form5->hide();
        QTRY_COMPARE_WITH_TIMEOUT(fx.display->Frames().size(), std::size_t(1), 5000);
        QTRY_VERIFY(!Form5->Timer1->isActive());
        // The test's clock stands at 23:59:59: the minute armed is written, not the one before.
        QCOMPARE(fx.display->Register(4022), 2008u);
        QCOMPARE(fx.display->Register(4023), 101u);
        QCOMPARE(fx.display->Register(4024), 0u);
        QCOMPARE(Calendar()->selectedDate(), QDate(2008, 1, 1));
        QCOMPARE(ClockPicker()->time(), QTime(0, 0));
        QVERIFY(Form5->findChild<QLabel*>(QStringLiteral("LabelSynchronising"))->text().isEmpty());
        QVERIFY(fx.messages->shown.isEmpty());
    }

    void theSynchronisationOpensAPortAnotherWindowClosed()
    {
        Form5->show();
        Button(Form5, "SpeedButton3")->click();
        Link.ClosePort();  // as the display configuration window does after a read
        Form5->Invoke("Timer1Timer");
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));
        QVERIFY(fx.messages->shown.isEmpty());
        QVERIFY(!Form5->Timer1->isActive());

        Button(Form5, "SpeedButton3")->click();
        Link.ClosePort();
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Form5->Invoke("Timer1Timer");
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device\n"
                                                         "From the clock's synchronisation armed for 14:06."));
        QVERIFY(fx.TakeFrames().empty());
        QVERIFY(!Form5->Timer1->isActive());
    }

    void aPortThatCannotOpenIsNamedOnEveryAction()
    {
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Form5->show();
        for (const char* button : {"SpeedButton1", "SpeedButton2", "SpeedButton3"})
            Button(Form5, button)->click();
        QCOMPARE(fx.messages->shown.size(), 3);
        for (const MessageRecord& message : fx.messages->shown)
            QCOMPARE(message.text, QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        QVERIFY(!Form5->Timer1->isActive());  // nothing armed
        QCOMPARE(Image.Get(4024), 1405u);     // "Write" stored the controls all the same
    }

    void aClockWriteCountsOnlyWhenAcknowledged_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::newRow("silence") << FaultKind::Silent << 0;
        QTest::newRow("exception") << FaultKind::Exception << 4;
        QTest::newRow("bad crc") << FaultKind::BadCrc << 0;
        QTest::newRow("other address") << FaultKind::OtherAddress << 3;
    }

    void aClockWriteCountsOnlyWhenAcknowledged()
    {
        QFETCH(sim::FaultKind, kind);
        QFETCH(int, value);
        Form5->show();
        fx.display->InjectFault({kind, value});
        Button(Form5, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Error);
        Button(Form5, "SpeedButton3")->click();
        fx.display->InjectFault({kind, value});
        Form5->Invoke("Timer1Timer");
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QVERIFY(fx.messages->LastText().endsWith(QStringLiteral("\nFrom the clock's synchronisation armed for 14:06.")));
    }

    void aClockReadThatFails()
    {
        Form5->show();
        fx.display->InjectFault({FaultKind::Silent});
        Button(Form5, "SpeedButton2")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(ClockPicker()->time(), QTime(14, 5, 59));  // unchanged

        // A refused reply is reported, and the controls show the image.
        Image.Set(4022, 2010);
        Image.Set(4023, 704);
        Image.Set(4024, 1230);
        fx.display->InjectFault({FaultKind::BadCrc});
        Button(Form5, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(Calendar()->selectedDate(), QDate(2010, 7, 4));
        QCOMPARE(ClockPicker()->time(), QTime(12, 30));
    }

    // ---- brightness

    void theFirstOpeningShowsTheEmptyImage()
    {
        Form6->show();
        QCOMPARE(Picker(Form6, "DateTimePicker1")->time(), QTime(0, 0));
        QCOMPARE(Picker(Form6, "DateTimePicker2")->time(), QTime(0, 0));
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("0"));
        QCOMPARE(LineEdit(Form6, "Edit2")->text(), QStringLiteral("0"));
        QVERIFY(!Picker(Form6, "DateTimePicker1")->displayFormat().contains(QLatin1Char('s')));  // hours and minutes
    }

    void timesTravelAsHoursAndMinutes()
    {
        Image.Set(4027, 630);
        Image.Set(4028, 2105);
        Form6->show();
        QCOMPARE(Picker(Form6, "DateTimePicker1")->time(), QTime(6, 30));
        QCOMPARE(Picker(Form6, "DateTimePicker2")->time(), QTime(21, 5));
        Picker(Form6, "DateTimePicker1")->setTime(QTime(21, 5, 59));
        Picker(Form6, "DateTimePicker2")->setTime(QTime(0, 0));
        QVERIFY(Form6->CheckBrightness());
        QCOMPARE(Image.Get(4027), 2105u);
        QCOMPARE(Image.Get(4028), 0u);
    }

    void levels_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal");
        const QString day = QStringLiteral("Error: Brightness for the day");
        const QString night = QStringLiteral("Error: Brightness for the night");
        QTest::newRow("day 0") << "Edit1" << "0" << QString();
        QTest::newRow("day 100") << "Edit1" << "100" << QString();
        QTest::newRow("night 100") << "Edit2" << "100" << QString();
        QTest::newRow("day 101") << "Edit1" << "101" << day;
        QTest::newRow("day -1") << "Edit1" << "-1" << day;
        QTest::newRow("day text") << "Edit1" << "bright" << day;
        QTest::newRow("day empty") << "Edit1" << "" << day;
        QTest::newRow("night 101") << "Edit2" << "101" << night;
        QTest::newRow("night empty") << "Edit2" << "" << night;
    }

    void levels()
    {
        QFETCH(QString, edit);
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        for (unsigned reg = 4025; reg <= 4028; ++reg)
            Image.Set(reg, 7);
        Form6->show();
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("55"));
        LineEdit(Form6, "Edit2")->setText(QStringLiteral("44"));
        Picker(Form6, "DateTimePicker1")->setTime(QTime(6, 0));
        LineEdit(Form6, qPrintable(edit))->setText(text);
        Button(Form6, "SpeedButton1")->click();
        if (refusal.isEmpty()) {
            QVERIFY(fx.messages->shown.isEmpty());
            QCOMPARE(fx.display->Register(edit == QLatin1String("Edit1") ? 4025 : 4026), text.toUInt());
            return;
        }
        QCOMPARE(fx.messages->LastText(), refusal);
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Error);
        QVERIFY(fx.TakeFrames().empty());
        // What came before the refused level is stored; what comes after is not.
        QCOMPARE(Image.Get(4025), edit == QLatin1String("Edit2") ? 55u : 7u);
        QCOMPARE(Image.Get(4026), 7u);
        QCOMPARE(Image.Get(4027), 7u);
    }

    void closingStoresWhatItCanAndCloses()
    {
        Form6->show();
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("60"));
        LineEdit(Form6, "Edit2")->setText(QStringLiteral("200"));
        Form6->Close();
        QVERIFY(!Form6->isVisible());
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error: Brightness for the night"));
        QCOMPARE(Image.Get(4025), 60u);
        Form6->show();
        QCOMPARE(LineEdit(Form6, "Edit2")->text(), QStringLiteral("0"));  // the image's, not the refused text
        QVERIFY(fx.TakeFrames().empty());
    }

    void brightnessExchanges()
    {
        fx.display->SetRegister(4025, 90);
        fx.display->SetRegister(4028, 2130);
        Form6->show();
        Button(Form6, "SpeedButton2")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("90"));
        QCOMPARE(Picker(Form6, "DateTimePicker2")->time(), QTime(21, 30));

        fx.display->InjectFault({FaultKind::Exception, 3});
        Button(Form6, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));

        fx.display->InjectFault({FaultKind::Silent});
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("12"));
        Button(Form6, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("12"));  // kept on a missing reply

        fx.display->InjectFault({FaultKind::BadCrc});
        Button(Form6, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 3);
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("90"));  // refilled from the image
    }

    void aTimeRegisterThatGivesNoTime()
    {
        Image.Set(4025, 5);
        Image.Set(4027, 1399);
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("as it was"));
        Form6->show();  // the report, and the window still opens
        QCOMPARE(fx.messages->LastText(), QStringLiteral("'13:99:00' is not a valid time"));
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("as it was"));  // after the failing one
    }
};

QTEST_MAIN(ClockAndBrightnessTest)
#include "tst_clock_and_brightness.moc"
