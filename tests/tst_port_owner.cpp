// One owner of the port at a time: the clock's synchronisation that comes due
// while a search or another window's action holds the port waits for it to
// end, then writes; it is neither dropped nor put between two frames.
#include "ProgramLink.h"
#include "SearchWindow.h"
#include "WindowFixture.h"

#include "Czas.h"
#include "FindDisplay.h"
#include "PortAction.h"
#include "Uart.h"
#include "Urzadzenia.h"

#include <QTimer>
#include <QtTest>

namespace {

constexpr std::uint16_t kClockFirst = Blocks::Clock.first;

bool WritesTo(const sim::ReceivedFrame& frame, std::uint16_t first)
{
    return frame.bytes.size() > 4 && frame.bytes[1] == 16 && (frame.bytes[2] << 8 | frame.bytes[3]) == first;
}

bool ClockWritten(const std::vector<sim::ReceivedFrame>& frames)
{
    for (const sim::ReceivedFrame& frame : frames)
        if (WritesTo(frame, kClockFirst))
            return true;
    return false;
}

}  // namespace

class PortOwnerTest : public QObject {
    Q_OBJECT
    WindowFixture fx;

private slots:
    void init() { fx.Begin(); }
    void cleanup()
    {
        Form5->Timer1->stop();
        fx.End();
    }

    void aSynchronisationDueDuringASearchWritesAfterIt()
    {
        fx.display->InjectFault({sim::FaultKind::Silent, 0, true});  // the search goes on
        bool ranDuringSearch = false;
        FromConnectionWindow(
            [&] {
                QVERIFY(PortOwned());
                Form5->Timer1->start(0);  // comes due now
                QVERIFY(fx.display->WaitForFrames(3, 5000));
                QTRY_VERIFY(!Form5->Timer1->isActive());
                ranDuringSearch = true;
                QVERIFY(fx.messages->shown.isEmpty());  // no "port in use" over the search
                QVERIFY(!ClockWritten(fx.display->Frames()));
                fx.display->ClearFaults();
                Button(FormFindDisplay, "ButtonCancel")->click();
            },
            [] {});
        QVERIFY(ranDuringSearch);
        QTRY_VERIFY_WITH_TIMEOUT(ClockWritten(fx.display->Frames()), 5000);
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        QVERIFY(!PortOwned());
    }

    void aSynchronisationDueDuringAnotherWindowsWriteFollowsItsLastFrame()
    {
        Image.Set(Blocks::DeviceLine.first, 10);  // a valid reply time-out to write
        Form8->show();
        // Due at the first moment the event loop runs: between the two
        // frames of the write, where the window lets events through.
        Form5->Timer1->start(0);
        Button(Form8, "SpeedButton2")->click();
        QTRY_COMPARE_WITH_TIMEOUT(fx.display->Frames().size(), std::size_t(3), 5000);
        const auto frames = fx.TakeFrames();
        QVERIFY(WritesTo(frames[0], Blocks::DeviceLine.first));
        QVERIFY(WritesTo(frames[1], Blocks::DeviceTable.first));
        QVERIFY(WritesTo(frames[2], kClockFirst));
        QVERIFY2(fx.messages->shown.isEmpty(), qPrintable(fx.messages->LastText()));
        Form8->hide();
    }

    void workForAFreePortRunsAtOnceAndInOrder()
    {
        std::vector<int> ran;
        WhenPortFree([&] { ran.push_back(1); });
        QCOMPARE(ran.size(), std::size_t(1));
        {
            PortOwner owner;
            WhenPortFree([&] { ran.push_back(2); });
            WhenPortFree([&] { ran.push_back(3); });
            QCOMPARE(ran.size(), std::size_t(1));
        }
        QTRY_COMPARE(ran.size(), std::size_t(3));
        QCOMPARE(ran[1], 2);
        QCOMPARE(ran[2], 3);
    }
};

QTEST_MAIN(PortOwnerTest)
#include "tst_port_owner.moc"
