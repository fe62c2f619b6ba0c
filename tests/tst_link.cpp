// The link against the simulated display on a real pseudo-terminal: the port's
// states, the reply classes, the image, the reply wait, and exchanges that
// stay sound after a faulty one.
#include "LineState.h"
#include "ProgramLink.h"
#include "SimFixture.h"

#include "DisplaySearch.h"
#include "PortMessages.h"

#include <QElapsedTimer>
#include <csignal>
#include <sstream>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
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

// Runs `body` in a child process and returns its exit code (or 128 + signal).
template <typename Body>
int InChild(Body body)
{
    pid_t child = fork();
    if (child == 0) {
        std::signal(SIGTERM, SIG_DFL);  // not the test library's stack-trace handler
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Sixteen distinct values in the row block of the display.
void SetRows(sim::SimDisplay& display, std::uint32_t base)
{
    for (unsigned k = 0; k < Blocks::Rows.quantity; ++k)
        display.SetRegister(Blocks::Rows.first + k, base + k);
}

bool ImageHoldsRows(std::uint32_t base)
{
    for (unsigned k = 0; k < Blocks::Rows.quantity; ++k)
        if (Image.Get(Blocks::Rows.first + k) != base + k)
            return false;
    return true;
}

}  // namespace

Q_DECLARE_METATYPE(ReadResult)
Q_DECLARE_METATYPE(WriteResult)
Q_DECLARE_METATYPE(Rejection)

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
        QVERIFY(Link.IsOpen());
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
        QVERIFY(!Link.IsOpen());
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
            std::signal(SIGTERM, SIG_DFL);
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

    void anOrdinaryUserCanReopenThePort()
    {
        // Root passes the exclusive mode a closed port must not leave behind:
        // the reopening is tried as nobody.
        const passwd* nobody = getpwnam("nobody");
        QVERIFY(nobody);
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        int code = InChild([&] {
            if (getuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
                return 2;
            if (geteuid() == 0)
                return 3;
            sim::SimDisplay display;
            if (!display.Start())
                return 4;
            setenv("VT_COM1", display.DevicePath().c_str(), 1);
            ResetLink();
            for (int round = 0; round < 3; ++round) {
                if (Link.OpenPort(0, k8n2, k9600) != 1)
                    return 10 + round;
                if (Link.ReadBlock(Blocks::Brightness, 500) != ReadResult::Stored)
                    return 20 + round;
                if (Link.ClosePort() != 1)
                    return 30 + round;
            }
            return 0;
        });
        QCOMPARE(code, 0);
    }

    void aRefusedPermissionNamesTheDevicesGroup_data()
    {
        QTest::addColumn<QString>("groupName");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("expected");
        // As a serial adapter belongs to dialout: joining the group helps.
        QTest::newRow("the group may use it")
            << "dialout" << 0660
            << "Permission denied: the device belongs to the group dialout, which this user is not in "
               "(sudo usermod -aG dialout $USER, then log in again)";
        // Joining the group would not help, and joining root must never be advised.
        const QString ownerOnly = QStringLiteral(
            "Permission denied: the device is open to its owner root alone; an administrator can give it "
            "to a group of serial-port users (such as dialout) with a udev rule");
        QTest::newRow("root's group") << "root" << 0660 << ownerOnly;
        QTest::newRow("owner alone") << "dialout" << 0600 << ownerOnly;
    }

    void aRefusedPermissionNamesTheDevicesGroup()
    {
        QFETCH(QString, groupName);
        QFETCH(int, mode);
        QFETCH(QString, expected);
        if (getuid() != 0)
            QSKIP("needs root to give a device to another group");
        const passwd* nobody = getpwnam("nobody");
        const group* adapters = getgrnam(groupName.toLatin1().constData());
        QVERIFY(nobody && adapters);
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        SimFixture sim;
        sim.Start();
        const std::string device = sim.display->DevicePath();
        QCOMPARE(chown(device.c_str(), 0, adapters->gr_gid), 0);
        QCOMPARE(chmod(device.c_str(), mode_t(mode)), 0);
        int pipeEnds[2];
        QCOMPARE(pipe(pipeEnds), 0);
        int code = InChild([&] {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
                return 2;
            if (Link.OpenPort(0, k8n2, k9600) == 1)
                return 3;
            const std::string text = serial::OpenErrorText(Link.LastOpenDevice(), Link.LastOpenError());
            (void)!write(pipeEnds[1], text.data(), text.size());
            return 0;
        });
        close(pipeEnds[1]);
        char text[300] = {};
        (void)!read(pipeEnds[0], text, sizeof text - 1);
        close(pipeEnds[0]);
        sim.Stop();
        QCOMPARE(code, 0);
        QCOMPARE(QString::fromUtf8(text), expected);
    }

    void everyModeReopens()
    {
        // A pseudo-terminal drops the parity bit; that must not spoil the next open.
        for (std::uint8_t mode = 0; mode < kModeCount; ++mode)
            for (int round = 0; round < 3; ++round)
                QVERIFY2(Link.OpenPort(0, mode, k9600) == 1, kModeNames[mode]);
        for (std::uint8_t before = 0; before < kModeCount; ++before)
            for (std::uint8_t after = 0; after < kModeCount; ++after) {
                QCOMPARE(Link.OpenPort(0, before, k9600), 1);
                QCOMPARE(Link.ClosePort(), 1);
                QVERIFY2(Link.OpenPort(0, after, k9600) == 1,
                         qPrintable(QStringLiteral("%1 after %2").arg(kModeNames[after], kModeNames[before])));
            }
        // And the display at 8o1 is still reached after all that.
        sim.Stop();
        sim::SimDisplay::Options options;
        options.mode = 3;
        sim.Start(options);
        for (int round = 0; round < 3; ++round) {
            QCOMPARE(Link.OpenPort(0, 3, k9600), 1);
            QCOMPARE(Link.ReadBlock(Blocks::Brightness, 500), ReadResult::Stored);
            QCOMPARE(Link.ClosePort(), 1);
        }
    }

    void aPortThatGoesAwayWhileALateReplyIsAwaitedIsLost()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        // A reply that did not come may still come: the next request waits for it first.
        sim.display->InjectFault({FaultKind::Silent, 0});
        QCOMPARE(Link.ReadBlock(Blocks::Status, 50), ReadResult::NoReply);
        sim.display->Stop();  // and the adapter is unplugged meanwhile
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::PortLost);
        QVERIFY(Link.PortLost());
        QCOMPARE(int(Settings.portOpen), 0);
    }

    void aPortThatGoesAwayIsNamedAndReopens()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        const std::string device = sim.display->DevicePath();
        sim.display->Stop();  // the far end hangs up, as an unplugged adapter does
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::PortLost);
        QVERIFY(Link.PortLost());
        QCOMPARE(Link.LostDevice(), device);
        QCOMPARE(Link.LostError(), EIO);
        QCOMPARE(int(Settings.portOpen), 0);  // closed, so the next action opens it anew
        QCOMPARE(Link.WriteBlock(Blocks::Status, 500), WriteResult::NoReply);  // nothing sent on a closed port

        sim::SimDisplay replugged;
        QVERIFY(replugged.Start());
        setenv("VT_COM1", replugged.DevicePath().c_str(), 1);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QVERIFY(!Link.PortLost());
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        Link.ClosePort();
    }

    void aPortNobodyClosedIsReleased()
    {
        // A link or a transport that ends with its port open lets it go:
        // the lock and the exclusive mode do not outlive it.
        const std::string device = sim.display->DevicePath();
        {
            ConnectionSettings settings;
            RegisterImage image;
            ModbusLink forgotten(settings, image);
            QCOMPARE(forgotten.OpenDevice(device, k8n2, k9600), 1);
        }
        QCOMPARE(Link.OpenDevice(device, k8n2, k9600), 1);
        QCOMPARE(Link.ClosePort(), 1);
        {
            serial::OpenFailure failure;
            const auto transport = SerialTransport::Open(device, LineOf(k8n2, 9600), &failure);
            QVERIFY(transport);
        }
        QCOMPARE(Link.OpenDevice(device, k8n2, k9600), 1);
    }

    void aReadEndsWhateverAnotherProgramSetsTheLineTo_data()
    {
        QTest::addColumn<int>("vmin");
        QTest::addColumn<int>("vtime");
        QTest::newRow("stty min 1") << 1 << 0;
        QTest::newRow("min 1, time 0.5 s") << 1 << 5;
        QTest::newRow("min 255") << 255 << 0;
    }

    void aReadEndsWhateverAnotherProgramSetsTheLineTo()
    {
        // A daemon that reopens the tty, or `stty min 1`, changes its settings
        // under the link: every read still takes only what is there, a cut
        // reply and a silent display still end their exchange, and so does a
        // search.
        QFETCH(int, vmin);
        QFETCH(int, vtime);
        const auto setAnotherProgramsWait = [&](const ModbusLink& link) {
            const int other = dup(int(link.SerialPortOf()->handle));
            termios line {};
            tcgetattr(other, &line);
            line.c_cc[VMIN] = cc_t(vmin);
            line.c_cc[VTIME] = cc_t(vtime);
            tcsetattr(other, TCSANOW, &line);
            close(other);
        };
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        setAnotherProgramsWait(Link);
        std::uint8_t buffer[8];
        int osError = -1;
        QCOMPARE(serial::Read(*Link.SerialPortOf(), buffer, sizeof buffer, &osError), std::size_t(0));
        QCOMPARE(osError, 0);
        sim.display->InjectFault({FaultKind::Truncate, 5});
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 100), ReadResult::NoReply);
        sim.display->InjectFault({FaultKind::Silent});
        QCOMPARE(Link.ReadBlock(Blocks::Status, 100), ReadResult::NoReply);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        Link.ClosePort();

        sim.display->InjectFault({FaultKind::Truncate, 3, true});
        const std::vector<ProbeTarget> order {{1, {k8n2, k9600}}, {2, {k8n2, k9600}}, {3, {k8n2, k9600}}};
        DisplaySearch search(0, order);
        QVERIFY(search.Open());
        setAnotherProgramsWait(search.link());
        DisplaySearch::Step step;
        do
            step = search.Next();
        while (!DisplaySearch::Ends(step));
        QCOMPARE(step, DisplaySearch::Step::Finished);
    }

    void aWriteTheLineDoesNotTakeEndsNamingTheAdapter()
    {
        // The far end of a pseudo-terminal that never reads: its buffer
        // fills, and a write then ends at its bound instead of waiting for
        // ever; the exchange ends with the device named.
        const int far = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(far >= 0);
        QCOMPARE(grantpt(far), 0);
        QCOMPARE(unlockpt(far), 0);
        const std::string device = ptsname(far);
        QCOMPARE(Link.OpenDevice(device, k8n2, 7), 1);  // 115200
        std::uint8_t frame[255] = {};
        int osError = 0;
        int frames = 0;
        while (osError == 0 && frames < 100000) {
            serial::Write(*Link.SerialPortOf(), frame, sizeof frame, &osError);
            ++frames;
        }
        QCOMPARE(osError, ETIMEDOUT);
        // A tty says it takes more only once it has room for a good many
        // bytes; what room is left below that is filled a byte at a time, so
        // not even the request's first byte fits.
        osError = 0;
        while (osError == 0 && frames < 200000) {
            serial::Write(*Link.SerialPortOf(), frame, 1, &osError);
            ++frames;
        }
        QCOMPARE(osError, ETIMEDOUT);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 100), ReadResult::PortLost);
        QCOMPARE(PortLostText(Link, ""),
                 device + " was lost: The adapter did not send the request within its time on the line and a "
                          "margin (it is stuck, or its flow control holds it)");
        close(far);
    }

    void aProgramStuckOnAWriteStillEndsOnSigterm()
    {
        // The window's program takes SIGTERM through a handler that only
        // notes it (the system call restarts): a write that waited for ever
        // would never let it look. A child plays the program on a line whose
        // far end never reads.
        const int far = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(far >= 0);
        QCOMPARE(grantpt(far), 0);
        QCOMPARE(unlockpt(far), 0);
        const std::string device = ptsname(far);
        int started[2];
        QCOMPARE(pipe(started), 0);
        const pid_t child = fork();
        if (child == 0) {
            static volatile std::sig_atomic_t ending = 0;
            struct sigaction action {};
            action.sa_handler = [](int) { ending = 1; };
            action.sa_flags = SA_RESTART;
            sigaction(SIGTERM, &action, nullptr);
            serial::Port port;
            serial::OpenFailure failure;
            if (!serial::Open(device, {115200, serial::Parity::None, 2}, &port, &failure))
                _exit(2);
            (void)!write(started[1], "x", 1);
            std::uint8_t frame[255] = {};
            while (!ending) {
                int osError = 0;
                serial::Write(port, frame, sizeof frame, &osError);
            }
            _exit(0);
        }
        char byte = 0;
        QCOMPARE(read(started[0], &byte, 1), ssize_t(1));
        usleep(300000);  // the far end's buffer fills at once: the writes are stuck by then
        kill(child, SIGTERM);
        int status = -1;
        pid_t ended = 0;
        for (int look = 0; look < 200 && ended == 0; ++look) {
            ended = waitpid(child, &status, WNOHANG);
            if (ended == 0)
                usleep(50000);
        }
        if (ended == 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(started[0]);
        close(started[1]);
        close(far);
        QVERIFY2(ended == child, "the program did not end");
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    void closingLeavesTheLineAsFound()
    {
        const std::string device = sim.display->DevicePath();
        const termios found = line_state::SetAnotherProgramsLine(device);
        QVERIFY(found.c_lflag & ICANON);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QVERIFY(!(line_state::Read(device).c_lflag & ICANON));  // raw while the link has it
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        QCOMPARE(Link.OpenPort(0, 3, 5), 1);  // a reopen keeps what was found first
        QCOMPARE(Link.ClosePort(), 1);
        QVERIFY(line_state::Same(line_state::Read(device), found));
    }

    void nothingPendingLeavesTheReceiveBuffer()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Link.ReceiveBuffer()[0] = 0xAB;
        QCOMPARE(Link.ReceiveFrame(), 0u);
        QCOMPARE(Link.ReceiveBuffer()[0], std::uint8_t(0xAB));
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
        QCOMPARE(QByteArray(reinterpret_cast<char*>(Link.ReceiveBuffer()), 5), QByteArray::fromHex("018302C0F1"));

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

    void anUnreadAcknowledgementIsNotTakenIntoTheNextReply()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Image.Set(4025, 50);
        Link.SendFrame(Link.BuildWriteRequest16(1, 4025, 1, 3));
        QCOMPARE(Link.WaitForReply(500, 7), 8u);  // left unread
        sim.display->SetRegister(4026, 33);
        int expected = Read(4025, 2);
        QCOMPARE(Link.PendingBytes(), 9u);
        QCOMPARE(Link.CheckResponse(1), 3);
        QCOMPARE(Link.StoreResponse(4025, expected), 1);
        QCOMPARE(Image.Get(4026), 33u);
    }

    // ---- the block steps, and the exchange after a faulty one

    void aFaultyReadSpoilsNoOtherExchange_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<ReadResult>("result");
        QTest::addColumn<Rejection>("why");
        QTest::newRow("silence") << FaultKind::Silent << 0 << ReadResult::NoReply << Rejection::None;
        QTest::newRow("late") << FaultKind::Late << 450 << ReadResult::NoReply << Rejection::None;
        QTest::newRow("cut short") << FaultKind::Truncate << 20 << ReadResult::NoReply << Rejection::None;
        QTest::newRow("last byte missing") << FaultKind::Truncate << 36 << ReadResult::Rejected << Rejection::Crc;
        QTest::newRow("bad crc") << FaultKind::BadCrc << 0 << ReadResult::Rejected << Rejection::Crc;
        QTest::newRow("other address") << FaultKind::OtherAddress << 7 << ReadResult::Rejected << Rejection::Address;
        QTest::newRow("exception") << FaultKind::Exception << 4 << ReadResult::Rejected << Rejection::Exception;
        QTest::newRow("bytes ahead") << FaultKind::Prefix << 3 << ReadResult::Rejected << Rejection::Address;
    }

    void aFaultyReadSpoilsNoOtherExchange()
    {
        QFETCH(sim::FaultKind, kind);
        QFETCH(int, value);
        QFETCH(ReadResult, result);
        QFETCH(Rejection, why);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        SetRows(*sim.display, 100);
        sim.display->InjectFault({kind, value});
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), result);
        QCOMPARE(Link.LastRejection(), why);
        QVERIFY(!ImageHoldsRows(100));  // nothing of a faulty reply is stored

        SetRows(*sim.display, 200);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
        QVERIFY(ImageHoldsRows(200));
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);  // and the one after
    }

    void aFaultyWriteSpoilsNoOtherExchange_data()
    {
        QTest::addColumn<sim::FaultKind>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<WriteResult>("result");
        QTest::newRow("silence") << FaultKind::Silent << 0 << WriteResult::NoReply;
        QTest::newRow("late") << FaultKind::Late << 450 << WriteResult::NoReply;
        QTest::newRow("cut short") << FaultKind::Truncate << 6 << WriteResult::NoReply;
        QTest::newRow("last byte missing") << FaultKind::Truncate << 7 << WriteResult::Refused;
        QTest::newRow("bad crc") << FaultKind::BadCrc << 0 << WriteResult::Refused;
        QTest::newRow("other address") << FaultKind::OtherAddress << 7 << WriteResult::Refused;
        QTest::newRow("exception") << FaultKind::Exception << 6 << WriteResult::Refused;
        QTest::newRow("bytes ahead") << FaultKind::Prefix << 2 << WriteResult::Refused;
    }

    void aFaultyWriteSpoilsNoOtherExchange()
    {
        QFETCH(sim::FaultKind, kind);
        QFETCH(int, value);
        QFETCH(WriteResult, result);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Image.Set(4025, 11);
        sim.display->InjectFault({kind, value});
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 300), result);

        Image.Set(4025, 12);
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 300), WriteResult::Acknowledged);
        QCOMPARE(sim.display->Register(4025), 12u);
        SetRows(*sim.display, 300);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
        QVERIFY(ImageHoldsRows(300));
    }

    void aLateReplyIsNotStoredIntoAnotherBlock()
    {
        // Rows and alarm values have replies of the same length.
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        SetRows(*sim.display, 0x3F80);
        for (unsigned k = 0; k < Blocks::Alarms.quantity; ++k)
            sim.display->SetRegisterFloat(Blocks::Alarms.first + k, 2.5f + float(k));
        sim.display->InjectFault({FaultKind::Late, 450});
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::NoReply);
        QCOMPARE(Link.ReadBlock(Blocks::Alarms, 300), ReadResult::Stored);
        for (unsigned k = 0; k < Blocks::Alarms.quantity; ++k)
            QCOMPARE(Image.GetFloat(Blocks::Alarms.first + k), 2.5f + float(k));
    }

    void aLateAcknowledgementIsNotTakenForTheNextReply()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        sim.display->InjectFault({FaultKind::Late, 450});
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 300), WriteResult::NoReply);
        SetRows(*sim.display, 40);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
        QVERIFY(ImageHoldsRows(40));
    }

    void aWriteIsAcknowledgedByItsOwnEcho()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        Image.SetFloat(7643, 1.5f);
        Image.SetFloat(7644, -2.0f);
        QCOMPARE(Link.WriteBlock(Blocks::CoefficientsInputI, 300), WriteResult::Acknowledged);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(Link.ReceiveBuffer()), 6), QByteArray::fromHex("01101DDB0002"));
        QCOMPARE(sim.display->RegisterFloat(7644), -2.0f);

        // An acknowledgement of some other write is no acknowledgement of this one.
        const std::uint8_t request[6] = {1, 16, 0x0F, 0xA6, 0x00, 0x10};
        const std::vector<std::uint8_t> otherStart = sim::SlaveLogic::Frame({1, 16, 0x0F, 0xA7, 0x00, 0x10});
        const std::vector<std::uint8_t> otherCount = sim::SlaveLogic::Frame({1, 16, 0x0F, 0xA6, 0x00, 0x0F});
        const std::vector<std::uint8_t> same = sim::SlaveLogic::Frame({1, 16, 0x0F, 0xA6, 0x00, 0x10});
        QCOMPARE(JudgeWriteReply(otherStart.data(), otherStart.size(), request), Rejection::Echo);
        QCOMPARE(JudgeWriteReply(otherCount.data(), otherCount.size(), request), Rejection::Echo);
        QCOMPARE(JudgeWriteReply(same.data(), same.size(), request), Rejection::None);
    }

    void aReadReplyOfAnotherLengthIsRefused()
    {
        // A sound frame, but for two registers where four were asked.
        const std::vector<std::uint8_t> two = sim::SlaveLogic::Frame({1, 3, 4, 0, 1, 0, 2});
        QCOMPARE(JudgeReadReply(two.data(), two.size(), 1, Blocks::Brightness), Rejection::ByteCount);
        const std::vector<std::uint8_t> lying = sim::SlaveLogic::Frame({1, 3, 6, 0, 1, 0, 2, 0, 3, 0, 4});
        QCOMPARE(JudgeReadReply(lying.data(), lying.size(), 1, Blocks::Brightness), Rejection::ByteCount);
        const std::vector<std::uint8_t> ack = sim::SlaveLogic::Frame({1, 16, 0x0F, 0xB9, 0, 4});
        QCOMPARE(JudgeReadReply(ack.data(), ack.size(), 1, Blocks::Brightness), Rejection::Function);
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

    void theWaitEndsOnTheReplysLastByte()
    {
        // Noise follows each reply a second later, inside a pause of five: a
        // wait that ran on past the last byte would take the noise too.
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        sim.display->InjectFault({FaultKind::Late, 0, false, 1000});
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 5000), ReadResult::Stored);
        QCOMPARE(Link.PendingBytes(), 0u);
        QCOMPARE(Link.WaitForReply(5000, 2), 3u);  // the noise, once it came
        Link.ReceiveFrame();

        sim.display->InjectFault({FaultKind::Exception, 2, false, 1000});
        QCOMPARE(Link.ReadBlock(Blocks::Brightness, 5000), ReadResult::Rejected);
        QCOMPARE(Link.LastRejection(), Rejection::Exception);
        QCOMPARE(Link.LastExceptionCode(), 2);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(Link.ReceiveBuffer()), 5), QByteArray::fromHex("018302C0F1"));
    }

    void aReplyWithinThePauseIsCaughtWhole()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
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

    // ---- lines as they are on site

    void aBusyLineEndsEveryExchangeWithinItsBound()
    {
        // A byte every 20 ms, for ever: another master, or noise on an
        // unterminated pair. The line never falls silent for long.
        std::ostringstream trace;
        Link.SetFrameObserver([&trace](const FrameEvent& frame) {
            trace << frame.outcome << "\n";
        });
        sim.display->SetChatter(20);
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer took;
            took.start();
            const ReadResult result = Link.ReadBlock(Blocks::Rows, 300);
            QVERIFY2(took.elapsed() < 3000, qPrintable(QString::number(took.elapsed())));
            QVERIFY(result != ReadResult::PortLost);
            // The bytes the first read met keep every later request waiting.
            if (round > 0)
                QVERIFY(Link.LineNeverFellSilent());
        }
        QCOMPARE(Link.WriteBlock(Blocks::Brightness, 300) == WriteResult::PortLost, false);
        Link.SetFrameObserver(nullptr);
        QVERIFY(QString::fromStdString(trace.str()).contains(QStringLiteral("sent though the line never fell silent")));

        // Quiet again: the next exchange is as ever.
        sim.display->SetChatter(0);
        QTest::qWait(100);
        SetRows(*sim.display, 500);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
        QVERIFY(!Link.LineNeverFellSilent());
        QVERIFY(ImageHoldsRows(500));
    }

    void anEchoingAdapterIsReadThrough()
    {
        sim.Stop();
        sim::SimDisplay::Options options;
        options.echo = true;
        sim.Start(options);
        std::vector<FrameEvent::Kind> kinds;
        Link.SetFrameObserver([&kinds](const FrameEvent& frame) { kinds.push_back(frame.kind); });
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        SetRows(*sim.display, 70);
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Stored);
        QVERIFY(ImageHoldsRows(70));
        Image.SetFloat(7643, 2.5f);
        Image.SetFloat(7644, -1.0f);
        QCOMPARE(Link.WriteBlock(Blocks::CoefficientsInputI, 300), WriteResult::Acknowledged);
        QCOMPARE(sim.display->RegisterFloat(7643), 2.5f);
        ProbeAnswer answer;
        QCOMPARE(Link.Probe(1, 50, &answer), ProbeResult::Answered);
        QCOMPARE(int(answer.address), 1);
        // A refusal behind the echo is still the display's refusal.
        sim.display->InjectFault({FaultKind::Exception, 4});
        QCOMPARE(Link.ReadBlock(Blocks::Rows, 300), ReadResult::Rejected);
        QCOMPARE(Link.LastExceptionCode(), 4);
        Link.SetFrameObserver(nullptr);
        const std::vector<FrameEvent::Kind> expected {
            FrameEvent::Kind::Opened,
            FrameEvent::Kind::Request, FrameEvent::Kind::Echo, FrameEvent::Kind::Reply,  // read
            FrameEvent::Kind::Request, FrameEvent::Kind::Echo, FrameEvent::Kind::Reply,  // write
            FrameEvent::Kind::Request, FrameEvent::Kind::Echo, FrameEvent::Kind::Reply,  // probe
            FrameEvent::Kind::Request, FrameEvent::Kind::Echo, FrameEvent::Kind::Reply};  // refused read
        QVERIFY(kinds == expected);
    }

    void twoFramesFollowEachOtherAfterTheFrameGap_data()
    {
        QTest::addColumn<int>("rateCode");
        QTest::addColumn<int>("rateIndex");
        QTest::newRow("2400") << 0 << 0;
        QTest::newRow("9600") << 2 << 2;
        QTest::newRow("115200") << 9 << 7;
    }

    void twoFramesFollowEachOtherAfterTheFrameGap()
    {
        // The display takes a request only after 3.5 silent characters,
        // its own reply included: every frame of a run is heard.
        sim.Stop();
        sim::SimDisplay::Options options;
        QFETCH(int, rateCode);
        QFETCH(int, rateIndex);
        options.rateCode = std::uint8_t(rateCode);
        options.replyDelayMs = 5;
        sim.Start(options);
        QCOMPARE(Link.OpenPort(0, k8n2, std::uint8_t(rateIndex)), 1);
        for (int round = 0; round < 3; ++round) {
            QCOMPARE(Link.ReadBlocks({Blocks::Rows, Blocks::Alarms, Blocks::Status}, 500), ReadResult::Stored);
            QCOMPARE(Link.WriteBlock(Blocks::Brightness, 500), WriteResult::Acknowledged);
        }
        // Closing and opening again does not shorten the silence.
        QCOMPARE(Link.ClosePort(), 1);
        QCOMPARE(Link.OpenPort(0, k8n2, std::uint8_t(rateIndex)), 1);
        QCOMPARE(Link.ReadBlock(Blocks::Status, 500), ReadResult::Stored);
        for (const sim::ReceivedFrame& frame : sim.display->Frames())
            QVERIFY2(frame.spoiled.empty(), frame.spoiled.c_str());
    }

    void aWriteTooLongForOneFrameIsRefusedBeforeAnythingIsSent()
    {
        QCOMPARE(Link.OpenPort(0, k8n2, k9600), 1);
        QCOMPARE(Link.WriteBlock({4300, 124, false}, 300), WriteResult::Refused);
        QCOMPARE(Link.LastRejection(), Rejection::TooManyRegisters);
        QCOMPARE(Link.WriteBlock({7500, 62, true}, 300), WriteResult::Refused);
        QVERIFY(!sim.display->WaitForFrames(1, 200));
        QCOMPARE(Link.WriteBlock(Blocks::DeviceTable, 300), WriteResult::Acknowledged);  // 50 go
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
