// Every settings window's read and write through a network port, once through
// a serial device server carrying RTU frames and once through a Modbus TCP
// gateway: what the user does in each window reaches the simulated display
// behind it, the 32-bit registers included. The serial-line tests cover each
// window's checks and failures; here the transports are the point.
#include "DesktopLocale.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "Czas.h"
#include "NetworkPeers.h"
#include "Informacje.h"
#include "Jasnosc.h"
#include "PortList.h"
#include "Status.h"
#include "Urzadzenia.h"
#include "Wspolczynniki.h"
#include "Wyswietlanie.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QLabel>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QtTest>
#include <memory>


namespace {

template <typename Form>
QTimeEdit* Picker(Form* form, const char* name)
{
    return form->template findChild<QTimeEdit*>(QString::fromLatin1(name));
}

QCheckBox* StatusBox(int n) { return Form7->findChild<QCheckBox*>(QStringLiteral("CheckBox%1").arg(n)); }

unsigned DeviceEntry(int number, unsigned field) { return 4300 + 5 * unsigned(number - 1) + field; }

}  // namespace

// A failed check ends the test there: the checks after it would only fail in its wake.
#define VERIFY_OVER_THE_NETWORK()       \
    do {                                \
        VerifyOverTheNetwork();         \
        if (QTest::currentTestFailed()) \
            return;                     \
    } while (false)

class WindowsOverNetworkTest : public QObject {
    Q_OBJECT
    WindowFixture fx;
    std::unique_ptr<sim::DeviceServer> server;

    // The window's exchanges went through the server, and quietly.
    void VerifyOverTheNetwork()
    {
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(PortPath(Settings.portIndex), server->Path());
        QVERIFY(server->Connections() > 0);
    }

private slots:
    void initTestCase() { VerifyDesktopLocale(); }

    void initTestCase_data() { AddProtocolRows(); }

    void init()
    {
        QFETCH_GLOBAL(Protocol, protocol);
        fx.Begin();
        Form7->Invoke("FormCreate");  // no flags read yet
        server = std::make_unique<sim::DeviceServer>(*fx.display, protocol);
        QVERIFY(server->Start(0));
        // The network port chosen as the connection window chooses it; COM 1
        // leads nowhere, so a window that went by the serial line would fail.
        const std::optional<unsigned> index = NetworkPortIndex(server->Path());
        QVERIFY(index);
        Settings.portIndex = std::uint8_t(*index);
        setenv("VT_COM1", "/dev/vt-absent", 1);
    }

    void cleanup()
    {
        Form5->Timer1->stop();
        for (QWidget* form : std::initializer_list<QWidget*> {Form4, Form5, Form6, Form7, Form8, Form9, Form10})
            form->hide();
        Link.ClosePort();
        server.reset();  // before the display it serves
        fx.End();
    }

    void displayConfiguration()
    {
        const struct { unsigned reg; const char* edit; float value; const char* text; } alarms[] = {
            {7610, "Edit7", 12.5f, "12.5"}, {7611, "Edit8", -3.0f, "-3"}, {7617, "Edit12", 100.0f, "100"}};
        for (const auto& alarm : alarms)
            fx.display->SetRegisterFloat(alarm.reg, alarm.value);
        fx.display->SetRegister(4006, 6);
        fx.display->SetRegister(4008, 110);
        Form4->show();
        Button(Form4, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(LineEdit(Form4, "Edit1")->text(), QStringLiteral("6"));
        QCOMPARE(Combo(Form4, "ComboBox2")->currentText(), QStringLiteral("7610"));
        for (const auto& alarm : alarms)
            QCOMPARE(LineEdit(Form4, alarm.edit)->text(), Local(alarm.text));

        LineEdit(Form4, "Edit1")->setText(QStringLiteral("8"));
        LineEdit(Form4, "Edit11")->setText(Local("-2.5"));
        Button(Form4, "SpeedButton1")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4006), 8u);
        QCOMPARE(fx.display->Register(4008), 110u);
        QCOMPARE(fx.display->RegisterFloat(7616), -2.5f);
        for (const auto& alarm : alarms)
            QCOMPARE(fx.display->Register(alarm.reg), FloatToBits(alarm.value));  // unedited: to the bit
    }

    void clock()
    {
        fx.display->SetRegister(4022, 2007);
        fx.display->SetRegister(4023, 305);
        fx.display->SetRegister(4024, 7);
        Form5->show();
        QCalendarWidget* calendar = Form5->findChild<QCalendarWidget*>(QStringLiteral("MonthCalendar1"));
        Button(Form5, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(calendar->selectedDate(), QDate(2007, 3, 5));
        QCOMPARE(Picker(Form5, "DateTimePicker1")->time(), QTime(0, 7));

        calendar->setSelectedDate(QDate(2011, 10, 9));
        Picker(Form5, "DateTimePicker1")->setTime(QTime(17, 45, 30));
        Button(Form5, "SpeedButton1")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4022), 2011u);
        QCOMPARE(fx.display->Register(4023), 1009u);
        QCOMPARE(fx.display->Register(4024), 1745u);

        // The synchronisation's write comes from the timer, the window
        // closed and the port with it: the minute it was armed for.
        Picker(Form5, "DateTimePicker1")->setTime(QTime(8, 30));
        Button(Form5, "SpeedButton3")->click();
        const QTime armed = QTime::fromString(
            Form5->findChild<QLabel*>(QStringLiteral("LabelSynchronising"))->text().section(QLatin1Char(' '), -1),
            QStringLiteral("HH:mm"));
        QVERIFY(armed.isValid());
        Form5->hide();
        Link.ClosePort();
        Form5->Invoke("Timer1Timer");
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4024), unsigned(armed.hour() * 100 + armed.minute()));
    }

    void brightness()
    {
        fx.display->SetRegister(4025, 90);
        fx.display->SetRegister(4026, 30);
        fx.display->SetRegister(4027, 630);
        fx.display->SetRegister(4028, 2130);
        Form6->show();
        Button(Form6, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(LineEdit(Form6, "Edit1")->text(), QStringLiteral("90"));
        QCOMPARE(LineEdit(Form6, "Edit2")->text(), QStringLiteral("30"));
        QCOMPARE(Picker(Form6, "DateTimePicker1")->time(), QTime(6, 30));
        QCOMPARE(Picker(Form6, "DateTimePicker2")->time(), QTime(21, 30));

        LineEdit(Form6, "Edit1")->setText(QStringLiteral("55"));
        Picker(Form6, "DateTimePicker2")->setTime(QTime(22, 5));
        Button(Form6, "SpeedButton1")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4025), 55u);
        QCOMPARE(fx.display->Register(4026), 30u);
        QCOMPARE(fx.display->Register(4028), 2205u);
    }

    void status()
    {
        fx.display->SetRegister(4029, 0xC100);
        fx.display->SetRegister(4030, 0x8201);
        Form7->show();
        Button(Form7, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        for (int n : {1, 2, 8, 9, 10, 19})
            QVERIFY2(StatusBox(n)->isChecked(), qPrintable(QString::number(n)));
        QVERIFY(!StatusBox(3)->isChecked());

        StatusBox(2)->setChecked(false);
        Button(Form7, "SpeedButton1")->click();  // "Close" writes the flags back
        QVERIFY(!Form7->isVisible());
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4029), 0x8100u);
        QCOMPARE(fx.display->Register(4030), 0x8201u);
    }

    void addedDevices()
    {
        fx.display->SetRegister(4003, 25);
        fx.display->SetRegister(4005, 8);
        fx.display->SetRegister(DeviceEntry(10, 0), 200);
        fx.display->SetRegister(DeviceEntry(10, 1), 0xFFFF);
        Form8->show();
        QTreeWidget* tree = Form8->findChild<QTreeWidget*>(QStringLiteral("TreeView1"));
        tree->setCurrentItem(tree->topLevelItem(9));
        // What an earlier run left typed on a device is of no matter here.
        fx.messages->shown.clear();
        Button(Form8, "SpeedButton1")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(LineEdit(Form8, "Edit1")->text(), QStringLiteral("2500"));
        QCOMPARE(Combo(Form8, "ComboBox2")->currentText(), QStringLiteral("76800"));
        QCOMPARE(LineEdit(Form8, "Edit2")->text(), QStringLiteral("200"));
        QCOMPARE(LineEdit(Form8, "Edit3")->text(), QStringLiteral("65535"));

        LineEdit(Form8, "Edit1")->setText(QStringLiteral("1000"));
        LineEdit(Form8, "Edit2")->setText(QStringLiteral("8"));
        LineEdit(Form8, "Edit3")->setText(QStringLiteral("100"));
        LineEdit(Form8, "Edit4")->setText(QStringLiteral("2"));
        LineEdit(Form8, "Edit5")->setText(QStringLiteral("5"));
        Button(Form8, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->Register(4003), 10u);
        QCOMPARE(fx.display->Register(4005), 8u);
        QCOMPARE(fx.display->Register(DeviceEntry(10, 0)), 8u);
        QCOMPARE(fx.display->Register(DeviceEntry(10, 1)), 100u);
        QCOMPARE(fx.display->Register(DeviceEntry(10, 2)), 2u);
        QCOMPARE(fx.display->Register(DeviceEntry(10, 4)), 5u);
    }

    void recalibration()
    {
        fx.display->SetRegisterFloat(7643, 0.5f);
        fx.display->SetRegisterFloat(7644, 1.25f);
        fx.display->SetRegisterFloat(7647, 0.3f);
        fx.display->SetRegisterFloat(7648, 1.5e10f);
        Form9->show();
        Button(Form9, "SpeedButton1")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(LineEdit(Form9, "Edit2")->text(), Local("3.25"));
        QCOMPARE(LineEdit(Form9, "Edit4")->text(), Local("11.25"));
        QCOMPARE(Form9->findChild<QLabel*>(QStringLiteral("Label11"))->text(), QStringLiteral("y = 0.50 * x + 1.25"));
        QCOMPARE(LineEdit(Form9, "Edit6")->text(), Local("1.500000051E10"));

        // Input I through two new points; input II left as read.
        LineEdit(Form9, "Edit1")->setText(QStringLiteral("0"));
        LineEdit(Form9, "Edit2")->setText(Local("2.5"));
        LineEdit(Form9, "Edit3")->setText(QStringLiteral("1"));
        LineEdit(Form9, "Edit4")->setText(Local("3.5"));
        Button(Form9, "SpeedButton2")->click();
        VERIFY_OVER_THE_NETWORK();
        QCOMPARE(fx.display->RegisterFloat(7643), 1.0f);
        QCOMPARE(fx.display->RegisterFloat(7644), 2.5f);
        QCOMPARE(fx.display->Register(7647), FloatToBits(0.3f));
        QCOMPARE(fx.display->Register(7648), FloatToBits(1.5e10f));
    }

    // The information window has nothing to exchange: it opens and closes
    // without a connection.
    void information()
    {
        Form10->show();
        Button(Form10, "SpeedButton1")->click();
        QVERIFY(!Form10->isVisible());
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(server->Connections(), 0);
        QVERIFY(fx.display->Frames().empty());
    }
};

QTEST_MAIN(WindowsOverNetworkTest)
#include "tst_windows_over_network.moc"
