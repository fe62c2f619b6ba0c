// The connection windows against the simulated display: choosing port, line
// and address, and changing the display's own line with the tool following.
#include "ConnectionWindow.h"
#include "ProgramLink.h"

#include "NetworkPeers.h"
#include "Jasnosc.h"
#include "PortAction.h"
#include "PortList.h"
#include "TcpSocket.h"
#include "Uart.h"
#include "Zmiana.h"

#include <QProgressDialog>
#include <QTimer>
#include <QtTest>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

using sim::FaultKind;


class ConnectionTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void init() { fx.Begin(); }
    void cleanup()
    {
        Form3->hide();
        fx.End();
    }

    void startValuesShow()
    {
        InConnectionWindow([this] {
            QCOMPARE(Combo(Form2, "ComboBox1")->currentText(), QStringLiteral("COM 1"));
            QCOMPARE(Combo(Form2, "ComboBox2")->currentText(), QStringLiteral("8n2"));
            QCOMPARE(Combo(Form2, "ComboBox3")->currentText(), QStringLiteral("9600"));
            QCOMPARE(LineEdit(Form2, "Edit1")->text(), QStringLiteral("1"));
            // Each port tells which device it opens here.
            QCOMPARE(Combo(Form2, "ComboBox1")->itemData(0, Qt::ToolTipRole).toString(),
                     QString::fromStdString(fx.display->DevicePath()));
        });
    }

    void refusedAddressesChangeNothing_data()
    {
        QTest::addColumn<QString>("address");
        for (const char* text : {"0", "248", "-5", "abc", "300", ""})
            QTest::newRow(text) << QString::fromLatin1(text);
    }

    void refusedAddressesChangeNothing()
    {
        QFETCH(QString, address);
        InConnectionWindow([&] {
            Pick(Combo(Form2, "ComboBox1"), QStringLiteral("COM 3"));
            Pick(Combo(Form2, "ComboBox3"), QStringLiteral("38400"));
            LineEdit(Form2, "Edit1")->setText(address);
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(fx.messages->shown.size(), 1);
        QCOMPARE(fx.messages->shown[0].text, QStringLiteral("Error of the address"));
        QCOMPARE(fx.messages->shown[0].caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages->shown[0].icon, MessageIcon::Error);
        QVERIFY(!Form2->isVisible());  // closed all the same
        QCOMPARE(int(Settings.portIndex), 0);
        QCOMPARE(int(Settings.rateIndex), 2);
        QCOMPARE(int(Settings.displayAddress), 1);
    }

    void acceptedAddresses()
    {
        for (const char* text : {"247", "1", " 17 "}) {
            InConnectionWindow([&] {
                LineEdit(Form2, "Edit1")->setText(QString::fromLatin1(text));
                Button(Form2, "SpeedButton1")->click();
            });
            QCOMPARE(int(Settings.displayAddress), QString::fromLatin1(text).trimmed().toInt());
        }
        QVERIFY(fx.messages->shown.isEmpty());
    }

    void aRateChangeReopensAnOpenPortOnly()
    {
        InConnectionWindow([] {
            Pick(Combo(Form2, "ComboBox3"), QStringLiteral("19200"));
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(int(Settings.rateIndex), 4);
        QCOMPARE(int(Settings.portOpen), 0);  // recorded only

        QCOMPARE(Link.OpenPort(0, 1, 4), 1);
        InConnectionWindow([] {
            Pick(Combo(Form2, "ComboBox3"), QStringLiteral("38400"));
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(int(Settings.portOpen), 1);
        Link.SendFrame(Link.BuildReadRequest(1, 4006, 1));
        QVERIFY(fx.display->WaitForFrames(1, 2000));
        QCOMPARE(fx.TakeFrames()[0].line.baud, 38400u);  // at once
    }

    void theCloseBoxAppliesNothing()
    {
        InConnectionWindow([] {
            Pick(Combo(Form2, "ComboBox2"), QStringLiteral("8o1"));
            LineEdit(Form2, "Edit1")->setText(QStringLiteral("9"));
            Form2->close();
        });
        QCOMPARE(int(Settings.modeIndex), 1);
        QCOMPARE(int(Settings.displayAddress), 1);
        InConnectionWindow([] { QCOMPARE(Combo(Form2, "ComboBox2")->currentText(), QStringLiteral("8n2")); });
    }

    void changeParametersOpensTheChangeWindowEvenAfterARefusal()
    {
        InConnectionWindow([] {
            Pick(Combo(Form2, "ComboBox2"), QStringLiteral("8e1"));
            LineEdit(Form2, "Edit1")->setText(QStringLiteral("0"));
            Button(Form2, "SpeedButton3")->click();
        });
        QVERIFY(Form3->isVisible());
        QVERIFY(!Form3->isModal());
        QCOMPARE(Combo(Form3, "ComboBox1")->currentText(), QStringLiteral("8n2"));  // settings unchanged
        QCOMPARE(Combo(Form3, "ComboBox2")->currentText(), QStringLiteral("9600"));  // rate code 2 from start-up
        QCOMPARE(LineEdit(Form3, "Edit1")->text(), QStringLiteral("1"));
    }

    void rateCodesConvertBothWays()
    {
        QCOMPARE(RateIndexToCode(5), 6u);
        QCOMPARE(RateIndexToCode(7), 9u);
        QCOMPARE(RateIndexToCode(4), 4u);
        QCOMPARE(RateCodeToIndex(6), 5);
        QCOMPARE(RateCodeToIndex(9), 7);
        QCOMPARE(RateCodeToIndex(5), 4);  // 28800 shows as 19200
        QCOMPARE(RateCodeToIndex(8), 6);  // 76800 shows as 57600
        for (int index = 0; index < 8; ++index)
            QCOMPARE(RateCodeToIndex(RateIndexToCode(index)), index);
    }

    void aChangeMovesDisplayAndTool()
    {
        Form3->Show();
        Pick(Combo(Form3, "ComboBox1"), QStringLiteral("8o1"));
        Pick(Combo(Form3, "ComboBox2"), QStringLiteral("38400"));
        Button(Form3, "SpeedButton1")->click();

        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(fx.messages->shown[0].text, QStringLiteral("Write new parameters to diplay."));
        QCOMPARE(fx.messages->shown[0].buttons, MessageButtons::OkCancel);
        QCOMPARE(fx.messages->shown[1].text,
                 QStringLiteral("Parameters has been changed\nThe display now answers at address 1, 38400 8o1."));
        QCOMPARE(fx.messages->shown[1].caption, QString());
        QCOMPARE(fx.messages->shown[1].icon, MessageIcon::Information);
        QCOMPARE(Image.Get(4001), 3u);
        QCOMPARE(Image.Get(4002), 6u);
        QCOMPARE(int(fx.display->Mode()), 3);
        QCOMPARE(int(fx.display->RateCode()), 6);
        QCOMPARE(int(Settings.modeIndex), 3);
        QCOMPARE(int(Settings.rateIndex), 5);
        QCOMPARE(int(Settings.portOpen), 1);

        // The first write went at the old line, the second at the new one,
        // and the display answered both.
        auto frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(frames[0].line.baud, 9600u);
        QVERIFY(frames[0].line.twoStopBits);
        QCOMPARE(frames[1].line.baud, 38400u);
        QVERIFY(frames[1].line.oddParity);
        QVERIFY(frames[0].lineMatched && frames[1].lineMatched);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(frames[1].bytes.data()), 13).toHex(),
                 QByteArray("01100fa0000306000100030006"));

        // Later exchanges talk at the new line.
        Link.SendFrame(Link.BuildReadRequest(1, 4006, 1));
        QCOMPARE(Link.WaitForReply(500, ExpectedResponseLength(1, 3)), 7u);
    }

    void aDeclinedChangeSendsNothing()
    {
        fx.messages->answer = kChoiceCancel;
        Form3->Show();
        Pick(Combo(Form3, "ComboBox2"), QStringLiteral("57600"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 1);
        QVERIFY(!fx.display->WaitForFrames(1, 200));
        QCOMPARE(Image.Get(4002), 7u);  // kept, unsent
        Form3->hide();
        Form3->Show();
        // The tool's own line, where the display still is.
        QCOMPARE(Combo(Form3, "ComboBox2")->currentText(), QStringLiteral("9600"));
        QCOMPARE(Combo(Form3, "ComboBox1")->currentText(), QStringLiteral("8n2"));
    }

    void anUnconfirmedChangeLeavesTheToolWhereTheDisplayAnswers_data()
    {
        const QString kNothingAnswers = QStringLiteral(
            ", and nothing answers at address 1, 2400 8n2 or 9600 8n2; the tool is back where it was. "
            "\"Find the display…\" in the connection configuration can look for it.");
        QTest::addColumn<int>("displayAddress");
        QTest::addColumn<FaultKind>("fault");
        QTest::addColumn<QString>("where");
        QTest::addColumn<int>("toolRate");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("displayRateCode");
        // Silent: it took the change, but nothing it says comes back. Two
        // writes, then a probe at each line.
        QTest::newRow("silent display") << 1 << FaultKind::Silent
                                        << kNothingAnswers
                                        << 2 << 4 << 0;
        // At another address it hears the requests and answers none (Late: no fault).
        QTest::newRow("display at another address")
            << 5 << FaultKind::Late << kNothingAnswers << 2
            << 4 << 2;
        // The change was lost on the line: the display stayed where it was.
        QTest::newRow("change not heard") << 1 << FaultKind::Deaf << "; it still answers at address 1, 9600 8n2." << 2 << 4 << 2;
    }

    void anUnconfirmedChangeLeavesTheToolWhereTheDisplayAnswers()
    {
        QFETCH(int, displayAddress);
        QFETCH(FaultKind, fault);
        QFETCH(QString, where);
        if (displayAddress != 1)
            fx.Replug({std::uint8_t(displayAddress)});
        if (fault == FaultKind::Silent)
            fx.display->InjectFault({fault, 0, true});
        else if (fault == FaultKind::Deaf)
            fx.display->InjectFault({fault});
        Form3->Show();
        Pick(Combo(Form3, "ComboBox2"), QStringLiteral("2400"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Transmision error\nThe display did not confirm the change") + where);
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Information);
        QTEST(int(Settings.rateIndex), "toolRate");
        QCOMPARE(int(Settings.portOpen), 1);
        QTEST(int(fx.TakeFrames().size()), "frames");
        QTEST(int(fx.display->RateCode()), "displayRateCode");
        // Every later action talks at the line the tool stayed at.
        if (fault == FaultKind::Deaf)
            QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
    }

    // The change window starts from where the tool talks to the display, so
    // a change of one value sends the others as they are.
    void theChangeWindowOpensAtTheToolsLine()
    {
        Image.Set(4002, 7);  // a rate chosen here earlier and declined
        InConnectionWindow([] {
            Pick(Combo(Form2, "ComboBox2"), QStringLiteral("8o1"));
            Pick(Combo(Form2, "ComboBox3"), QStringLiteral("38400"));
            LineEdit(Form2, "Edit1")->setText(QStringLiteral("7"));
            Button(Form2, "SpeedButton3")->click();
        });
        QVERIFY(Form3->isVisible());
        QCOMPARE(Combo(Form3, "ComboBox1")->currentText(), QStringLiteral("8o1"));
        QCOMPARE(Combo(Form3, "ComboBox2")->currentText(), QStringLiteral("38400"));
        QCOMPARE(LineEdit(Form3, "Edit1")->text(), QStringLiteral("7"));
    }

    void anAddressOnlyChangeTakesTheToolAlong()
    {
        // A display at 38400 8o1, the tool with it.
        fx.End();
        sim::SimDisplay::Options options;
        options.mode = 3;
        options.rateCode = 6;
        fx.Begin(options);
        Settings.modeIndex = 3;
        Settings.rateIndex = 5;
        Form3->hide();
        Form3->Show();
        LineEdit(Form3, "Edit1")->setText(QStringLiteral("5"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 2);
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Parameters has been changed\nThe display now answers at address 5, 38400 8o1."));
        QCOMPARE(int(fx.display->Address()), 5);
        QCOMPARE(int(fx.display->Mode()), 3);
        QCOMPARE(int(fx.display->RateCode()), 6);  // not the 9600 of the start-up image
        QCOMPARE(int(Settings.displayAddress), 5);
        QCOMPARE(int(Settings.rateIndex), 5);
        // The confirmation went to the new address, and the display took it.
        const auto frames = fx.TakeFrames();
        QCOMPARE(frames.size(), std::size_t(2));
        QCOMPARE(int(frames[0].bytes[0]), 1);
        QCOMPARE(int(frames[1].bytes[0]), 5);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        // The connection configuration shows where the tool now talks.
        InConnectionWindow([] { QCOMPARE(LineEdit(Form2, "Edit1")->text(), QStringLiteral("5")); });
    }

    void anUnconfirmedChangeOfNothingNamesItsLineOnce()
    {
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        Form3->Show();
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Transmision error\nThe display did not confirm the change, and nothing answers at "
                                "address 1, 9600 8n2. \"Find the display…\" in the connection configuration can "
                                "look for it."));
        QCOMPARE(fx.TakeFrames().size(), std::size_t(3));  // two writes and one probe: one place to ask
    }

    void anUnconfirmedChangeOfTheAddressGoesBackToTheOldOne()
    {
        // The display does not hear the change: it stays at address 1.
        fx.display->InjectFault({FaultKind::Deaf});
        Form3->Show();
        LineEdit(Form3, "Edit1")->setText(QStringLiteral("9"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Transmision error\nThe display did not confirm the change; it still answers at "
                                "address 1, 9600 8n2."));
        QCOMPARE(int(Settings.displayAddress), 1);
        QCOMPARE(int(fx.display->Address()), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
    }

    void refusedNewAddressesSendNothing()
    {
        Form3->Show();
        for (const char* text : {"0", "248", "-1", "abc"}) {
            fx.messages->shown.clear();
            Pick(Combo(Form3, "ComboBox1"), QStringLiteral("8e1"));
            LineEdit(Form3, "Edit1")->setText(QString::fromLatin1(text));
            Button(Form3, "SpeedButton1")->click();
            QCOMPARE(fx.messages->LastText(), QStringLiteral("Error of the address"));
            QCOMPARE(fx.messages->shown.size(), 1);
        }
        QCOMPARE(Image.Get(4001), 2u);  // the list choices are stored before the address check
        QCOMPARE(Image.Get(4000), 1u);
        QVERIFY(!fx.display->WaitForFrames(1, 100));
    }

    void anAnswerThatIsNoAcknowledgementIsATransmissionError()
    {
        // Bad CRC at the old line, another address at the new one: neither
        // acknowledges the write.
        fx.display->InjectFault({FaultKind::BadCrc});
        fx.display->InjectFault({FaultKind::OtherAddress, 9});
        Form3->Show();
        Button(Form3, "SpeedButton1")->click();
        // The display did take the change, and answers a probe there.
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Transmision error\nThe display did not confirm the change, but it answers at "
                                "address 1, 9600 8n2."));

        // Refused at the old line but acknowledged at the new one: changed.
        fx.messages->shown.clear();
        fx.display->InjectFault({FaultKind::Exception, 4});
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText().section(QLatin1Char('\n'), 0, 0), QStringLiteral("Parameters has been changed"));
    }

    void aNetworkPortIsChosenAndRemembered_data() { AddProtocolRows(); }

    void aNetworkPortIsChosenAndRemembered()
    {
        QFETCH(Protocol, protocol);
        sim::DeviceServer server(*fx.display, protocol);
        QVERIFY(server.Start(0));
        const int protocolItem = protocol == Protocol::ModbusTcp ? 1 : 0;
        InConnectionWindow([&] {
            QComboBox* ports = Combo(Form2, "ComboBox1");
            QCOMPARE(ports->itemText(ports->count() - 1), QStringLiteral("Network port"));
            QVERIFY(!LineEdit(Form2, "Edit2")->isEnabled());  // a serial port is chosen
            Pick(ports, QStringLiteral("Network port"));
            LineEdit(Form2, "Edit2")->setText(QStringLiteral("127.0.0.1"));
            LineEdit(Form2, "Edit3")->setText(QString::number(server.Port()));
            Combo(Form2, "ComboBox4")->setCurrentIndex(protocolItem);
            Button(Form2, "SpeedButton1")->click();
        });
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(PortPath(Settings.portIndex), server.Path());
        // A window's write goes over it.
        Form6->show();
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("55"));
        LineEdit(Form6, "Edit2")->setText(QStringLiteral("44"));
        Button(Form6, "SpeedButton1")->click();
        Form6->hide();
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(fx.display->Register(4025), 55u);
        QCOMPARE(fx.display->Register(4026), 44u);
        // Shown again, the window names the network port in use.
        InConnectionWindow([&] {
            QCOMPARE(Combo(Form2, "ComboBox1")->currentText(), QStringLiteral("Network port"));
            QVERIFY(LineEdit(Form2, "Edit2")->isEnabled());
            QCOMPARE(LineEdit(Form2, "Edit2")->text(), QStringLiteral("127.0.0.1"));
            QCOMPARE(LineEdit(Form2, "Edit3")->text(), QString::number(server.Port()));
            QCOMPARE(Combo(Form2, "ComboBox4")->currentIndex(), protocolItem);
            Form2->close();
        });
        Link.ClosePort();
    }

    void aLineChangeOverTheNetworkWarnsOfTheDeviceServersLine_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("peer");
        QTest::newRow("RTU over TCP") << Protocol::RtuOverTcp << "device server";
        QTest::newRow("Modbus TCP") << Protocol::ModbusTcp << "gateway";
    }

    void aLineChangeOverTheNetworkWarnsOfTheDeviceServersLine()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, peer);
        sim::DeviceServer server(*fx.display, protocol);
        QVERIFY(server.Start(0));
        setenv("VT_COM1", server.Path().c_str(), 1);
        fx.messages->answer = kChoiceCancel;
        // The address alone changes nothing on the device server's side.
        Form3->Show();
        LineEdit(Form3, "Edit1")->setText(QStringLiteral("5"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Write new parameters to diplay."));
        Form3->hide();
        Form3->Show();
        Pick(Combo(Form3, "ComboBox2"), QStringLiteral("19200"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(),
                 QStringLiteral("Write new parameters to diplay.\nThe display's line ends at the %1 at 127.0.0.1:%2, "
                                "which keeps a line of its own: set it to 19200 8n2 there too after the change, or "
                                "the display no longer answers through it.")
                     .arg(peer)
                     .arg(server.Port()));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Question);
        Form3->hide();
        QCOMPARE(fx.TakeFrames().size(), std::size_t(0));  // declined: nothing sent
        Link.ClosePort();
    }

    void noReplyOverTheNetworkPointsAtTheProtocolAndTheServersLine()
    {
        // Modbus TCP spoken to a device server that carries RTU frames: the
        // display hears no frame of its own and stays silent.
        sim::DeviceServer server(*fx.display, Protocol::RtuOverTcp);
        QVERIFY(server.Start(0));
        const std::string path = "modbus-tcp://127.0.0.1:" + std::to_string(server.Port());
        QCOMPARE(Link.OpenDevice(path, 1, 2), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 300), ReadResult::NoReply);
        const QString cause = LastStepFailure();
        QVERIFY2(cause.startsWith(QStringLiteral("No reply from address 1 through 127.0.0.1:%1 (Modbus TCP) within ")
                                      .arg(server.Port())),
                 qPrintable(cause));
        QVERIFY2(cause.contains(QStringLiteral("speaks Modbus TCP")), qPrintable(cause));
        Link.ClosePort();
    }

    void aGatewayRefusingThe32BitDialectIsNamed()
    {
        {
            sim::DeviceServer gateway(*fx.display, Protocol::ModbusTcp);
            gateway.CheckByteCounts(true);
            QVERIFY(gateway.Start(0));
            QCOMPARE(Link.OpenDevice(gateway.Path(), 1, 2), 1);
            // Before any 16-bit block came through, nothing points at the gateway.
            QCOMPARE(Link.ReadBlock(Blocks::Alarms, 300), ReadResult::Rejected);
            QVERIFY(!LastStepFailure().contains(QStringLiteral("RTU over TCP")));
            QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
            for (const bool write : {false, true}) {
                if (write)
                    QCOMPARE(Link.WriteBlock(Blocks::Coefficients, 300), WriteResult::Refused);
                else
                    QCOMPARE(Link.ReadBlock(Blocks::Alarms, 300), ReadResult::Rejected);
                const QString message = LastStepFailure();
                QVERIFY2(message.contains(QStringLiteral("32-bit registers")), qPrintable(message));
                QVERIFY2(message.contains(QStringLiteral("RTU over TCP")), qPrintable(message));
            }
            Link.ClosePort();
        }
        // Through a device server the same blocks come through. The gateway
        // has let the display's line go first: for an ordinary user its
        // exclusive open would keep the next server out.
        sim::DeviceServer server(*fx.display, Protocol::RtuOverTcp);
        QVERIFY(server.Start(0));
        QCOMPARE(Link.OpenDevice(server.Path(), 1, 2), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Alarms, 300), ReadResult::Stored);
        QCOMPARE(Link.WriteBlock(Blocks::Coefficients, 300), WriteResult::Acknowledged);
        Link.ClosePort();
    }

    void refusedNetworkFieldsChangeNothing_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("no host") << "" << "502" << "Error of the host";
        QTest::newRow("host with a space") << "plc 7" << "502" << "Error of the host";
        QTest::newRow("port 0") << "192.0.2.7" << "0" << "Error of the TCP port";
        QTest::newRow("port 65536") << "192.0.2.7" << "65536" << "Error of the TCP port";
        QTest::newRow("port text") << "192.0.2.7" << "modbus" << "Error of the TCP port";
    }

    void refusedNetworkFieldsChangeNothing()
    {
        QFETCH(QString, host);
        QFETCH(QString, port);
        QFETCH(QString, refusal);
        InConnectionWindow([&] {
            Pick(Combo(Form2, "ComboBox1"), QStringLiteral("Network port"));
            LineEdit(Form2, "Edit2")->setText(host);
            LineEdit(Form2, "Edit3")->setText(port);
            LineEdit(Form2, "Edit1")->setText(QStringLiteral("9"));
            Button(Form2, "SpeedButton1")->click();
        });
        QCOMPARE(fx.messages->LastText(), refusal);
        QCOMPARE(int(Settings.portIndex), 0);
        QCOMPARE(int(Settings.displayAddress), 1);
    }

    void aSlowNameServerHoldsTheWindowNoLongerThanTheConnection_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("told");
        QTest::newRow("Cancel") << true << QString();
        QTest::newRow("3 s") << false
                             << QStringLiteral("Cannot open COM 1 (localhost:4001, RTU over TCP): the lookup of the "
                                               "host localhost did not finish within 3 s (its name server does not "
                                               "answer)");
    }

    void aSlowNameServerHoldsTheWindowNoLongerThanTheConnection()
    {
        // A name server that takes 20 s: the window shows the attempt with
        // "Cancel" meanwhile, and the attempt ends at "Cancel" or at 3 s.
        QFETCH(bool, cancelled);
        std::optional<SlowNameServer> nameServer(std::in_place);
        setenv("VT_COM1", "tcp://localhost:4001", 1);
        QString shown;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QProgressDialog*>(widget);
                if (dialog && dialog->objectName() == QStringLiteral("ConnectingDialog") && dialog->isVisible()
                    && shown.isEmpty()) {
                    shown = dialog->labelText();
                    if (cancelled)
                        dialog->cancel();
                }
            }
        });
        watcher.start(20);
        Form6->show();
        Button(Form6, "SpeedButton2")->click();
        watcher.stop();
        Form6->hide();
        nameServer.reset();
        QCOMPARE(shown, QStringLiteral("Connecting to localhost:4001 (RTU over TCP)…"));
        QFETCH(QString, told);
        if (told.isEmpty())
            QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        else
            QCOMPARE(fx.messages->LastText(), told);
        QCOMPARE(int(Settings.portOpen), 0);
    }

    void aSlowConnectionShowsItselfAndCanBeGivenUp()
    {
        StalledListener stalled;
        QVERIFY(stalled.Ready());
        setenv("VT_COM1", stalled.Path().c_str(), 1);
        // The user presses "Cancel" as soon as the attempt shows itself.
        QString shown;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QProgressDialog*>(widget);
                if (dialog && dialog->objectName() == QStringLiteral("ConnectingDialog") && dialog->isVisible()
                    && shown.isEmpty()) {
                    shown = dialog->labelText();
                    QVERIFY(dialog->isModal());
                    dialog->cancel();
                }
            }
        });
        watcher.start(20);
        Form6->show();
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("55"));
        LineEdit(Form6, "Edit2")->setText(QStringLiteral("44"));
        Button(Form6, "SpeedButton1")->click();
        watcher.stop();
        Form6->hide();
        QCOMPARE(shown, QStringLiteral("Connecting to 127.0.0.1:%1 (RTU over TCP)…")
                            .arg(QString::fromStdString(stalled.Path()).section(QLatin1Char(':'), -1)));
        // Given up by the user: no message, nothing open, the dialog gone.
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(int(Settings.portOpen), 0);
        for (QWidget* widget : QApplication::topLevelWidgets())
            QVERIFY(widget->objectName() != QStringLiteral("ConnectingDialog") || !widget->isVisible());
        // The next action connects again, here to a display that answers.
        sim::DeviceServer server(*fx.display, Protocol::RtuOverTcp);
        QVERIFY(server.Start(0));
        setenv("VT_COM1", server.Path().c_str(), 1);
        Form6->show();
        LineEdit(Form6, "Edit1")->setText(QStringLiteral("55"));
        LineEdit(Form6, "Edit2")->setText(QStringLiteral("44"));
        Button(Form6, "SpeedButton1")->click();
        Form6->hide();
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QCOMPARE(fx.display->Register(4025), 55u);
        Link.ClosePort();
    }

    void aPortThatCannotOpenIsNamed()
    {
        setenv("VT_COM1", "/dev/vt-absent", 1);
        Form3->Show();
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        QCOMPARE(fx.messages->shown.last().caption, QStringLiteral("Error"));
        QCOMPARE(fx.messages->shown.last().icon, MessageIcon::Error);
        QCOMPARE(int(Settings.modeIndex), 1);
    }

    void aPortThatCannotFollowTheDisplayIsNamed()
    {
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
        setenv("VT_COM1", "/dev/vt-absent", 1);  // gone before the port is opened at the new line
        Form3->Show();
        Pick(Combo(Form3, "ComboBox2"), QStringLiteral("19200"));
        Button(Form3, "SpeedButton1")->click();
        QCOMPARE(fx.messages->shown.size(), 3);
        QCOMPARE(fx.messages->shown[1].text,
                 QStringLiteral("Parameters has been changed\nThe display now answers at address 1, 19200 8n2."));
        QCOMPARE(fx.messages->shown[2].text, QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
        QCOMPARE(int(Settings.portOpen), 0);
        QCOMPARE(int(Settings.rateIndex), 4);
        QCOMPARE(fx.TakeFrames().size(), std::size_t(1));
    }
};

QTEST_MAIN(ConnectionTest)
#include "tst_connection.moc"
