// The display configuration window against the simulated display: the four
// rows shown, checked, read and written, the 32-bit alarm values included.
#include "DesktopLocale.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Wyswietlanie.h"

#include <QCheckBox>
#include <QMouseEvent>
#include <QtTest>
#include <cmath>
#include <limits>
#include <thread>

using sim::FaultKind;


namespace {

QLineEdit* Edit(const char* name) { return LineEdit(Form4, name); }
QComboBox* List(const char* name) { return Combo(Form4, name); }
QCheckBox* Box(const char* name) { return Form4->findChild<QCheckBox*>(QString::fromLatin1(name)); }

// Valid values in every row, so a test can spoil one field.
void FillValidRows()
{
    for (const char* digits : {"Edit1", "Edit2", "Edit3", "Edit4"})
        Edit(digits)->setText(QStringLiteral("5"));
    for (const char* alarm : {"Edit5", "Edit6", "Edit7", "Edit8", "Edit9", "Edit10", "Edit11", "Edit12"})
        Edit(alarm)->setText(QStringLiteral("1"));
}

QByteArray Hex(const std::vector<std::uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

}  // namespace

class DisplayConfigurationTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void initTestCase() { VerifyDesktopLocale(); }
    void init()
    {
        fx.Begin();
        Form4->show();
    }
    void cleanup()
    {
        Form4->hide();
        RestoreDesktopLocale();
        fx.End();
    }

    void listsAndFirstShowing()
    {
        QCOMPARE(List("ComboBox1")->count(), 4);
        QCOMPARE(List("ComboBox7")->itemText(3), QStringLiteral("0.000"));
        QCOMPARE(List("ComboBox8")->count(), 150);
        QCOMPARE(List("ComboBox2")->itemText(149), QStringLiteral("7649"));
        QCOMPARE(Edit("Edit1")->text(), QStringLiteral("0"));
        QCOMPARE(List("ComboBox1")->currentText(), QStringLiteral("0"));
        QCOMPARE(List("ComboBox2")->currentText(), QStringLiteral("7500"));
        QVERIFY(!Box("CheckBox1")->isChecked());
        QCOMPARE(Edit("Edit12")->text(), QStringLiteral("0"));
        QCOMPARE(Form4->windowTitle(), QStringLiteral("Display configuration"));
    }

    void digitRanges_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("digits");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("row I 0") << "Edit1" << "0" << false;
        QTest::newRow("row II 0") << "Edit2" << "0" << true;
        QTest::newRow("row IV 0") << "Edit4" << "0" << true;
        QTest::newRow("row I 20") << "Edit1" << "20" << true;
        QTest::newRow("row III 20") << "Edit3" << "20" << true;
        QTest::newRow("row I 21") << "Edit1" << "21" << false;
        QTest::newRow("row IV 21") << "Edit4" << "21" << false;
        QTest::newRow("row II -1") << "Edit2" << "-1" << false;
        QTest::newRow("row III text") << "Edit3" << "x" << false;
    }

    void digitRanges()
    {
        QFETCH(QString, edit);
        QFETCH(QString, digits);
        QFETCH(bool, accepted);
        FillValidRows();
        Edit(qPrintable(edit))->setText(digits);
        QCOMPARE(Form4->CheckConfiguration(), accepted);
        if (!accepted) {
            QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the number of digits"));
            QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Error"));
            QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Information);
        }
    }

    void alarmTexts_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<float>("stored");
        for (const char* locale : {"en_US", "pl_PL"}) {
            const bool comma = QByteArray(locale) == "pl_PL";
            QTest::addRow("%s 12.5", locale) << locale << (comma ? "12,5" : "12.5") << true << 12.5f;
            QTest::addRow("%s -3", locale) << locale << "-3" << true << -3.0f;
            QTest::addRow("%s 1E3", locale) << locale << "1E3" << true << 1000.0f;
            QTest::addRow("%s other separator", locale) << locale << (comma ? "12.5" : "12,5") << false << 0.0f;
            QTest::addRow("%s empty", locale) << locale << "" << false << 0.0f;
            QTest::addRow("%s beyond single precision", locale) << locale << "1E39" << false << 0.0f;
            QTest::addRow("%s near the largest single", locale) << locale << (comma ? "3,4E38" : "3.4E38") << true
                                                                << 3.4e38f;
        }
    }

    void alarmTexts()
    {
        QFETCH(QString, locale);
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(float, stored);
        QLocale::setDefault(QLocale(locale));
        FillValidRows();
        Edit("Edit11")->setText(text);  // row IV, first alarm value
        QCOMPARE(Form4->CheckConfiguration(), accepted);
        if (accepted)
            QCOMPARE(Image.GetFloat(7616), stored);
        else
            QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the alarm value"));
    }

    // The display's values in the desktop's own numbers: shown with its
    // separator, written back bit for bit when nothing was edited, and typed
    // with it.
    void theDesktopsNumbersShownWrittenBackAndTyped()
    {
        const struct { unsigned reg; const char* edit; float value; const char* text; } alarms[] = {
            {7610, "Edit7", 12.5f, "12.5"},  {7611, "Edit8", -3.0f, "-3"},
            {7612, "Edit5", 0.1f, "0.100000001490116"}, {7613, "Edit6", 100.0f, "100"},
            {7614, "Edit9", -1.25f, "-1.25"}, {7615, "Edit10", 2.0f, "2"},
            {7616, "Edit11", 1.5e-7f, "1.50000005305628E-7"}, {7617, "Edit12", 1e20f, "1.00000002004088E20"}};
        for (const auto& alarm : alarms)
            fx.display->SetRegisterFloat(alarm.reg, alarm.value);
        fx.display->SetRegister(4006, 6);
        Button(Form4, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        for (const auto& alarm : alarms)
            QCOMPARE(Edit(alarm.edit)->text(), Local(alarm.text));

        fx.TakeFrames();
        Button(Form4, "SpeedButton1")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        for (const auto& alarm : alarms)
            QCOMPARE(fx.display->Register(alarm.reg), FloatToBits(alarm.value));
        QCOMPARE(fx.display->Register(4006), 6u);

        Edit("Edit11")->setText(Local("2.5"));
        Button(Form4, "SpeedButton1")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->RegisterFloat(7616), 2.5f);
    }

    void aFailureKeepsWhatCameBefore()
    {
        FillValidRows();
        Edit("Edit1")->setText(QStringLiteral("7"));
        Edit("Edit7")->setText(Local("2.5"));
        Edit("Edit8")->setText(QStringLiteral("-4"));  // first alarm greater than second: fine
        Edit("Edit2")->setText(QStringLiteral("3"));
        List("ComboBox3")->setCurrentIndex(2);
        Box("CheckBox2")->setChecked(true);
        Edit("Edit5")->setText(QStringLiteral("oops"));  // row II, first alarm
        Button(Form4, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the alarm value"));
        QCOMPARE(Image.Get(4006), 7u);
        QCOMPARE(Image.GetFloat(7610), 2.5f);
        QCOMPARE(Image.GetFloat(7611), -4.0f);
        QCOMPARE(Image.Get(4010), 3u);
        QCOMPARE(Image.Get(4011), 2u);
        QCOMPARE(Image.Get(4013), 1u);
        QCOMPARE(Image.GetFloat(7612), 0.0f);
        QVERIFY(!fx.display->WaitForFrames(1, 100));  // nothing sent
        Form4->hide();
        Form4->show();
        QCOMPARE(Edit("Edit2")->text(), QStringLiteral("3"));
        QCOMPARE(Edit("Edit5")->text(), QStringLiteral("0"));
    }

    void registersShowAsListEntries()
    {
        Image.Set(4008, 110);
        Image.Set(4007, 4);
        Image.Set(4021, 1);
        Form4->ShowConfiguration();
        QCOMPARE(List("ComboBox2")->currentText(), QStringLiteral("7610"));
        QCOMPARE(List("ComboBox1")->currentIndex(), -1);
        QVERIFY(Box("CheckBox4")->isChecked());
        QVERIFY(!Box("CheckBox1")->isChecked() && !Box("CheckBox2")->isChecked() && !Box("CheckBox3")->isChecked());
    }

    void theAlarmSwitchFollowsTheDisplayBothWays()
    {
        Image.Set(4009, 1);
        Form4->ShowConfiguration();
        QVERIFY(Box("CheckBox1")->isChecked());
        fx.display->SetRegister(4009, 0);
        Button(Form4, "SpeedButton2")->click();
        QVERIFY(!Box("CheckBox1")->isChecked());
        QCOMPARE(Image.Get(4009), 0u);
    }

    void aReadAndAWriteFrameByFrame()
    {
        fx.display->SetRegister(4006, 6);
        fx.display->SetRegister(4008, 110);
        fx.display->SetRegister(4019, 7);  // a format the list does not offer
        fx.display->SetRegisterFloat(7611, 0.1f);
        Button(Form4, "SpeedButton2")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        auto frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(Hex(frames[0].bytes), QByteArray("01030fa60010a731"));
        QCOMPARE(Hex(frames[1].bytes).left(12), QByteArray("01031dba0008"));  // eight 32-bit values
        QCOMPARE(int(Settings.portOpen), 0);  // a read closes the port
        QCOMPARE(Edit("Edit1")->text(), QStringLiteral("6"));
        QCOMPARE(List("ComboBox2")->currentText(), QStringLiteral("7610"));
        QCOMPARE(List("ComboBox7")->currentIndex(), -1);
        QCOMPARE(Edit("Edit8")->text(), Local("0.100000001490116"));

        Edit("Edit1")->setText(QStringLiteral("8"));
        Edit("Edit12")->setText(Local("-2.5"));
        Button(Form4, "SpeedButton1")->click();
        QVERIFY(fx.messages->shown.isEmpty());
        frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(Hex(frames[0].bytes).left(14), QByteArray("01100fa6001020"));  // 16 registers, 32 bytes
        QCOMPARE(Hex(frames[1].bytes).left(14), QByteArray("01101dba000820"));  // 8 values, 32 bytes
        QCOMPARE(fx.display->Register(4006), 8u);
        QCOMPARE(fx.display->Register(4019), 7u);  // kept, not 65535
        QCOMPARE(fx.display->RegisterFloat(7617), -2.5f);
        QCOMPARE(fx.display->RegisterFloat(7611), 0.1f);
        QCOMPARE(int(Settings.portOpen), 1);  // a write leaves it open
    }

    void noDisplayOnTheLine()
    {
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Error);
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));  // the second block was not asked for
        QCOMPARE(int(Settings.portOpen), 0);

        Edit("Edit1")->setText(QStringLiteral("4"));
        Button(Form4, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));  // the 32-bit block was not sent
        QVERIFY(!Form4->timeOut);
    }

    void anExceptionReplyCountsAsATimeOut()
    {
        FillValidRows();
        fx.display->InjectFault({FaultKind::Exception, 4});
        Button(Form4, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
    }

    void aRefusedReplyIsReportedAndTheReadGoesOn_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::newRow("bad crc") << FaultKind::BadCrc << 0;
        QTest::newRow("other address") << FaultKind::OtherAddress << 5;
        QTest::newRow("exception") << FaultKind::Exception << 2;
        QTest::newRow("bytes ahead") << FaultKind::Prefix << 4;
    }

    void aRefusedReplyIsReportedAndTheReadGoesOn()
    {
        QFETCH(sim::FaultKind, kind);
        QFETCH(int, value);
        Image.Set(4006, 9);
        fx.display->SetRegister(4006, 3);
        fx.display->SetRegisterFloat(7610, 4.5f);
        fx.display->InjectFault({kind, value});  // the rows' reply
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        QCOMPARE(Image.Get(4006), 9u);  // the refused block stays as it was
        QCOMPARE(Image.GetFloat(7610), 4.5f);
        QCOMPARE(Edit("Edit1")->text(), QStringLiteral("9"));  // the window refilled from the image
        QCOMPARE(Edit("Edit7")->text(), Local("4.5"));
    }

    void aWriteCountsOnlyWhenAcknowledged_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::newRow("bad crc") << FaultKind::BadCrc << 0;
        QTest::newRow("other address") << FaultKind::OtherAddress << 5;
        QTest::newRow("cut short") << FaultKind::Truncate << 7;
        QTest::newRow("exception") << FaultKind::Exception << 4;
    }

    void aWriteCountsOnlyWhenAcknowledged()
    {
        QFETCH(sim::FaultKind, kind);
        QFETCH(int, value);
        FillValidRows();
        fx.display->InjectFault({kind, value});
        Button(Form4, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));  // the alarm values were not sent
    }

    void valuesThatAreNoNumbersShowAsSuch()
    {
        Image.SetFloat(7610, std::numeric_limits<float>::quiet_NaN());
        Image.SetFloat(7611, std::numeric_limits<float>::infinity());
        Image.SetFloat(7612, -std::numeric_limits<float>::infinity());
        Image.SetFloat(7613, std::numeric_limits<float>::max());
        Form4->ShowConfiguration();
        QCOMPARE(Edit("Edit7")->text(), QStringLiteral("NAN"));
        QCOMPARE(Edit("Edit8")->text(), QStringLiteral("INF"));
        QCOMPARE(Edit("Edit5")->text(), QStringLiteral("-INF"));
        QCOMPARE(Edit("Edit6")->text(), Local("3.40282346638529E38"));
        // Each text the window shows fits its edit.
        for (const char* name : {"Edit6", "Edit7"}) {
            QLineEdit* edit = Edit(name);
            QVERIFY2(edit->fontMetrics().horizontalAdvance(edit->text()) < edit->minimumWidth(), name);
        }
        Edit("Edit1")->setText(QStringLiteral("5"));
        QVERIFY(!Form4->CheckConfiguration());  // NAN is no value to send
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the alarm value"));
        QVERIFY(std::isnan(Image.GetFloat(7610)));
    }

    void aDoubleClickOnWriteWritesOnce()
    {
        // However quick the exchange, the second click of a double click is
        // no second write. The events come as the window system sends them.
        FillValidRows();
        QToolButton* write = Button(Form4, "SpeedButton1");
        const QPointF centre = write->rect().center();
        const QPointF global = write->mapToGlobal(centre);
        const struct { QEvent::Type type; Qt::MouseButtons held; } sequence[] = {
            {QEvent::MouseButtonPress, Qt::LeftButton}, {QEvent::MouseButtonRelease, Qt::NoButton},
            {QEvent::MouseButtonPress, Qt::LeftButton}, {QEvent::MouseButtonDblClick, Qt::LeftButton},
            {QEvent::MouseButtonRelease, Qt::NoButton}};
        for (const auto& step : sequence) {
            QMouseEvent event(step.type, centre, global, Qt::LeftButton, step.held, Qt::NoModifier);
            QApplication::sendEvent(write, &event);
        }
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
    }

    void aClickDuringAWriteIsDropped()
    {
        FillValidRows();
        QToolButton* write = Button(Form4, "SpeedButton1");
        const QPointF centre = write->rect().center();
        const QPointF global = write->mapToGlobal(centre);
        // The display takes its time; meanwhile a second click reaches the
        // queue, as the window system would put it there.
        fx.display->InjectFault({FaultKind::Late, 200});
        std::thread secondClick([&] {
            fx.display->WaitForFrames(1, 5000);
            for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
                QCoreApplication::postEvent(write, new QMouseEvent(type, centre, global, Qt::LeftButton,
                                                                   type == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                                                    : Qt::NoButton,
                                                                   Qt::NoModifier));
        });
        QTest::mouseClick(write, Qt::LeftButton);
        secondClick.join();
        QCoreApplication::processEvents();
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));  // both blocks, once
        // The button still answers a click made afterwards.
        QTest::mouseClick(write, Qt::LeftButton);
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
    }

    void aLostPortIsNamedAndTheNextReadReopens()
    {
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
        const QString device = QString::fromStdString(fx.display->DevicePath());
        fx.display->Stop();  // the adapter is pulled out
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("COM 1 (%1) was lost: Input/output error (the adapter was unplugged or failed)")
                     .arg(device));
        QCOMPARE(int(Settings.portOpen), 0);

        fx.Replug();
        fx.display->SetRegister(4006, 12);
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(Edit("Edit1")->text(), QStringLiteral("12"));
    }

    void aPortThatCannotOpenIsReported()
    {
        FillValidRows();
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Button(Form4, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        fx.messages->shown.clear();
        Button(Form4, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
    }
};

QTEST_MAIN(DisplayConfigurationTest)
#include "tst_display_configuration.moc"
