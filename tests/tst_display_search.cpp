// Finding a display whose address and line are not known: the probe's reply
// test on known frames, the order of the search, and the search and its
// window against the simulated display.
#include "NetworkPeers.h"
#include "ProgramLink.h"
#include "SearchWindow.h"
#include "WindowFixture.h"

#include "DisplaySearch.h"
#include "FindDisplay.h"
#include "PortAction.h"
#include "Trace.h"
#include "Uart.h"

#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <QtTest>

#include <set>
#include <sstream>

using sim::FaultKind;

namespace {

std::optional<ProbeAnswer> Find(const QByteArray& hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return FindProbeAnswer(reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
}

constexpr SerialLine k9600_8n2 {1, 2};

// Probes until the search ends, at most `most` steps (a search that stalls
// ends there); the last step.
DisplaySearch::Step RunToEnd(DisplaySearch& search, int most)
{
    DisplaySearch::Step step = DisplaySearch::Step::Probed;
    for (int k = 0; k < most && !DisplaySearch::Ends(step); ++k)
        step = search.Next();
    return step;
}

std::vector<int> FoundAddresses(const DisplaySearch& search)
{
    std::vector<int> addresses;
    for (const FoundDisplay& found : search.Found())
        addresses.push_back(found.address);
    return addresses;
}

// Probes until the search ends or finds a display; the steps taken.
std::vector<DisplaySearch::Step> RunUntilFound(DisplaySearch& search)
{
    std::vector<DisplaySearch::Step> steps;
    for (;;) {
        steps.push_back(search.Next());
        if (steps.back() != DisplaySearch::Step::Probed)
            return steps;
    }
}

}  // namespace

class DisplaySearchTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void cleanup() { fx.End(); }

    void probeRepliesAreFoundAmongReceivedBytes_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("exception");
        QTest::addColumn<int>("end");
        // 01 03 02 C1 00, CRC
        QTest::newRow("read reply") << QByteArray("010302c100e9d4") << 1 << 0 << 7;
        QTest::newRow("after noise") << QByteArray("55aa010302c100e9d4") << 1 << 0 << 9;
        QTest::newRow("exception reply") << QByteArray("0583028130") << 5 << 2 << 5;
        QTest::newRow("exception code 0") << QByteArray("05830000f1") << -1 << 0 << 0;
        // A gateway's own: no display answered at that unit id.
        QTest::newRow("gateway target silent") << QByteArray("05830b4136") << -1 << 0 << 0;
        QTest::newRow("gateway path unavailable") << QByteArray("05830a80f6") << -1 << 0 << 0;
        QTest::newRow("another address") << QByteArray("090302c1000815") << 9 << 0 << 7;
        QTest::newRow("wrong CRC") << QByteArray("010302c100e9d5") << -1 << 0 << 0;
        QTest::newRow("not yet whole") << QByteArray("010302c100e9") << -1 << 0 << 0;
        QTest::newRow("broadcast address") << QByteArray("000302c100d414") << -1 << 0 << 0;
        QTest::newRow("a write's echo") << QByteArray("01100fa00003833e") << -1 << 0 << 0;
        QTest::newRow("two registers") << QByteArray("01030400000000fa33") << -1 << 0 << 0;
    }

    void probeRepliesAreFoundAmongReceivedBytes()
    {
        QFETCH(QByteArray, received);
        QFETCH(int, address);
        const auto answer = Find(received);
        if (address < 0) {
            QVERIFY(!answer);
            return;
        }
        QVERIFY(answer);
        QCOMPARE(int(answer->address), address);
        QTEST(answer->exceptionCode, "exception");
        QTEST(int(answer->end), "end");
    }

    void theSearchTriesTheLikelyPlacesFirstAndEveryPlaceOnce()
    {
        const SerialLine current {3, 0};  // 2400 8o1
        const std::vector<ProbeTarget> order = SearchOrder(current, 200);
        QCOMPARE(order.size(), std::size_t(32 * 247));
        std::set<std::tuple<int, int, int>> seen;
        for (const ProbeTarget& target : order) {
            QVERIFY(target.address >= 1 && target.address <= 247);
            seen.insert({target.address, target.line.modeIndex, target.line.rateIndex});
        }
        QCOMPARE(seen.size(), order.size());

        // Address 1 and the known one at each line, the current line first,
        // then 8n2 at the common rates.
        const std::vector<SerialLine> lines = SearchLines(current);
        QCOMPARE(lines.size(), std::size_t(32));
        QVERIFY(lines[0] == current);
        QCOMPARE(DescribeLine(lines[1]), std::string("9600 8n2"));
        QCOMPARE(DescribeLine(lines[2]), std::string("19200 8n2"));
        QCOMPARE(DescribeLine(lines[3]), std::string("38400 8n2"));
        QCOMPARE(DescribeLine(lines[4]), std::string("115200 8n2"));
        for (std::size_t k = 0; k < 64; ++k) {
            QCOMPARE(int(order[k].address), k % 2 ? 200 : 1);
            QVERIFY(order[k].line == lines[k / 2]);
        }
        // Then every other address at the current line, then line by line.
        QCOMPARE(int(order[64].address), 2);
        QVERIFY(order[64].line == current);
        QVERIFY(order[64 + 244].line == current);
        QCOMPARE(int(order[64 + 245].address), 2);
        QVERIFY(order[64 + 245].line == lines[1]);
    }

    void aDisplayIsFoundAtItsAddressAndLine()
    {
        fx.Begin({5, 3, 6});  // address 5 at 38400 8o1
        // The likely places alone (1 and 5 at every line): a display missed
        // there ends the test, not a search of every address.
        std::vector<ProbeTarget> likely = SearchOrder(k9600_8n2, 5);
        likely.resize(2 * SearchLines(k9600_8n2).size());
        DisplaySearch search(0, likely);
        QVERIFY(search.Open());
        const auto steps = RunUntilFound(search);
        QCOMPARE(steps.back(), DisplaySearch::Step::Found);
        QCOMPARE(search.Found().size(), std::size_t(1));
        QCOMPARE(int(search.Found()[0].address), 5);
        QCOMPARE(DescribeLine(search.Found()[0].line), std::string("38400 8o1"));
        QCOMPARE(search.Found()[0].exceptionCode, 0);
        QVERIFY(search.Tried() <= 64);

        // Nothing was written to the display, and its address is not tried again.
        for (const auto& frame : fx.display->Frames())
            QCOMPARE(int(frame.bytes[1]), 3);
        const std::optional<ProbeTarget> next = search.Upcoming();
        QVERIFY(next && next->address != 5);
    }

    void aRefusedProbeOrAnotherAddressStillNamesWhoAnswered_data()
    {
        QTest::addColumn<FaultKind>("fault");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("exception");
        QTest::newRow("exception") << FaultKind::Exception << 2 << 1 << 2;
        QTest::newRow("another slave") << FaultKind::OtherAddress << 9 << 9 << 0;
        // Later than the turnaround: it comes before the next probe goes
        // out, and still names its sender, not the address that probe asks.
        QTest::newRow("late reply") << FaultKind::Late << 90 << 1 << 0;
    }

    void aRefusedProbeOrAnotherAddressStillNamesWhoAnswered()
    {
        QFETCH(FaultKind, fault);
        QFETCH(int, value);
        fx.Begin();
        fx.display->InjectFault({fault, value});
        DisplaySearch search(0, {{1, k9600_8n2}, {2, k9600_8n2}, {3, k9600_8n2}});
        QVERIFY(search.Open());
        RunUntilFound(search);
        QCOMPARE(search.Found().size(), std::size_t(1));
        QTEST(int(search.Found()[0].address), "address");
        QTEST(search.Found()[0].exceptionCode, "exception");
    }

    void aLateAnswerAndTheNextProbesOwnAreBothListed()
    {
        // The display at 1 answers its probe late, inside the wait of the
        // probe of 2, which the display at 2 answers behind it (the line's
        // timing not kept, so the two do not collide). Each is listed at a
        // step of its own, and 2 is probed once.
        sim::SimDisplay::Options options;
        options.moreAddresses = {2};
        options.strict = false;
        fx.Begin(options);
        fx.display->InjectFault({FaultKind::Late, 90});
        DisplaySearch search(0, {{1, k9600_8n2}, {2, k9600_8n2}});
        QVERIFY(search.Open());
        QCOMPARE(search.Next(), DisplaySearch::Step::Probed);
        QCOMPARE(search.Next(), DisplaySearch::Step::Found);
        QCOMPARE(search.Next(), DisplaySearch::Step::Found);
        QCOMPARE(search.Next(), DisplaySearch::Step::Finished);
        QCOMPARE(FoundAddresses(search), (std::vector<int> {1, 2}));
        QCOMPARE(fx.display->Frames().size(), std::size_t(2));
        QVERIFY(search.EndNotes().empty());
    }

    void aSilentPortEndsWithNothingFoundAndTheLinkFree()
    {
        fx.Begin();
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        DisplaySearch search(0, {{1, k9600_8n2}, {1, {0, 2}}, {2, k9600_8n2}});
        QVERIFY(search.Open());
        QCOMPARE(RunUntilFound(search).back(), DisplaySearch::Step::Finished);
        QVERIFY(search.Found().empty());
        QCOMPARE(search.Tried(), std::size_t(3));
        QCOMPARE(fx.display->Frames().size(), std::size_t(3));
        // The port is free for the program's link again.
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
    }

    void theWindowFindsTheDisplayAndTheFieldsTakeIt()
    {
        // The display at address 7 at the current line, the address forgotten:
        // found once the likely places have been tried.
        fx.Begin({7, 1, 2});
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);  // held by the program's link until the search
        FromConnectionWindow(
            [] {
                QTRY_COMPARE_WITH_TIMEOUT(FoundList()->count(), 1, 10000);
                QCOMPARE(FoundList()->item(0)->text(), QStringLiteral("Address 7 at 9600 8n2"));
                QVERIFY(Button(FormFindDisplay, "ButtonUse")->isEnabled());
                Button(FormFindDisplay, "ButtonUse")->click();
            },
            [] {
                QCOMPARE(LineEdit(Form2, "Edit1")->text(), QStringLiteral("7"));
                QCOMPARE(Combo(Form2, "ComboBox3")->currentText(), QStringLiteral("9600"));
                QCOMPARE(int(Settings.displayAddress), 1);  // not applied yet
                Button(Form2, "SpeedButton1")->click();
            });
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(int(Settings.displayAddress), 7);
        QVERIFY(TryOpenPort(OpenWhen::IfClosed));
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
    }

    void theWindowTriesTheTypedAddressAtEveryLineFirst()
    {
        fx.Begin({7, 3, 6});  // 38400 8o1
        Settings.displayAddress = 7;  // the window shows it: the address is known, the line not
        FromConnectionWindow(
            [] {
                QTRY_COMPARE_WITH_TIMEOUT(FoundList()->count(), 1, 10000);
                Button(FormFindDisplay, "ButtonUse")->click();
            },
            [] {
                QCOMPARE(Combo(Form2, "ComboBox2")->currentText(), QStringLiteral("8o1"));
                QCOMPARE(Combo(Form2, "ComboBox3")->currentText(), QStringLiteral("38400"));
                Button(Form2, "SpeedButton1")->click();
            });
        QCOMPARE(int(Settings.modeIndex), 3);
        QCOMPARE(int(Settings.rateIndex), 5);
        QVERIFY(fx.display->Frames().size() <= 64);
    }

    void cancelStopsTheSearchAndChangesNothing()
    {
        fx.Begin();
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        std::size_t probes = 0;
        FromConnectionWindow(
            [&] {
                QVERIFY(fx.display->WaitForFrames(3, 2000));
                Button(FormFindDisplay, "ButtonCancel")->click();
                probes = fx.display->Frames().size();
            },
            [&] {
                // No probe after the cancel has returned.
                QTest::qWait(200);
                QCOMPARE(fx.display->Frames().size(), probes);
                QCOMPARE(LineEdit(Form2, "Edit1")->text(), QStringLiteral("1"));
                QCOMPARE(Combo(Form2, "ComboBox3")->currentText(), QStringLiteral("9600"));
                Button(Form2, "SpeedButton1")->click();
            });
        QVERIFY(fx.messages->shown.isEmpty());
        QCOMPARE(int(Settings.rateIndex), 2);
    }

    void aSlowDisplayOnAHalfDuplexBusIsFound_data()
    {
        QTest::addColumn<int>("rateCode");
        QTest::addColumn<QString>("found");
        QTest::newRow("9600") << 2 << QStringLiteral("Address 1 at 9600 8n2");
        QTest::newRow("2400") << 0 << QStringLiteral("Address 1 at 2400 8n2");
    }

    void aSlowDisplayOnAHalfDuplexBusIsFound()
    {
        // It answers 40 ms after the 3.5 silent characters, and a probe that
        // went out meanwhile would collide with its reply.
        QFETCH(int, rateCode);
        sim::SimDisplay::Options options;
        options.rateCode = std::uint8_t(rateCode);
        options.halfDuplex = true;
        options.replyDelayMs = 40;
        fx.Begin(options);
        FromConnectionWindow(
            [] {
                QTRY_COMPARE_WITH_TIMEOUT(FoundList()->count(), 1, 20000);
                Button(FormFindDisplay, "ButtonCancel")->click();
            },
            [] { Button(Form2, "SpeedButton1")->click(); });
        QTEST(FoundList()->item(0)->text(), "found");
        for (const sim::ReceivedFrame& frame : fx.display->Frames())
            QVERIFY2(!frame.lineMatched || frame.spoiled.empty(), frame.spoiled.c_str());
    }

    void theProbesReachTheFrameTrace()
    {
        fx.Begin({7, 1, 2});
        std::ostringstream trace;
        TraceFramesTo(trace);
        FromConnectionWindow(
            [] {
                QTRY_COMPARE_WITH_TIMEOUT(FoundList()->count(), 1, 10000);
                Button(FormFindDisplay, "ButtonCancel")->click();
            },
            [] { Button(Form2, "SpeedButton1")->click(); });
        Link.SetFrameObserver(nullptr);
        const QString lines = QString::fromStdString(trace.str());
        const QString where = QStringLiteral(" COM 1 (%1) 9600 8n2  ").arg(QString::fromStdString(fx.display->DevicePath()));
        QVERIFY2(lines.contains(QStringLiteral(" ->") + where + QStringLiteral("01 03 0F BD 00 01")), qPrintable(lines));
        QVERIFY2(lines.contains(QStringLiteral("answered from address 7")), qPrintable(lines));
    }

    void aGatewayThatRetriesSilentAddressesHidesNobody()
    {
        // It answers a silent unit id only after 2.4 s of retries, with
        // exception 11, and takes the next request only then: the displays
        // behind the silent address are found all the same.
        RetryingGateway gateway({1, 3, 7}, 2400);
        QVERIFY(gateway.Ready());
        DisplaySearch search(gateway.Path(), {{1, k9600_8n2}, {2, k9600_8n2}, {3, k9600_8n2}, {7, k9600_8n2}});
        QVERIFY(search.Open());
        QCOMPARE(RunToEnd(search, 10), DisplaySearch::Step::Finished);
        QCOMPARE(FoundAddresses(search), (std::vector<int> {1, 3, 7}));
        QCOMPARE(gateway.SilentAnswers(), 1);
        // The end says why the search was slow, and what to do about it.
        const std::vector<std::string> notes = search.EndNotes();
        QCOMPARE(notes.size(), std::size_t(1));
        QVERIFY2(QRegularExpression(QStringLiteral("^the gateway took \\d+\\.\\d s over silent addresses; set its "
                                                   "retries to 0 for a faster search$"))
                     .match(QString::fromStdString(notes[0]))
                     .hasMatch(),
                 notes[0].c_str());
    }

    void anotherMasterOnTheLineNeitherStallsTheSearchNorIsListed()
    {
        // It reads one register of the slave at 9 every 15 ms; its requests
        // and the slave's replies come between the probes and inside their
        // waits. Every probe moves the search on, and the end names them.
        LineWithAnotherMaster line({3}, 9, 15);
        QVERIFY(line.Ready());
        std::vector<ProbeTarget> order;
        for (std::uint8_t address = 1; address <= 6; ++address)
            order.push_back({address, k9600_8n2});
        DisplaySearch search(line.DevicePath(), order);
        QVERIFY(search.Open());
        QCOMPARE(RunToEnd(search, 2 * int(order.size())), DisplaySearch::Step::Finished);
        QCOMPARE(search.Tried(), order.size());
        QCOMPARE(FoundAddresses(search), std::vector<int> {3});
        QVERIFY(search.ForeignFrames() > 0);
        const std::vector<std::string> notes = search.EndNotes();
        QCOMPARE(notes.size(), std::size_t(1));
        QVERIFY2(notes[0].rfind("another master is talking on this line (", 0) == 0, notes[0].c_str());
    }

    void aPortThatCannotOpenIsNamedBeforeTheSearch()
    {
        fx.Begin();
        setenv("VT_COM1", "/dev/vt-absent", 1);
        QVERIFY(!FromConnectionWindow([] {}, [] {}));
        QCOMPARE(fx.messages->LastText(), QStringLiteral("Cannot open COM 1 (/dev/vt-absent): No such device"));
    }

    void aPortLostDuringTheSearchEndsIt()
    {
        fx.Begin();
        fx.display->InjectFault({FaultKind::Silent, 0, true});
        FromConnectionWindow(
            [this] {
                QVERIFY(fx.display->WaitForFrames(2, 2000));
                fx.display.reset();  // the adapter pulled out
                QTRY_COMPARE_WITH_TIMEOUT(fx.messages->shown.size(), 1, 5000);
                QVERIFY2(fx.messages->LastText().contains(QStringLiteral(" was lost: ")),
                         qPrintable(fx.messages->LastText()));
                QCOMPARE(Button(FormFindDisplay, "ButtonCancel")->text(), QStringLiteral("Close"));
            },
            [] {});
    }
};

QTEST_MAIN(DisplaySearchTest)
#include "tst_display_search.moc"
