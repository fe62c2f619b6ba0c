// The simulated display answers as a display would: its register map, its
// refusals, its own line and its clock. Driven through the real link.
#include "SimFixture.h"

#include <cstring>

using sim::FaultKind;

namespace {

// Puts raw bytes (a CRC is appended) into the transmit buffer and sends them.
void SendRaw(const QByteArray& body)
{
    std::memcpy(Link.transmitBuffer, body.constData(), std::size_t(body.size()));
    std::uint16_t crc = Crc16(Link.transmitBuffer, int(body.size()) - 1);
    Link.transmitBuffer[body.size()] = std::uint8_t(crc >> 8);
    Link.transmitBuffer[body.size() + 1] = std::uint8_t(crc & 0xFF);
    Link.SendFrame(std::uint32_t(body.size() + 2));
}

QByteArray Reply(std::uint32_t wanted, unsigned pauseMs = 300)
{
    Link.WaitForReply(pauseMs, wanted);
    std::uint32_t n = Link.ReceiveFrame();
    return QByteArray(reinterpret_cast<char*>(Link.receiveBuffer), int(n));
}

}  // namespace

class SimulatorTest : public QObject {
    Q_OBJECT
    SimFixture sim;

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
        Link.transmitBuffer[7] ^= 0x01;
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
        QCOMPARE(int(sim.display->Address()), 5);
        QCOMPARE(int(sim.display->Mode()), 3);
        QCOMPARE(int(sim.display->RateCode()), 6);

        Link.SendFrame(Link.BuildReadRequest(5, 4006, 1));
        QCOMPARE(Reply(6, 200), QByteArray());  // the old line is no longer heard
        QCOMPARE(Link.OpenPort(0, 3, 5), 1);
        Link.SendFrame(Link.BuildReadRequest(5, 4006, 1));
        QCOMPARE(Reply(6).left(3), QByteArray::fromHex("050302"));
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
