// The status window and the added devices window against the simulated
// display: flags shown and written back, the device line and table shown,
// checked and exchanged, at every rate and through every failure.
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Status.h"
#include "Urzadzenia.h"

#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QtTest>

using sim::FaultKind;

namespace {

QCheckBox* Box(int n) { return Form7->findChild<QCheckBox*>(QStringLiteral("CheckBox%1").arg(n)); }

QLineEdit* Field(const char* name) { return LineEdit(Form8, name); }
QComboBox* List(const char* name) { return Combo(Form8, name); }
QString State() { return Form8->findChild<QLabel*>(QStringLiteral("Label10"))->text(); }

void ChooseDevice(int number)
{
    QTreeWidget* tree = Form8->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
    tree->setCurrentItem(tree->topLevelItem(number - 1));
}

// Shows the added devices window on device `number`. The window outlives
// each test, and the device an earlier test left may still hold what that
// test typed, which the move refuses: what that says is forgotten.
void OpenOnDevice(WindowFixture& fx, int number)
{
    Form8->show();
    ChooseDevice(number);
    fx.messages->shown.clear();
}

int Count(const MessageRecorder& messages, const char* text)
{
    int count = 0;
    for (const MessageRecord& message : messages.shown)
        count += MessageRecorder::Headline(message) == QLatin1String(text);
    return count;
}

void FillDevice(const char* address, const char* basic, const char* count, const char* period)
{
    Field("Edit2")->setText(QString::fromLatin1(address));
    Field("Edit3")->setText(QString::fromLatin1(basic));
    Field("Edit4")->setText(QString::fromLatin1(count));
    Field("Edit5")->setText(QString::fromLatin1(period));
}

unsigned Entry(int number, unsigned field)
{
    return 4300 + 5 * unsigned(number - 1) + field;
}

}  // namespace

class StatusAndDevicesTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void init()
    {
        fx.Begin();
        Form7->Invoke("FormCreate");  // nothing read yet, as at start-up
    }
    void cleanup()
    {
        Form7->hide();
        Form8->hide();
        fx.End();
    }

    // ---- status

    void theFirstOpeningShowsNoFlag()
    {
        Form7->show();
        for (int n = 1; n <= 19; ++n) {
            QVERIFY(!Box(n)->isChecked());
            QVERIFY(!Box(n)->isEnabled());
        }
    }

    void flagsShowAndGoBackAsTheyAreLeft()
    {
        fx.display->SetRegister(4029, 0xC1FF);  // bits 15, 14, 8, and the unshown 7..0
        fx.display->SetRegister(4030, 0x8201);  // bits 15, 9, 0
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        const QList<int> settable = {1, 2, 8, 9, 19};
        for (int n = 1; n <= 19; ++n) {
            QCOMPARE(Box(n)->isChecked(), settable.contains(n) || n == 10);
            QCOMPARE(Box(n)->isEnabled(), settable.contains(n));
        }
        Box(2)->setChecked(false);
        fx.TakeFrames();
        Button(Form7, "SpeedButton1")->click();
        QVERIFY(!Form7->isVisible());
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->Register(4029), 0x8100u);  // bit 14 cleared, bits 7..0 written as 0
        QCOMPARE(fx.display->Register(4030), 0x8201u);
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));
    }

    void aClearFlagUnticksItsBox()
    {
        fx.display->SetRegister(4029, 0x8000);
        fx.display->SetRegister(4030, 0x0020);  // device 6: ticked, not clearable
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        QVERIFY(Box(1)->isChecked() && Box(14)->isChecked() && !Box(14)->isEnabled());
        fx.display->SetRegister(4029, 0);
        fx.display->SetRegister(4030, 0);
        Button(Form7, "SpeedButton2")->click();
        for (int n = 1; n <= 19; ++n)
            QVERIFY2(!Box(n)->isChecked(), qPrintable(QString::number(n)));
        // And a read right after "Close" is answered as it should be.
        Button(Form7, "SpeedButton1")->click();
        QCOMPARE(fx.display->Register(4029), 0u);
        fx.display->SetRegister(4030, 0x0001);
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QVERIFY(Box(19)->isChecked());
    }

    void aFailedReadSaysSoInPolish_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::newRow("silence") << FaultKind::Silent;
        QTest::newRow("bad crc") << FaultKind::BadCrc;
        QTest::newRow("exception") << FaultKind::Exception;
    }

    void aFailedReadSaysSoInPolish()
    {
        QFETCH(sim::FaultKind, kind);
        Image.Set(4029, 0x4000);
        Form7->show();
        fx.display->InjectFault({kind, 2});
        Button(Form7, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Przekroczony czas oczekiwania"));
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Błąd transmisji"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Information);
        QVERIFY(Box(2)->isChecked());  // the boxes keep their state
    }

    // Flags nobody has seen are not cleared: "Close" writes only after a read.
    void closeBeforeAnyReadWritesNothing()
    {
        fx.display->SetRegister(4029, 0xC400);  // service mode, EEPROM error, supply break
        fx.display->SetRegister(4030, 0x8001);
        Form7->show();
        Button(Form7, "SpeedButton1")->click();
        QVERIFY(!Form7->isVisible());
        QVERIFY(!fx.display->WaitForFrames(1, 200));
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->Register(4029), 0xC400u);
        QCOMPARE(fx.display->Register(4030), 0x8001u);

        // A read that failed is no read either.
        Form7->show();
        fx.display->InjectFault({FaultKind::Silent});
        Button(Form7, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        fx.TakeFrames();
        Button(Form7, "SpeedButton1")->click();
        QVERIFY(!Form7->isVisible());
        QCOMPARE(fx.messages->shown.size(), 1);
        QVERIFY(!fx.display->WaitForFrames(1, 200));
        QCOMPARE(fx.display->Register(4029), 0xC400u);
    }

    // Flags read from one display are not another's: after the connection
    // moved to another address, "Close" leaves that display's flags alone.
    void closeAfterTheAddressChangedWritesNothing()
    {
        fx.display->SetRegister(4029, 0x8000);
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        QVERIFY(Box(1)->isChecked());
        fx.TakeFrames();
        Settings.displayAddress = 2;
        Button(Form7, "SpeedButton1")->click();
        QVERIFY(!Form7->isVisible());
        QVERIFY(!fx.display->WaitForFrames(1, 200));
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));

        // Back at the display that was read, its flags go back as left.
        Settings.displayAddress = 1;
        Form7->show();
        Box(1)->setChecked(false);
        Button(Form7, "SpeedButton1")->click();
        QVERIFY(fx.display->WaitForFrames(1, 2000));
        QTRY_COMPARE(fx.display->Register(4029), 0u);
    }

    void theCloseBoxWritesNothing()
    {
        Form7->show();
        Form7->close();
        QVERIFY(!fx.display->WaitForFrames(1, 200));
    }

    void closeSaysWhenTheChangesDidNotReachTheDisplay()
    {
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        fx.display->InjectFault({FaultKind::Silent});
        Button(Form7, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QVERIFY(!Form7->isVisible());

        Link.ClosePort();
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Form7->show();
        Button(Form7, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        QVERIFY(!Form7->isVisible());
    }

    // ---- added devices: the first two depend on no device having been chosen yet

    void theFirstOpening()
    {
        Form8->show();
        QCOMPARE(State(), QStringLiteral("No device selected"));
        for (const char* name : {"Edit2", "Edit3", "Edit4", "Edit5"}) {
            QVERIFY(Field(name)->text().isEmpty());
            QVERIFY(!Field(name)->isEnabled());
        }
        QVERIFY(!List("ComboBox3")->isEnabled());
        QCOMPARE(List("ComboBox1")->currentText(), QStringLiteral("8n1"));
        QCOMPARE(List("ComboBox2")->currentText(), QStringLiteral("2400"));
        QCOMPARE(Field("Edit1")->text(), QStringLiteral("0"));
        QCOMPARE(List("ComboBox2")->count(), 10);
        QCOMPARE(List("ComboBox2")->itemText(8), QStringLiteral("76800"));
        QCOMPARE(List("ComboBox3")->itemText(6), QStringLiteral("6 - float"));
        QVERIFY(Field("Edit1")->toolTip().startsWith(QStringLiteral("Czas oczekiwania")));
        QCOMPARE(Form8->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText(),
                 QStringLiteral("To switch the device off, one must give \nthe address 0"));
    }

    void aWriteBeforeAnyDeviceWasChosen()
    {
        Image.Set(Entry(4, 0), 17);
        Form8->show();
        Field("Edit1")->setText(QStringLiteral("1000"));
        Button(Form8, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        QCOMPARE(fx.display->Register(4003), 10u);
        QCOMPARE(fx.display->Register(Entry(4, 0)), 17u);  // the table as the image holds it
        QCOMPARE(Form8->SelectedDevice(), int(TForm8::kNoDevice));
    }

    void aChosenDeviceShowsItsEntry()
    {
        const std::uint32_t values[] = {5, 1000, 4, 6, 30};
        for (unsigned field = 0; field < 5; ++field)
            Image.Set(Entry(3, field), values[field]);
        OpenOnDevice(fx, 3);
        QCOMPARE(Form8->SelectedDevice(), 2);
        QCOMPARE(Field("Edit2")->text(), QStringLiteral("5"));
        QCOMPARE(Field("Edit3")->text(), QStringLiteral("1000"));
        QCOMPARE(Field("Edit4")->text(), QStringLiteral("4"));
        QCOMPARE(List("ComboBox3")->currentText(), QStringLiteral("6 - float"));
        QCOMPARE(Field("Edit5")->text(), QStringLiteral("30"));
        QCOMPARE(State(), QStringLiteral("Read out switched on"));
        QVERIFY(Field("Edit2")->isEnabled() && List("ComboBox3")->isEnabled());

        // The state line follows the stored entry, not the edit.
        ChooseDevice(7);
        QCOMPARE(State(), QStringLiteral("Read out switched off"));
        Field("Edit2")->setText(QStringLiteral("9"));
        QCOMPARE(State(), QStringLiteral("Read out switched off"));
    }

    void timeOutTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("stored");  // -1: refused
        QTest::newRow("100") << "100" << 1;
        QTest::newRow("5099") << "5099" << 50;
        QTest::newRow("150") << "150" << 1;
        QTest::newRow("99") << "99" << -1;
        QTest::newRow("5100") << "5100" << -1;
        QTest::newRow("-100") << "-100" << -1;
        QTest::newRow("abc") << "abc" << -1;
    }

    void timeOutTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, stored);
        Image.Set(4003, 7);
        Form8->show();
        List("ComboBox1")->setCurrentIndex(3);
        Field("Edit1")->setText(text);
        Button(Form8, "SpeedButton2")->click();
        QCOMPARE(Image.Get(4004), 3u);  // the lists are taken first, whatever follows
        if (stored < 0) {
            QCOMPARE(fx.messages->LastText(), QStringLiteral("Error: Time Out"));
            QCOMPARE(Image.Get(4003), 7u);
            QVERIFY(fx.TakeFrames().empty());
            return;
        }
        QCOMPARE(Image.Get(4003), std::uint32_t(stored));
        Form8->hide();
        Form8->show();
        QCOMPARE(Field("Edit1")->text(), QString::number(stored * 100));  // "150" comes back as "100"
    }

    void deviceRanges_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("basic");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QString>("period");
        QTest::addColumn<int>("sentBasic");  // -1: refused, nothing sent
        QTest::newRow("address 0") << "0" << "-1" << "1" << "1" << 65535;
        QTest::newRow("address 247, 10 registers, 60 s") << "247" << "-1" << "10" << "60" << 65535;
        QTest::newRow("address 248") << "248" << "-1" << "1" << "1" << -1;
        QTest::newRow("address -5") << "-5" << "-1" << "1" << "1" << -1;
        QTest::newRow("0 registers") << "1" << "-1" << "0" << "1" << -1;
        QTest::newRow("11 registers") << "1" << "-1" << "11" << "1" << -1;
        QTest::newRow("period 0") << "1" << "-1" << "1" << "0" << -1;
        QTest::newRow("period 61") << "1" << "-1" << "1" << "61" << -1;
        // The basic address travels in one 16-bit register: signed or not.
        QTest::newRow("basic 65535") << "1" << "65535" << "1" << "1" << 65535;
        QTest::newRow("basic -32768") << "1" << "-32768" << "1" << "1" << 32768;
        QTest::newRow("basic 65536") << "1" << "65536" << "1" << "1" << -1;
        QTest::newRow("basic 70000") << "1" << "70000" << "1" << "1" << -1;
        QTest::newRow("basic -32769") << "1" << "-32769" << "1" << "1" << -1;
    }

    void deviceRanges()
    {
        QFETCH(QString, address);
        QFETCH(QString, basic);
        QFETCH(QString, count);
        QFETCH(QString, period);
        QFETCH(int, sentBasic);
        Image.Set(4003, 10);
        Image.Set(Entry(1, 0), 99);
        OpenOnDevice(fx, 1);
        FillDevice(qPrintable(address), qPrintable(basic), qPrintable(count), qPrintable(period));
        Button(Form8, "SpeedButton2")->click();
        if (sentBasic >= 0) {
            QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
            QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
            QCOMPARE(fx.display->Register(Entry(1, 0)), address.toUInt());
            QCOMPARE(fx.display->Register(Entry(1, 1)), std::uint32_t(sentBasic));
        } else {
            // Refused: nothing of it, nor anything else, goes out.
            QCOMPARE(fx.messages->shown.size(), 1);
            QCOMPARE(fx.messages->LastText(), QStringLiteral("Error parameters of the devices added"));
            QVERIFY(!fx.display->WaitForFrames(1, 100));
            QCOMPARE(Image.Get(Entry(1, 0)), 99u);  // the entry as it was
            QCOMPARE(Field("Edit2")->text(), address);  // what was typed stays to be mended
        }
    }

    // A fresh display's table is all zeros: every device switched off, with
    // no count or period. Browsing it and writing it back is no error.
    void aTableOfZerosCanBeBrowsedAndWritten()
    {
        Image.Set(4003, 10);
        OpenOnDevice(fx, 1);
        for (int number = 2; number <= 10; ++number)
            ChooseDevice(number);
        ChooseDevice(4);
        Button(Form8, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        for (unsigned reg = 4300; reg < 4350; ++reg)
            QCOMPARE(fx.display->Register(reg), 0u);

        // A switched-off device keeps its count and period as typed, for
        // when it is switched on again; only what a register cannot hold is
        // refused.
        FillDevice("0", "7", "12", "90");
        ChooseDevice(5);
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(Image.Get(Entry(4, 2)), 12u);
        QCOMPARE(Image.Get(Entry(4, 4)), 90u);
        FillDevice("0", "0", "-1", "0");
        ChooseDevice(4);
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error parameters of the devices added"));
        // Switched on, the same values are refused.
        Field("Edit2")->setText(QStringLiteral("3"));
        Button(Form8, "SpeedButton2")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QVERIFY(fx.TakeFrames().empty());
    }

    void eachDeviceKeepsItsOwnType()
    {
        Image.Set(Entry(2, 2), 1);
        Image.Set(Entry(2, 4), 1);
        Image.Set(Entry(5, 2), 1);
        Image.Set(Entry(5, 3), 2);
        Image.Set(Entry(5, 4), 1);
        OpenOnDevice(fx, 2);
        List("ComboBox3")->setCurrentIndex(6);
        ChooseDevice(5);
        QCOMPARE(List("ComboBox3")->currentText(), QStringLiteral("2 - int"));
        ChooseDevice(2);
        QCOMPARE(List("ComboBox3")->currentText(), QStringLiteral("6 - float"));
    }

    void aFieldThatIsNoNumberOnAMove()
    {
        Image.Set(Entry(6, 2), 3);
        Image.Set(Entry(8, 0), 12);
        OpenOnDevice(fx, 6);
        FillDevice("4", "0", "x", "5");
        ChooseDevice(8);
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error: Number of registers"));
        QCOMPARE(Image.Get(Entry(6, 2)), 3u);
        QCOMPARE(Image.Get(Entry(6, 0)), 0u);  // nothing of the entry was stored
        QCOMPARE(Field("Edit2")->text(), QStringLiteral("12"));  // the new device is shown

        // "Write" with such a field sends nothing.
        Field("Edit5")->setText(QStringLiteral("y"));
        Field("Edit1")->setText(QStringLiteral("500"));
        Button(Form8, "SpeedButton2")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Error: Review period"));
        QVERIFY(fx.TakeFrames().empty());
    }

    void aReadoutShowsLineAndTable()
    {
        fx.display->SetRegister(4003, 25);
        fx.display->SetRegister(4005, 8);
        fx.display->SetRegister(Entry(10, 0), 200);
        fx.display->SetRegister(Entry(10, 1), 0xFFFF);
        OpenOnDevice(fx, 10);
        Button(Form8, "SpeedButton1")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(Field("Edit1")->text(), QStringLiteral("2500"));
        QCOMPARE(List("ComboBox2")->currentText(), QStringLiteral("76800"));
        QCOMPARE(Field("Edit2")->text(), QStringLiteral("200"));
        QCOMPARE(Field("Edit3")->text(), QStringLiteral("65535"));
    }

    void aReadoutAt2400Baud()
    {
        fx.End();
        sim::SimDisplay::Options options;
        options.rateCode = 0;
        fx.Begin(options);
        Settings.rateIndex = 0;
        fx.display->SetRegister(Entry(10, 4), 42);
        OpenOnDevice(fx, 10);
        Button(Form8, "SpeedButton1")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(Field("Edit5")->text(), QStringLiteral("42"));
    }

    void codesOutsideTheListsGoBackUnchanged()
    {
        fx.display->SetRegister(4003, 10);
        fx.display->SetRegister(4004, 5);
        fx.display->SetRegister(4005, 12);
        fx.display->SetRegister(Entry(1, 2), 1);
        fx.display->SetRegister(Entry(1, 3), 9);
        fx.display->SetRegister(Entry(1, 4), 1);
        OpenOnDevice(fx, 1);
        Button(Form8, "SpeedButton1")->click();
        QCOMPARE(List("ComboBox1")->currentIndex(), -1);
        QCOMPARE(List("ComboBox2")->currentIndex(), -1);
        QCOMPARE(List("ComboBox3")->currentIndex(), -1);
        Button(Form8, "SpeedButton2")->click();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->Register(4004), 5u);
        QCOMPARE(fx.display->Register(4005), 12u);
        QCOMPARE(fx.display->Register(Entry(1, 3)), 9u);
    }

    void aSilentDisplayOnEachAction()
    {
        Image.Set(4003, 10);
        Form8->show();
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        Button(Form8, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));  // the table was not asked for
        Button(Form8, "SpeedButton2")->click();
        QCOMPARE(Count(*fx.messages, "Transmision error"), 3);  // one message per block
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
    }

    void aRefusedReplyIsReportedAndTheTableStillRead()
    {
        fx.display->SetRegister(Entry(1, 0), 31);
        OpenOnDevice(fx, 1);
        fx.display->InjectFault({FaultKind::BadCrc});  // the line's reply
        Button(Form8, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastHeadline(), QStringLiteral("Transmision error"));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(2));
        QCOMPARE(Field("Edit2")->text(), QStringLiteral("31"));
    }

    void aWriteWhoseWayIsBlocked()
    {
        Image.Set(4003, 10);
        OpenOnDevice(fx, 9);
        FillDevice("8", "100", "2", "5");
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Button(Form8, "SpeedButton2")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        QCOMPARE(Image.Get(Entry(9, 0)), 8u);  // the checks ran and stored first
    }

    void theCreditLine()
    {
        Form8->Invoke("GroupBox2DblClick");
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("vtconfig 1.0.0, configuration software for VT5 and RQ8 displays"));
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Information"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::None);
    }
};

QTEST_MAIN(StatusAndDevicesTest)
#include "tst_status_and_devices.moc"
