// Request frames and the CRC, compared byte for byte with known frames, and
// replies under the MBAP header taken apart as a gateway sends them.
#include "Master.h"
#include "Modbus.h"
#include "NetworkTransport.h"
#include "ProgramLink.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace {

// The clock block (4022, 3 registers) read from unit 1: the request under
// its MBAP header, and replies of 2026 and 2027 under theirs and as RTU frames.
const QByteArray kClockRequest1 = "000100000006" "01030fb60003";
const QByteArray kClockReply1 = "000100000009" "01030607ea0c090e05";
const QByteArray kClockReply2 = "000200000009" "01030607eb0c090e05";
const QByteArray kClockReply3 = "000300000009" "01030607ea0c090e05";
const QByteArray kClockRtu2026 = "01030607ea0c090e052e24";
const QByteArray kClockRtu2027 = "01030607eb0c090e0513e4";

// A Modbus TCP transport on one end of a socket pair; the test is the
// gateway at the other end.
class GatewayEnds {
public:
    GatewayEnds()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends_) != 0)
            qFatal("socketpair");
        ::fcntl(ends_[0], F_SETFL, O_NONBLOCK);  // as a connected network port is
        transport_ = std::make_unique<ModbusTcpTransport>(net::Socket(ends_[0]), LineOf(1, 9600));
    }
    ~GatewayEnds()
    {
        transport_.reset();
        ::close(ends_[1]);
    }
    ModbusTcpTransport& Transport() { return *transport_; }
    int Gateway() const { return ends_[1]; }

    // The clock block's read request handed over; what the gateway got, in hex.
    QByteArray SendClockRequest()
    {
        std::uint8_t frame[8];
        PutReadRequest(frame, 1, 4022, 3);
        int osError = 0;
        if (transport_->Write(frame, sizeof frame, &osError) != sizeof frame)
            return {};
        return Received(12);
    }
    QByteArray Received(int count)
    {
        QByteArray bytes(count, '\0');
        int got = 0;
        while (got < count) {
            const ssize_t n = ::recv(ends_[1], bytes.data() + got, std::size_t(count - got), 0);
            if (n <= 0)
                break;
            got += int(n);
        }
        return bytes.left(got).toHex();
    }
    void Give(const QByteArray& hex)
    {
        const QByteArray bytes = QByteArray::fromHex(hex);
        (void)!::send(ends_[1], bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL);
    }
    // What the transport hands on within a short wait, as RTU frames in hex.
    QByteArray Taken()
    {
        int osError = 0;
        std::uint8_t buffer[300];
        if (transport_->WaitReadable(100000, &osError) != serial::WaitResult::Readable)
            return {};
        return QByteArray(reinterpret_cast<const char*>(buffer),
                          int(transport_->Read(buffer, sizeof buffer, &osError)))
            .toHex();
    }
    // What it dropped since last asked: "bytes  why" a line each.
    QStringList Dropped()
    {
        QStringList lines;
        for (const Transport::Dropped& dropped : transport_->TakeDropped())
            lines << QByteArray(reinterpret_cast<const char*>(dropped.bytes.data()), int(dropped.bytes.size())).toHex()
                         + "  " + QByteArray::fromStdString(dropped.why);
        return lines;
    }

private:
    int ends_[2] = {-1, -1};
    std::unique_ptr<ModbusTcpTransport> transport_;
};

QByteArray Transmitted(int length)
{
    return QByteArray(reinterpret_cast<const char*>(Link.TransmitBuffer()), length);
}

// The CRC computed bit by bit, as the standard describes it.
std::uint16_t BitwiseCrc(const QByteArray& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= std::uint8_t(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

}  // namespace

class FramingTest : public QObject {
    Q_OBJECT
private slots:
    void init() { ResetLink(); }

    void crcTablesAgreeWithTheBitwiseCrc()
    {
        for (int b = 0; b < 256; ++b) {
            QByteArray one(1, char(b));
            std::uint16_t expected = BitwiseCrc(one);
            // Crc16 keeps the CRC's low-order byte in its upper half.
            std::uint16_t crc = Crc16(reinterpret_cast<const std::uint8_t*>(one.constData()), 0);
            QCOMPARE(int(crc), int(std::uint16_t(expected << 8 | expected >> 8)));
        }
        QByteArray request = QByteArray::fromHex("010300000001");
        QCOMPARE(Crc16(reinterpret_cast<const std::uint8_t*>(request.constData()), 5), std::uint16_t(0x840A));
        QCOMPARE(kCrcHighTable[1], std::uint8_t(0xC1));
        QCOMPARE(kCrcLowTable[2], std::uint8_t(0xC1));
    }

    void readRequestsAreEightBytes()
    {
        QCOMPARE(Link.BuildReadRequest(1, 4006, 16), 8);
        QCOMPARE(Transmitted(8), QByteArray::fromHex("01030FA60010A731"));
        QCOMPARE(Link.BuildReadRequest(1, 0, 1), 8);
        QCOMPARE(Transmitted(8), QByteArray::fromHex("010300000001840A"));
    }

    void writeRequestsTakeTheImage()
    {
        Image.Set(4000, 1);
        Image.Set(4001, 1);
        Image.Set(4002, 2);
        QCOMPARE(Link.BuildWriteRequest16(1, 4000, 3, 3), 15);
        QCOMPARE(Transmitted(15), QByteArray::fromHex("01100FA00003060001000100023DD7"));

        // The table block is the source from 4300 on.
        Image.Set(4300, 0xBEEF);
        Image.Set(4039, 0x1111);
        QCOMPARE(Link.BuildWriteRequest16(7, 4300, 1, 3), 11);
        QCOMPARE(Transmitted(9).mid(7, 2), QByteArray::fromHex("BEEF"));
    }

    void wideWritesCountOneRegisterPerValue()
    {
        Image.SetFloat(7643, 1.0f);
        Image.SetFloat(7644, -2.5f);
        QCOMPARE(Link.BuildWriteRequest32(1, 7643, 2), 17);
        QByteArray frame = Transmitted(17);
        QCOMPARE(frame.left(7), QByteArray::fromHex("01101DDB000208"));
        QCOMPARE(frame.mid(7, 8), QByteArray::fromHex("3F800000C0200000"));
        std::uint16_t crc = BitwiseCrc(frame.left(15));
        QCOMPARE(std::uint8_t(frame[15]), std::uint8_t(crc & 0xFF));  // low-order byte first
        QCOMPARE(std::uint8_t(frame[16]), std::uint8_t(crc >> 8));
    }

    void writesBeyondAOneByteCountAreNotBuilt()
    {
        // The byte count travels in one byte: 123 registers, or 61 values of
        // the 32-bit area, are the most one write carries.
        QCOMPARE(Link.BuildWriteRequest16(1, 4300, 124, 3), 0);
        QCOMPARE(Link.BuildWriteRequest16(1, 4300, 123, 3), 255);
        QCOMPARE(int(Link.TransmitBuffer()[6]), 246);
        QCOMPARE(Link.BuildWriteRequest32(1, 7500, 62), 0);
        QCOMPARE(Link.BuildWriteRequest32(1, 7500, 61), 253);
        QCOMPARE(int(Link.TransmitBuffer()[6]), 244);
    }

    void expectedLengthsFollowTheTypeWidth()
    {
        QCOMPARE(ExpectedResponseLength(16, 3), 36);
        QCOMPARE(ExpectedResponseLength(8, 6), 36);
        QCOMPARE(ExpectedResponseLength(5, 0), 9);
        QCOMPARE(ExpectedResponseLength(5, 4), 24);
        QCOMPARE(ExpectedResponseLength(50, 7), 4);
    }

    void mbapRepliesAreTakenByTheirLengthAndOnlyForTheRequestInProgress_data()
    {
        // What the gateway sends after each of two clock reads, what the
        // transport hands on for each, and what it drops with why.
        QTest::addColumn<QByteArray>("afterFirst");
        QTest::addColumn<QByteArray>("afterSecond");
        QTest::addColumn<QByteArray>("takenFirst");
        QTest::addColumn<QByteArray>("takenSecond");
        QTest::addColumn<QStringList>("dropped");
        QTest::newRow("a reply each") << kClockReply1 << kClockReply2 << kClockRtu2026 << kClockRtu2027
                                      << QStringList();
        QTest::newRow("three stray bytes after a reply")
            << kClockReply1 + "aabbcc" << kClockReply2 << kClockRtu2026 << kClockRtu2027
            << QStringList {"aabbcc  stray bytes: dropped"};
        // The stray bytes begin as a header might: the next reply is found behind them.
        QTest::newRow("stray bytes like a header's start")
            << kClockReply1 + "000200" << kClockReply2 << kClockRtu2026 << kClockRtu2027
            << QStringList {"0002  stray bytes: dropped", "00  stray bytes: dropped"};
        QTest::newRow("noise before a reply") << "ff" + kClockReply1 << kClockReply2 << kClockRtu2026
                                              << kClockRtu2027 << QStringList {"ff  stray bytes: dropped"};
        QTest::newRow("a reply sent twice")
            << kClockReply1 + kClockReply1 << kClockReply2 << kClockRtu2026 << kClockRtu2027
            << QStringList {QString(kClockReply1) + "  transaction 1 answered again: dropped"};
        // The first read was given up; its reply comes behind the second request.
        QTest::newRow("a reply to the request before")
            << QByteArray() << kClockReply1 + kClockReply2 << QByteArray() << kClockRtu2027
            << QStringList {QString(kClockReply1) + "  reply to transaction 1, not to transaction 2: dropped"};
        // A whole header, but of a transaction this connection never sent.
        QTest::newRow("a transaction never sent")
            << "777700000009" "0103060000000000" + kClockReply1 << kClockReply2 << kClockRtu2026 << kClockRtu2027
            << QStringList {"7777000000090103060000000000  stray bytes: dropped"};
    }

    void mbapRepliesAreTakenByTheirLengthAndOnlyForTheRequestInProgress()
    {
        QFETCH(QByteArray, afterFirst);
        QFETCH(QByteArray, afterSecond);
        GatewayEnds ends;
        QCOMPARE(ends.SendClockRequest(), kClockRequest1);
        ends.Give(afterFirst);
        QTEST(ends.Taken(), "takenFirst");
        QCOMPARE(ends.SendClockRequest().left(4), QByteArray("0002"));
        ends.Give(afterSecond);
        QTEST(ends.Taken(), "takenSecond");
        QTEST(ends.Dropped(), "dropped");
    }

    void blockStepsOverModbusTcpTakeEachReplyOnce()
    {
        // Each read's reply comes twice or with stray bytes behind it: every
        // read is stored, none is refused as a CRC error or missed, and the
        // trace shows what was dropped.
        GatewayEnds ends;
        std::thread gateway([&] {
            if (ends.Received(12).isEmpty())
                return;
            ends.Give(kClockReply1 + kClockReply1);
            if (ends.Received(12).isEmpty())
                return;
            ends.Give(kClockReply2 + "aabbcc");
            if (ends.Received(12).isEmpty())
                return;
            ends.Give(kClockReply3);
        });
        ModbusMaster master(nullptr, Settings, Image, {});
        QStringList dropped;
        master.SetFrameObserver([&](const FrameEvent& event) {
            if (event.kind == FrameEvent::Kind::Dropped)
                dropped << QString::fromStdString(event.outcome);
        });
        master.Attach(ends.Transport());
        Settings.displayAddress = 1;
        for (unsigned year : {2026u, 2027u, 2026u}) {
            QCOMPARE(master.ReadBlock(Blocks::Clock, 300), ReadResult::Stored);
            QCOMPARE(Image.Get(4022), year);
        }
        gateway.join();
        master.Detach();
        QCOMPARE(dropped, (QStringList {"transaction 1 answered again: dropped", "stray bytes: dropped"}));
    }

    void imageSlotsKeepTheirWidth()
    {
        Image.Set(4010, 0x12345);
        QCOMPARE(Image.Get(4010), 0x2345u);  // 16-bit registers
        Image.Set(7699, 0xFFFFFFFFu);
        QCOMPARE(Image.Get(7699), 0xFFFFFFFFu);
        Image.Set(4040, 5);  // between blocks: no slot
        Image.Set(3999, 5);
        QCOMPARE(Image.Get(4040), 0u);
        QCOMPARE(Image.Slot(7700), nullptr);
        QCOMPARE(Image.Slot(4299), nullptr);
    }
};

QTEST_GUILESS_MAIN(FramingTest)
#include "tst_framing.moc"
