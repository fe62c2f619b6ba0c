// The link through USB adapters as they are: rates read back as the chip runs
// them, a rate too far off refused and skipped by the search, RTS driven by
// hand with a signal arriving while the request drains or a drain that never
// ends, the driver's low-latency flag asked for and put back.
#include "AdapterDouble.h"
#include "ProgramLink.h"
#include "WindowFixture.h"

#include "DisplaySearch.h"
#include "FindDisplay.h"
#include "FrameLog.h"
#include "PortAction.h"

#include <QLabel>
#include <QTimer>
#include <QtTest>
#include <linux/serial.h>
#include <sstream>

#include "LineState.h"

namespace {

constexpr std::uint8_t k8n2 = 1;

}  // namespace

class AdapterTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void cleanup()
    {
        adapter::Reset();
        fx.End();
    }

    void aRateWithinTwoPercentIsThatRate_data()
    {
        QTest::addColumn<unsigned>("asked");
        QTest::addColumn<unsigned>("readBack");
        QTest::addColumn<bool>("taken");
        QTest::newRow("CP2102N at 115200") << 115200u << 115384u << true;
        QTest::newRow("CP2102N at 57600") << 57600u << 57553u << true;
        QTest::newRow("CP2102N at 14400") << 14400u << 14397u << true;
        QTest::newRow("exact") << 9600u << 9600u << true;
        QTest::newRow("2 % above") << 9600u << 9792u << true;
        QTest::newRow("just over 2 % above") << 9600u << 9793u << false;
        QTest::newRow("2 % below") << 2400u << 2352u << true;
        QTest::newRow("just over 2 % below") << 2400u << 2351u << false;
        QTest::newRow("4 % off") << 115200u << 120000u << false;
        QTest::newRow("nothing") << 9600u << 0u << false;
    }

    void aRateWithinTwoPercentIsThatRate()
    {
        QFETCH(unsigned, asked);
        QFETCH(unsigned, readBack);
        QTEST(serial::RateTaken(asked, readBack), "taken");
    }

    void anAdapterReportingItsChipsRateOpensAndTalks_data()
    {
        QTest::addColumn<int>("rateCode");
        QTest::addColumn<int>("rateIndex");
        QTest::addColumn<unsigned>("reported");
        QTest::newRow("115200") << 9 << 7 << 115384u;
        QTest::newRow("57600") << 7 << 6 << 57553u;
        QTest::newRow("14400") << 3 << 3 << 14397u;
    }

    void anAdapterReportingItsChipsRateOpensAndTalks()
    {
        QFETCH(int, rateCode);
        QFETCH(int, rateIndex);
        QFETCH(unsigned, reported);
        fx.Begin({1, k8n2, std::uint8_t(rateCode)});
        adapter::ReportRate(kPortRates[rateIndex], reported);
        QCOMPARE(Link.OpenPort(0, k8n2, std::uint8_t(rateIndex)), 1);
        for (int round = 0; round < 2; ++round)
            QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
        QCOMPARE(Link.Line().baud, kPortRates[rateIndex]);  // the rate asked for is the one timed by
    }

    void aRateTooFarOffIsRefusedNamingBoth()
    {
        fx.Begin({1, k8n2, 9});
        adapter::ReportRate(115200, 120000);
        QCOMPARE(Link.OpenPort(0, k8n2, 7), -1);
        QVERIFY(Link.LastOpenRefusedLine());
        QCOMPARE(int(Settings.portOpen), 0);
        QCOMPARE(PortOpenFailure(), QStringLiteral("Cannot open COM 1 (%1): The port runs at 120000 baud when asked for 115200")
                                        .arg(QString::fromStdString(fx.display->DevicePath())));
        // The same port opens at a rate it runs at.
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
    }

    void theSearchSkipsARefusedLineGoesOnAndNamesIt()
    {
        // Address 5 at 9600 8n2 behind an adapter that cannot run at 38400.
        fx.Begin({5, k8n2, 2});
        fx.display->InjectFault({sim::FaultKind::Silent, 0, true});
        adapter::ReportRate(38400, 40000);
        const SerialLine at38400_8n2 {k8n2, 5}, at38400_8n1 {0, 5}, at9600 {k8n2, 2};
        const std::vector<ProbeTarget> order {{1, at38400_8n2}, {1, at9600}, {5, at38400_8n1},
                                              {2, at38400_8n2}, {5, at9600}};
        DisplaySearch search(0, order);
        QVERIFY(search.Open());  // at 9600, past the refused line
        std::vector<DisplaySearch::Step> steps;
        do
            steps.push_back(search.Next());
        while (!DisplaySearch::Ends(steps.back()));
        QCOMPARE(steps.back(), DisplaySearch::Step::Finished);
        QCOMPARE(search.SkippedLines().size(), std::size_t(2));
        QVERIFY(search.SkippedLines()[0] == at38400_8n2);
        QVERIFY(search.SkippedLines()[1] == at38400_8n1);
        QCOMPARE(fx.display->Frames().size(), std::size_t(2));  // both probes at 9600, none lost

        // The window says at the end which lines were not searched.
        QTimer whenDone;
        QObject::connect(&whenDone, &QTimer::timeout, [&] {
            if (FormFindDisplay->findChild<QToolButton*>(QStringLiteral("ButtonCancel"))->text()
                == QStringLiteral("Close"))
                FormFindDisplay->close();
        });
        whenDone.start(20);
        FormFindDisplay->Find(0, order);
        whenDone.stop();
        QCOMPARE(FormFindDisplay->findChild<QLabel*>(QStringLiteral("LabelTrying"))->text(),
                 QStringLiteral("No display answered on COM 1. The port does not run at 38400 8n2, 38400 8n1: "
                                "not searched."));
        QVERIFY(fx.messages->shown.isEmpty());
    }

    void aSignalDuringTheDrainLosesNoPort()
    {
        // RTS is dropped by hand once the request has drained; a signal that
        // interrupts the drain is no lost adapter.
        fx.Begin();
        adapter::HaveModemLines();
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
        adapter::InterruptNextDrain();
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        QVERIFY(!Link.PortLost());
        QCOMPARE(adapter::RtsRaised(), 1);
    }

    void aStuckAdapterEndsTheExchangeNamingIt()
    {
        // The adapter takes the request and never sends it: the drain ends
        // at the frame's wire time and a margin, and the port is given up
        // with the adapter named, so no window hangs on it.
        fx.Begin();
        adapter::HaveModemLines();
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
        adapter::StickOutput();
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::PortLost);
        QCOMPARE(PortLostMessage(),
                 QStringLiteral("COM 1 (%1) was lost: The adapter did not send the request within its time on the "
                                "line and a margin (it is stuck, or its flow control holds it)")
                     .arg(QString::fromStdString(fx.display->DevicePath())));
    }

    void lowLatencyIsAskedForAndPutBack_data()
    {
        QTest::addColumn<int>("found");
        QTest::addColumn<bool>("takes");
        QTest::addColumn<int>("whileOpen");
        QTest::addColumn<QString>("note");
        QTest::addColumn<int>("sets");
        QTest::newRow("taken") << 0x10 << true << int(0x10 | ASYNC_LOW_LATENCY) << QStringLiteral("low latency on") << 2;
        QTest::newRow("already on") << int(ASYNC_LOW_LATENCY) << true << int(ASYNC_LOW_LATENCY) << QStringLiteral("low latency on")
                                    << 0;
        QTest::newRow("kept by the driver") << 0x10 << false << 0x10 << QStringLiteral("low latency refused by the driver") << 1;
    }

    void lowLatencyIsAskedForAndPutBack()
    {
        // Input handed on at once rather than in 16 ms batches; the next
        // program finds the driver's flags as they were.
        QFETCH(int, found);
        QFETCH(bool, takes);
        fx.Begin();
        adapter::HaveSerialDriver(found, takes);
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
        QTEST(adapter::SerialFlags(), "whileOpen");
        QTEST(QString::fromStdString(Link.PortNote()), "note");
        std::ostringstream trace;
        TraceFrames(Link, trace, [] { return std::string("COM 1"); });
        QVERIFY2(trace.str().find("opened, " + Link.PortNote()) != std::string::npos, trace.str().c_str());
        Link.SetFrameObserver(nullptr);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        QCOMPARE(Link.ClosePort(), 1);
        QCOMPARE(adapter::SerialFlags(), found);
        QTEST(adapter::SerialSets(), "sets");
    }

    void theRs485ModeIsLeftAsFound()
    {
        // The driver's RS-485 mode drives RTS while the tool has the port;
        // the next program finds it as it was, also after a lost port whose
        // device is still there.
        fx.Begin();
        adapter::HaveRs485(SER_RS485_RTS_AFTER_SEND);
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
        QVERIFY(Link.SerialPortOf()->rts == serial::RtsDrive::Driver);
        QCOMPARE(adapter::Rs485Flags(), std::uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        QCOMPARE(Link.ClosePort(), 1);
        QCOMPARE(adapter::Rs485Flags(), std::uint32_t(SER_RS485_RTS_AFTER_SEND));

        const termios found = line_state::SetAnotherProgramsLine(fx.display->DevicePath());
        QCOMPARE(Link.OpenPort(0, k8n2, 2), 1);
        QVERIFY(adapter::Rs485Flags() & SER_RS485_ENABLED);
        adapter::FailPendingCount();
        QCOMPARE(Link.PendingBytes(), 0u);
        QVERIFY(Link.PortLost());
        QCOMPARE(adapter::Rs485Flags(), std::uint32_t(SER_RS485_RTS_AFTER_SEND));
        QVERIFY(line_state::Same(line_state::Read(fx.display->DevicePath()), found));
    }
};

QTEST_MAIN(AdapterTest)
#include "tst_adapter.moc"
