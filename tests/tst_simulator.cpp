// The simulated display answers as a display would: its register map, its
// refusals, its own line and its clock. Driven through the real link.
#include "ProgramLink.h"
#include "SimFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <poll.h>
#include <unistd.h>

using sim::FaultKind;

namespace {

// Puts raw bytes (a CRC is appended) into the transmit buffer and sends them.
void SendRaw(const QByteArray& body)
{
    std::memcpy(Link.TransmitBuffer(), body.constData(), std::size_t(body.size()));
    std::uint16_t crc = Crc16(Link.TransmitBuffer(), int(body.size()) - 1);
    Link.TransmitBuffer()[body.size()] = std::uint8_t(crc >> 8);
    Link.TransmitBuffer()[body.size() + 1] = std::uint8_t(crc & 0xFF);
    Link.SendFrame(std::uint32_t(body.size() + 2));
}

QByteArray Reply(std::uint32_t wanted, unsigned pauseMs = 300)
{
    Link.WaitForReply(pauseMs, wanted);
    std::uint32_t n = Link.ReceiveFrame();
    return QByteArray(reinterpret_cast<char*>(Link.ReceiveBuffer()), int(n));
}

// Straight onto the port, past the link's timing: the display's rules are
// what is tried here.
QByteArray WithCrc(const QByteArray& hex)
{
    QByteArray frame = QByteArray::fromHex(hex);
    const std::uint16_t crc = Crc16(reinterpret_cast<const std::uint8_t*>(frame.constData()), int(frame.size()) - 1);
    frame.append(char(crc >> 8));
    frame.append(char(crc & 0xFF));
    return frame;
}

void WriteRaw(const QByteArray& bytes)
{
    QCOMPARE(::write(int(Link.SerialPortOf()->handle), bytes.constData(), std::size_t(bytes.size())), ssize_t(bytes.size()));
}

// What comes within `ms`, or until `enough` bytes are in.
QByteArray ReadRaw(int ms, int enough = 1000)
{
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms && received.size() < enough) {
        pollfd input {int(Link.SerialPortOf()->handle), POLLIN, 0};
        if (poll(&input, 1, 5) > 0) {
            char buffer[300];
            const ssize_t n = ::read(int(Link.SerialPortOf()->handle), buffer, sizeof buffer);
            if (n > 0)
                received.append(buffer, int(n));
        }
    }
    return received;
}

const sim::ReceivedFrame LastFrame(const sim::SimDisplay& display)
{
    return display.Frames().back();
}

struct Vtsim {
    QProcess process;
    QString device;

    bool Start(const QStringList& arguments)
    {
        process.start(QStringLiteral(VTSIM_BINARY), arguments);
        if (!process.waitForReadyRead(5000))
            return false;
        device = QString::fromLocal8Bit(process.readLine()).trimmed();
        return true;
    }
    int Stop()
    {
        process.terminate();
        process.waitForFinished(5000);
        return process.exitCode();
    }
};

}  // namespace

class SimulatorTest : public QObject {
    Q_OBJECT
    SimFixture sim;

    // A display at 2400 baud, where 3.5 characters last 16 ms: a busy
    // machine's scheduling cannot stretch "at once" that far. COM 1 opened at its line.
    void RestartAt2400(bool strict = true)
    {
        sim.Stop();
        sim::SimDisplay::Options options;
        options.rateCode = 0;
        options.strict = strict;
        sim.Start(options);
        QCOMPARE(Link.OpenPort(0, 1, 0), 1);
    }

private slots:
    void init()
    {
        sim.Start();
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
    }
    void cleanup() { sim.Stop(); }

    void requestsOutsideTheMapAreRefused()
    {
        SendRaw(QByteArray::fromHex("01030FC80001"));  // 4040
        QCOMPARE(Reply(5), QByteArray::fromHex("018302C0F1"));
        SendRaw(QByteArray::fromHex("01031E130002"));  // 7699 and 7700
        QCOMPARE(Reply(5).mid(1, 2), QByteArray::fromHex("8302"));
        // A byte count that disagrees with the quantity is an illegal data value.
        SendRaw(QByteArray::fromHex("01100FA6000204000100"));
        QCOMPARE(Reply(5).mid(1, 2), QByteArray::fromHex("9003"));
        SendRaw(QByteArray::fromHex("01101DB00001020001"));  // 32-bit area wants 4 bytes a value
        QCOMPARE(Reply(5).mid(1, 2), QByteArray::fromHex("9003"));
        SendRaw(QByteArray::fromHex("010600010001"));  // function 6 is not offered
        QCOMPARE(Reply(5).mid(1, 2), QByteArray::fromHex("8601"));
    }

    void otherAddressesAndBadCrcsGetNoReply()
    {
        SendRaw(QByteArray::fromHex("02030FA60001"));
        QCOMPARE(Reply(5, 200), QByteArray());
        Link.BuildReadRequest(1, 4006, 1);
        Link.TransmitBuffer()[7] ^= 0x01;
        Link.SendFrame(8);
        QCOMPARE(Reply(5, 200), QByteArray());
        QVERIFY(sim.display->WaitForFrames(2, 1000));
    }

    void wideRegistersTravelMostSignificantByteFirst()
    {
        Image.SetFloat(7643, 1.0f);
        Image.SetFloat(7644, 2.0f);
        Link.SendFrame(Link.BuildWriteRequest32(1, 7643, 2));
        QCOMPARE(Reply(7).left(6), QByteArray::fromHex("01101DDB0002"));
        QCOMPARE(sim.display->Register(7643), 0x3F800000u);
        SendRaw(QByteArray::fromHex("01031DDB0002"));
        QCOMPARE(Reply(12).mid(2, 9), QByteArray::fromHex("083F80000040000000"));
    }

    void aNewLineIsTakenUpAfterTheReply()
    {
        Image.Set(4000, 5);
        Image.Set(4001, 3);  // 8o1
        Image.Set(4002, 6);  // 38400
        Link.SendFrame(Link.BuildWriteRequest16(1, 4000, 3, 3));
        QByteArray ack = Reply(7);
        QCOMPARE(ack.left(6), QByteArray::fromHex("01100FA00003"));  // answered at the old line
        QTRY_COMPARE(int(sim.display->Address()), 5);  // once the reply has left
        QCOMPARE(int(sim.display->Mode()), 3);
        QCOMPARE(int(sim.display->RateCode()), 6);

        Link.SendFrame(Link.BuildReadRequest(5, 4006, 1));
        QCOMPARE(Reply(6, 200), QByteArray());  // the old line is no longer heard
        QCOMPARE(Link.OpenPort(0, 3, 5), 1);
        Link.SendFrame(Link.BuildReadRequest(5, 4006, 1));
        QCOMPARE(Reply(6).left(3), QByteArray::fromHex("050302"));
    }

    // ---- the serial line's timing, as a display keeps it

    void aRequestMustFollowThreeAndAHalfSilentCharacters()
    {
        RestartAt2400();
        const QByteArray request = WithCrc("01030FBD0001");
        WriteRaw(request);
        QCOMPARE(ReadRaw(500, 7).size(), 7);
        // At once after the reply's last byte: the line was not idle.
        WriteRaw(request);
        QCOMPARE(ReadRaw(200), QByteArray());
        QTRY_COMPARE(LastFrame(*sim.display).spoiled, std::string("began on a line not idle for 3.5 characters"));
        // After a silence it is heard.
        QTest::qSleep(50);
        WriteRaw(request);
        QCOMPARE(ReadRaw(500, 7).size(), 7);
    }

    void aGapInsideAFrameOrATrailingByteSpoilsIt()
    {
        RestartAt2400();
        const QByteArray request = WithCrc("01030FBD0001");
        WriteRaw(request.left(4));
        // The four bytes take 18 ms on the wire; then a silence of 12 ms,
        // over 1.5 characters (7 ms) and under 3.5 (16 ms).
        QTest::qSleep(30);
        WriteRaw(request.mid(4));
        QCOMPARE(ReadRaw(200), QByteArray());
        QTRY_COMPARE(LastFrame(*sim.display).spoiled, std::string("a silence of more than 1.5 characters inside the frame"));
        QTest::qSleep(50);
        WriteRaw(request + QByteArray(1, '\x55'));
        QCOMPARE(ReadRaw(200), QByteArray());
        QTRY_COMPARE(LastFrame(*sim.display).spoiled, std::string("bytes trailing the request"));

        // A display that is not strict takes both.
        RestartAt2400(false);
        WriteRaw(request.left(4));
        QTest::qSleep(30);
        WriteRaw(request.mid(4) + QByteArray(1, '\x55'));
        QCOMPARE(ReadRaw(500, 7).size(), 7);
    }

    void inHalfDuplexBytesDuringTheReplyGarbleIt()
    {
        sim.Stop();
        sim::SimDisplay::Options options;
        options.halfDuplex = true;
        options.rateCode = 0;  // 2400: the 245-byte reply takes over a second, time enough to talk into it
        sim.Start(options);
        QCOMPARE(Link.OpenPort(0, 1, 0), 1);
        WriteRaw(WithCrc("01031D4C003C"));  // sixty 32-bit registers from 7500
        QByteArray reply = ReadRaw(500, 1);
        QVERIFY(!reply.isEmpty() && reply.size() < 200);  // the reply has begun and goes on
        WriteRaw(QByteArray(1, '\x55'));  // another master talks into the reply
        reply += ReadRaw(2000, 245 - reply.size());
        QCOMPARE(reply.size(), 245);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(reply.constData());
        QCOMPARE(CheckReply(bytes, std::size_t(reply.size()), 1), 0);  // garbled
        QTRY_COMPARE(LastFrame(*sim.display).spoiled, std::string("collided with the display's reply"));  // recorded once the line has been quiet after it
        // After a silence the next request is answered whole.
        QTest::qSleep(50);
        WriteRaw(WithCrc("01030FBD0001"));
        reply = ReadRaw(500, 7);
        QCOMPARE(CheckReply(reinterpret_cast<const std::uint8_t*>(reply.constData()), std::size_t(reply.size()), 1), 3);
    }

    void theDisplaysOwnLineTakesOnlyValuesItRunsAt_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("rateCode");
        QTest::addColumn<bool>("taken");
        QTest::newRow("address 0") << 0 << 1 << 2 << false;
        QTest::newRow("address 248") << 248 << 1 << 2 << false;
        QTest::newRow("mode 4") << 1 << 4 << 2 << false;
        QTest::newRow("rate code 10") << 1 << 1 << 10 << false;
        QTest::newRow("address 247, 8o1, 115200") << 247 << 3 << 9 << true;
    }

    void theDisplaysOwnLineTakesOnlyValuesItRunsAt()
    {
        QFETCH(int, address);
        QFETCH(int, mode);
        QFETCH(int, rateCode);
        QFETCH(bool, taken);
        Image.Set(4000, std::uint32_t(address));
        Image.Set(4001, std::uint32_t(mode));
        Image.Set(4002, std::uint32_t(rateCode));
        Link.SendFrame(Link.BuildWriteRequest16(1, 4000, 3, 3));
        const QByteArray reply = Reply(7);
        if (taken) {
            QCOMPARE(reply.left(6), QByteArray::fromHex("01100FA00003"));
            // Taken up once the reply has left, a moment after its last byte came.
            QTRY_COMPARE(int(sim.display->Address()), address);
            return;
        }
        QCOMPARE(reply.mid(1, 2), QByteArray::fromHex("9003"));
        QCOMPARE(int(sim.display->Address()), 1);
        QCOMPARE(sim.display->Register(4000), 1u);
        QCOMPARE(sim.display->Register(4002), 2u);
    }

    // ---- vtsim

    void vtsimSetsTheWideRegistersAsNumbers()
    {
        const QString link = QDir::temp().filePath(QStringLiteral("vtsim-set-%1").arg(getpid()));
        Vtsim vtsim;
        QVERIFY(vtsim.Start({QStringLiteral("--link"), link, QStringLiteral("--set"), QStringLiteral("7611=100"),
                             QStringLiteral("--set"), QStringLiteral("7612=0x3F800000"), QStringLiteral("--set"),
                             QStringLiteral("7613=-2.5"), QStringLiteral("--reply-delay"), QStringLiteral("20")}));
        setenv("VT_COM1", link.toLocal8Bit().constData(), 1);
        QCOMPARE(Link.OpenPort(0, 1, 2), 1);
        QCOMPARE(Link.ReadBlock({7611, 3, true}, 500), ReadResult::Stored);
        QCOMPARE(Image.GetFloat(7611), 100.0f);
        QCOMPARE(Image.GetFloat(7612), 1.0f);
        QCOMPARE(Image.GetFloat(7613), -2.5f);
        Link.ClosePort();
        QCOMPARE(vtsim.Stop(), 0);
        QVERIFY(!QFileInfo::exists(link));  // its own link goes with it
    }

    void vtsimReplacesNothingButItsOwnLink()
    {
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("notes.txt"));
        const QString elsewhere = folder.filePath(QStringLiteral("elsewhere"));
        const QString stale = folder.filePath(QStringLiteral("stale"));
        QFile notes(file);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.write("keep me");
        notes.close();
        QVERIFY(QFile::link(file, elsewhere));
        QVERIFY(QFile::link(QStringLiteral("/dev/pts/999"), stale));  // an earlier vtsim's, left behind
        for (const QString& path : {file, elsewhere, folder.path()}) {
            QProcess refused;
            refused.start(QStringLiteral(VTSIM_BINARY), {QStringLiteral("--link"), path});
            QVERIFY(refused.waitForFinished(5000));
            QCOMPARE(refused.exitCode(), 1);
            QVERIFY2(refused.readAllStandardError().contains("will not replace"), qPrintable(path));
        }
        QFile kept(file);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep me"));
        QCOMPARE(QFileInfo(elsewhere).symLinkTarget(), file);

        Vtsim vtsim;
        QVERIFY(vtsim.Start({QStringLiteral("--link"), stale}));
        QCOMPARE(QFileInfo(stale).symLinkTarget(), vtsim.device);
        QCOMPARE(vtsim.Stop(), 0);
    }

    void theClockRunsOnFromTheTimeWritten()
    {
        Image.Set(4022, 2007);
        Image.Set(4023, 1231);
        Image.Set(4024, 2359);
        Link.SendFrame(Link.BuildWriteRequest16(1, 4022, 3, 3));
        Reply(7);
        QCOMPARE(sim.display->Register(4024), 2359u);
        sim.display->AdvanceClock(std::chrono::seconds(121));
        QCOMPARE(sim.display->Register(4022), 2008u);
        QCOMPARE(sim.display->Register(4023), 101u);
        QCOMPARE(sim.display->Register(4024), 1u);
    }
};

QTEST_GUILESS_MAIN(SimulatorTest)
#include "tst_simulator.moc"
