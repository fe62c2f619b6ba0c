// The simulated display answers a standard Modbus RTU master that is not ours
// (libmodbus), so it stands in for a display and not merely for our link.
#include "SimDisplay.h"

#include <QtTest>
#include <cerrno>
#include <modbus.h>

namespace {

// libmodbus leaves the 3.5 silent characters between a reply and the next
// request to its caller; the display, keeping the line's timing, insists.
void FrameGap()
{
    QTest::qSleep(10);
}

}  // namespace

class IndependentClientTest : public QObject {
    Q_OBJECT
    sim::SimDisplay* display = nullptr;
    modbus_t* master = nullptr;

private slots:
    void init()
    {
        display = new sim::SimDisplay;
        QVERIFY(display->Start());
        master = modbus_new_rtu(display->DevicePath().c_str(), 9600, 'N', 8, 2);
        QVERIFY(master);
        modbus_set_slave(master, 1);
        modbus_set_response_timeout(master, 1, 0);
        QCOMPARE(modbus_connect(master), 0);
    }

    void cleanup()
    {
        modbus_close(master);
        modbus_free(master);
        delete display;
    }

    void readsAndWritesHoldingRegisters()
    {
        display->SetRegister(4006, 12);
        display->SetRegister(4021, 0xBEEF);
        std::uint16_t rows[16] = {};
        QCOMPARE(modbus_read_registers(master, 4006, 16, rows), 16);
        QCOMPARE(rows[0], std::uint16_t(12));
        QCOMPARE(rows[15], std::uint16_t(0xBEEF));
        FrameGap();

        const std::uint16_t brightness[4] = {90, 10, 615, 2130};
        QCOMPARE(modbus_write_registers(master, 4025, 4, brightness), 4);
        QCOMPARE(display->Register(4025), 90u);
        QCOMPARE(display->Register(4028), 2130u);
        FrameGap();

        std::uint16_t table[50] = {};
        QCOMPARE(modbus_read_registers(master, 4300, 50, table), 50);
    }

    void refusalsAreStandardExceptions()
    {
        std::uint16_t value = 0;
        QCOMPARE(modbus_read_registers(master, 4040, 1, &value), -1);
        QCOMPARE(errno, int(EMBXILADD));
        FrameGap();
        QCOMPARE(modbus_write_bit(master, 1, 1), -1);  // function 5 is not offered
        QCOMPARE(errno, int(EMBXILFUN));
    }
};

QTEST_GUILESS_MAIN(IndependentClientTest)
#include "tst_independent_client.moc"
