// The link against the simulated display on a real pseudo-terminal: the port's
// states, the reply classes, the image, and the reply wait.
#include "SimFixture.h"

#include <QElapsedTimer>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using sim::Fault;
using sim::FaultKind;

namespace {

constexpr std::uint8_t k8n2 = 1, k9600 = 2;

// Sends a read and waits for its reply; returns the expected length.
int Read(std::uint16_t start, std::uint16_t quantity, std::uint8_t typeCode = 3, unsigned pauseMs = 500)
{
    int expected = ExpectedResponseLength(quantity, typeCode);
    Link.SendFrame(Link.BuildReadRequest(Settings.displayAddress, start, quantity));
    Link.WaitForReply(pauseMs, expected);
    return expected;
}

}  // namespace

class LinkTest : public QObject {
    Q_OBJECT
    SimFixture sim;

private slots:
    void init() { sim.Start(); }
    void cleanup() { sim.Stop(); }

    // ---- the port's states

    void openingSetsTheLineAndTheSettings()
    {
        QCOMPARE(Link.OpenPort(0, 3, 5), 1);  // 8o1 at 38400
        QCOMPARE(int(Settings.portOpen), 1);
        QCOMPARE(int(Link.openFlag), 1);
        QCOMPARE(int(Settings.modeIndex), 3);
        QCOMPARE(int(Settings.rateIndex), 5);
        Link.SendFrame(Link.BuildReadRequest(1, 4006, 1));
        QVERIFY(sim.display->WaitForFrames(1, 2000));
        sim::LineSnapshot line = sim.display->Frames()[0].line;
        QCOMPARE(line.baud, 38400u);
        QVERIFY(line.oddParity);
        QVERIFY(!line.twoStopBits);

        // Opening again closes first and takes the second call's line.
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QCOMPARE(int(Settings.modeIndex), 1);
        sim.display->ClearFrames();
        Link.SendFrame(Link.BuildReadRequest(1, 4006, 1));
        QVERIFY(sim.display->WaitForFrames(1, 2000));
        line = sim.display->Frames()[0].line;
        QCOMPARE(line.baud, 9600u);
        QVERIFY(line.twoStopBits);
        QVERIFY(!line.oddParity);
    }

    void aMissingPortChangesNothing()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        setenv("VT_COM3", "/dev/vt-no-such-port", 1);
        QCOMPARE(Link.OpenPort(2, 0, 7), -1);
        unsetenv("VT_COM3");
        QCOMPARE(int(Settings.portOpen), 0);
        QCOMPARE(int(Link.openFlag), 0);
        QCOMPARE(int(Settings.portIndex), 0);  // as last opened
        QCOMPARE(int(Settings.modeIndex), 1);
        QCOMPARE(int(Settings.rateIndex), 2);
        QCOMPARE(Link.LastOpenDevice(), std::string("/dev/vt-no-such-port"));
        QCOMPARE(serial::ErrorText(Link.LastOpenError()), std::string("No such device"));
        QCOMPARE(Link.ClosePort(), 0);  // after a failed open
    }

    void indicesOutsideTheTablesAreRefused()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QCOMPARE(Link.OpenPort(8, k8n2, k9600), -1);
        QCOMPARE(Link.OpenPort(0, 4, k9600), -1);
        QCOMPARE(Link.OpenPort(0, k8n2, 8), -1);
        QCOMPARE(int(Settings.portOpen), 1);  // the open port was left alone
        QCOMPARE(Link.SendFrame(Link.BuildReadRequest(1, 4006, 1)), 8u);
    }

    void closingFollowsTheStateTable()
    {
        QCOMPARE(Link.ClosePort(), 0);  // never opened
        QCOMPARE(Link.SendFrame(Link.BuildReadRequest(1, 4006, 1)), 0u);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QCOMPARE(Link.ClosePort(), 1);
        QCOMPARE(int(Settings.portOpen), 0);
        QCOMPARE(Link.ClosePort(), 1);  // the handle is kept, nothing is closed twice
        QCOMPARE(Link.SendFrame(8), 0u);
        QVERIFY(!sim.display->WaitForFrames(1, 100));
    }

    void aPortLockedByAnotherProcessDoesNotOpen()
    {
        int ready[2];
        QCOMPARE(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            int fd = open(sim.display->DevicePath().c_str(), O_RDWR | O_NOCTTY);
            flock(fd, LOCK_EX);
            char ok = 1;
            (void)!write(ready[1], &ok, 1);
            pause();
            _exit(0);
        }
        char ok = 0;
        QCOMPARE(read(ready[0], &ok, 1), ssize_t(1));
        int result = Link.OpenPort(0, k8n2, k9600);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        QCOMPARE(result, -1);
        QCOMPARE(serial::ErrorText(Link.LastOpenError()), std::string("The port is in use by another program"));
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);  // free again
    }

    void nothingPendingLeavesTheReceiveBuffer()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Link.receiveBuffer[0] = 0xAB;
        QCOMPARE(Link.ReceiveFrame(), 0u);
        QCOMPARE(Link.receiveBuffer[0], std::uint8_t(0xAB));
    }

    // ---- replies

    void aSoundReplyIsStored()
    {
        for (unsigned k = 0; k < 16; ++k)
            sim.display->SetRegister(4006 + k, 100 + k);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        int expected = Read(4006, 16);
        QCOMPARE(Link.PendingBytes(), 37u);
        QCOMPARE(Link.CheckResponse(1), 3);
        QCOMPARE(Link.StoreResponse(4006, expected), 1);
        QCOMPARE(Image.Get(4006), 100u);
        QCOMPARE(Image.Get(4021), 115u);
        QCOMPARE(Image.Get(4022), 0u);
    }

    void wideValuesKeepTheirBits()
    {
        sim.display->SetRegister(7610, 0x3F800000);
        sim.display->SetRegisterFloat(7617, -0.1f);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        int expected = Read(7610, 8, 6);
        QCOMPARE(expected, 36);
        QCOMPARE(Link.CheckResponse(1), 3);
        QCOMPARE(Link.StoreResponse(7610, expected), 1);
        QCOMPARE(Image.Get(7610), 0x3F800000u);
        QCOMPARE(Image.GetFloat(7610), 1.0f);
        QCOMPARE(Image.GetFloat(7617), -0.1f);
    }

    void faultyRepliesAreClassified()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);

        sim.display->InjectFault({FaultKind::Exception, 2});
        Read(4006, 16);
        QCOMPARE(Link.PendingBytes(), 5u);
        QCOMPARE(Link.CheckResponse(1), -2);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(Link.receiveBuffer), 5), QByteArray::fromHex("018302C0F1"));

        sim.display->InjectFault({FaultKind::OtherAddress, 9});
        Read(4006, 2);
        QCOMPARE(Link.CheckResponse(1), 0);  // its CRC is right, its address is not

        sim.display->InjectFault({FaultKind::BadCrc});
        Image.Set(4006, 77);
        int expected = Read(4006, 2);
        QCOMPARE(Link.CheckResponse(1), 0);
        QCOMPARE(Link.StoreResponse(4006, expected), -1);
        QCOMPARE(Image.Get(4006), 77u);

        sim.display->InjectFault({FaultKind::Truncate, 2});
        Read(4006, 2);
        QCOMPARE(Link.CheckResponse(1), 0);  // fewer than 3 bytes
        QCOMPARE(Link.StoreResponse(4006, expected), -1);  // its last index lies past what came
    }

    void twoJoinedRepliesFailTheCrc()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        sim.display->InjectFault({FaultKind::TwoReplies});
        Link.SendFrame(Link.BuildReadRequest(1, 4006, 8));
        QCOMPARE(Link.WaitForReply(1000, 41), 42u);  // both 21-byte replies
        QCOMPARE(Link.CheckResponse(1), 0);
        // The expected length of 16 registers finds no CRC where it looks.
        QCOMPARE(Link.StoreResponse(4006, ExpectedResponseLength(16, 3)), -1);
    }

    void anUnreadAcknowledgementComesAheadOfTheNextReply()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Image.Set(4025, 50);
        Link.SendFrame(Link.BuildWriteRequest16(1, 4025, 1, 3));
        QCOMPARE(Link.WaitForReply(500, 7), 8u);
        Read(4025, 1);
        QCOMPARE(Link.PendingBytes(), 15u);
        QCOMPARE(Link.CheckResponse(1), 0);
    }

    void repliesAreStoredInsideTheirBlockOnly()
    {
        for (unsigned k = 0; k < 16; ++k)
            sim.display->SetRegister(4006 + k, 1 + k);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        int expected = Read(4006, 16);
        QCOMPARE(Link.CheckResponse(1), 3);
        QCOMPARE(Link.StoreResponse(4030, expected), 1);  // ten fit, six fall past 4039
        QCOMPARE(Image.Get(4039), 10u);
        QCOMPARE(Image.Get(4300), 0u);
        QCOMPARE(Link.StoreResponse(3990, expected), 1);  // no slots below 4000
        QCOMPARE(Image.Get(4000), 0u);
        QCOMPARE(Link.StoreResponse(4345, expected), 1);
        QCOMPARE(Image.Get(4349), 5u);
        QCOMPARE(Image.Get(7500), 0u);
    }

    void receivingTakesAtMostOneBuffer()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        sim.display->InjectFault({FaultKind::Prefix, 250});
        // 250 bytes of noise and a 105-byte reply
        Link.SendFrame(Link.BuildReadRequest(1, 4300, 50));
        QCOMPARE(Link.WaitForReply(1000, 354), 355u);
        QCOMPARE(Link.ReceiveFrame(), 300u);
        QCOMPARE(Link.PendingBytes(), 55u);
        QCOMPARE(Link.ReceiveFrame(), 55u);
    }

    // ---- the reply wait

    void theWaitEndsWithTheReply()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QElapsedTimer clock;
        clock.start();
        Read(4006, 4, 3, 3000);
        QVERIFY2(clock.elapsed() < 1500, "the wait ran on after the reply was complete");
        QCOMPARE(Link.ReceiveFrame(), 13u);

        sim.display->InjectFault({FaultKind::Exception, 2});
        clock.restart();
        Read(4006, 4, 3, 3000);
        QVERIFY2(clock.elapsed() < 1500, "an exception reply did not end the wait");
        QCOMPARE(Link.CheckResponse(1), -2);
    }

    void theWaitTimesOutWhenTheDisplayIsSilent()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        sim.display->InjectFault({FaultKind::Silent});
        QElapsedTimer clock;
        clock.start();
        Read(4006, 4, 3, 300);
        QVERIFY(clock.elapsed() >= 300);
        QCOMPARE(Link.PendingBytes(), 0u);

        // A reply that is late, but inside the pause, is still caught whole.
        sim.display->InjectFault({FaultKind::Late, 150});
        Read(4006, 4, 3, 300);
        QCOMPARE(Link.PendingBytes(), 13u);
    }

    void theDeviceTableArrivesAt2400Baud()
    {
        sim.Stop();
        sim::SimDisplay::Options options;
        options.rateCode = 0;
        sim.Start(options);
        sim.display->SetRegister(4349, 4242);
        QCOMPARE(Link.OpenPort(0, k8n2, 0), 1);
        // The 105-byte reply takes over 450 ms on the wire, longer than the pause.
        int expected = Read(4300, 50, 3, 300);
        QCOMPARE(Link.PendingBytes(), 105u);
        QCOMPARE(Link.CheckResponse(1), 3);
        QCOMPARE(Link.StoreResponse(4300, expected), 1);
        QCOMPARE(Image.Get(4349), 4242u);
    }

    void aFrameAtAnotherLineIsIgnored()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, 4), 1);  // 19200 against a display at 9600
        Read(4006, 4, 3, 200);
        QCOMPARE(Link.PendingBytes(), 0u);
        QCOMPARE(sim.display->Frames().size(), std::size_t(1));
        QVERIFY(!sim.display->Frames()[0].lineMatched);

        QCOMPARE(Link.OpenPort(0, 3, k9600), 1);  // 8o1 against 8n2
        Read(4006, 4, 3, 200);
        QCOMPARE(Link.PendingBytes(), 0u);
    }
};

QTEST_GUILESS_MAIN(LinkTest)
#include "tst_link.moc"
