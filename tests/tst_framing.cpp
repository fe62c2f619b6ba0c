// Request frames and the CRC, compared byte for byte with known frames.
#include "Modbus.h"

#include <QtTest>

namespace {

QByteArray Transmitted(int length)
{
    return QByteArray(reinterpret_cast<const char*>(Link.transmitBuffer), length);
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
        QCOMPARE(int(Link.transmitBuffer[6]), 246);
        QCOMPARE(Link.BuildWriteRequest32(1, 7500, 62), 0);
        QCOMPARE(Link.BuildWriteRequest32(1, 7500, 61), 253);
        QCOMPARE(int(Link.transmitBuffer[6]), 244);
    }

    void expectedLengthsFollowTheTypeWidth()
    {
        QCOMPARE(ExpectedResponseLength(16, 3), 36);
        QCOMPARE(ExpectedResponseLength(8, 6), 36);
        QCOMPARE(ExpectedResponseLength(5, 0), 9);
        QCOMPARE(ExpectedResponseLength(5, 4), 24);
        QCOMPARE(ExpectedResponseLength(50, 7), 4);
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
