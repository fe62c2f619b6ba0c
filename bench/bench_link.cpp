// How long an exchange with the simulated display takes, from the request to
// the stored reply: beside the time its bytes need on the wire, and beside
// libmodbus, an independent RTU master, reading the same registers of the
// same display in the same run, round for round.
#include "LenientDisplay.h"
#include "Modbus.h"
#include "PortList.h"

#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 101;
constexpr std::uint8_t k8n2 = 1;

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Exchange>
double Timed(Exchange exchange)
{
    Clock::time_point begin = Clock::now();
    exchange();
    return Milliseconds(Clock::now() - begin);
}

struct Rate {
    std::uint8_t index, code;
};

}  // namespace

int main()
{
    const Rate rates[] = {{2, 2}, {7, 9}};  // 9600 and 115200 baud
    std::printf("Reads of holding registers, median of %d rounds, mode 8n2, the simulator answering\n"
                "3.5 characters after the request. wire: request and reply at the rate; ratio: ours /\n"
                "libmodbus; diff: the median of each round's ours - libmodbus, in microseconds. Ours\n"
                "waits 3.5 characters after the last frame before its request; libmodbus does not.\n\n",
                kRounds);
    std::printf("%-10s %7s %10s %10s %10s %7s %9s\n", "exchange", "baud", "wire ms", "ours ms", "libmodbus", "ratio",
                "diff us");
    bool failed = false;
    for (const Rate& rate : rates) {
        const std::unique_ptr<sim::SimDisplay> started = StartLenientDisplay(rate.code);
        if (!started)
            return 1;
        sim::SimDisplay& display = *started;
        const std::uint32_t baud = kPortRates[rate.index];
        // The independent master opens first: ours keeps later openers out.
        modbus_t* peer = modbus_new_rtu(display.DevicePath().c_str(), int(baud), 'N', 8, 2);
        if (!peer || modbus_set_slave(peer, 1) != 0 || modbus_connect(peer) != 0) {
            std::fprintf(stderr, "libmodbus cannot open %s\n", display.DevicePath().c_str());
            return 1;
        }
        modbus_set_response_timeout(peer, 1, 0);
        setenv("VT_COM1", display.DevicePath().c_str(), 1);
        ForgetPorts();
        ConnectionSettings settings;
        RegisterImage image;
        ModbusLink link(settings, image);
        if (link.OpenPort(0, k8n2, rate.index) != 1) {
            std::fprintf(stderr, "cannot open %s\n", display.DevicePath().c_str());
            return 1;
        }
        for (std::uint16_t quantity : {4, 16, 50}) {
            const RegisterBlock block {std::uint16_t(quantity > 34 ? 4300 : 4006), quantity, false};
            std::vector<double> ours, theirs, differences;
            std::uint16_t values[125];
            auto readOurs = [&] {
                ours.push_back(Timed([&] { failed |= link.ReadBlock(block, 500) != ReadResult::Stored; }));
            };
            auto readTheirs = [&] {
                theirs.push_back(Timed([&] {
                    failed |= modbus_read_registers(peer, block.first, quantity, values) != quantity;
                }));
            };
            // Each goes first in every other round, so neither always finds
            // the simulator just done with the other.
            for (int round = 0; round < kRounds; ++round) {
                if (round % 2) {
                    readOurs();
                    readTheirs();
                } else {
                    readTheirs();
                    readOurs();
                }
                differences.push_back((ours.back() - theirs.back()) * 1000);
            }
            const std::uint32_t bytes = 8 + std::uint32_t(ExpectedResponseLength(quantity, 3)) + 1;
            const double wire = WireTimeMicrosAt(bytes, k8n2, baud) / 1000.0;
            std::printf("read %-5u %7u %10.2f %10.2f %10.2f %7.2f %+9.1f\n", quantity, baud, wire, Median(ours),
                        Median(theirs), Median(ours) / Median(theirs), Median(differences));
        }

        // Writes and the waits that end without a reply, ours alone.
        const RegisterBlock rows = Blocks::Rows;
        std::vector<double> writes;
        for (int round = 0; round < kRounds; ++round)
            writes.push_back(Timed([&] { failed |= link.WriteBlock(rows, 500) != WriteResult::Acknowledged; }));
        const std::uint32_t writeBytes = 9 + 2 * rows.quantity + 8;
        std::printf("write %-4u %7u %10.2f %10.2f\n", rows.quantity, baud,
                    WireTimeMicrosAt(writeBytes, k8n2, baud) / 1000.0, Median(writes));
        // Each after a sound exchange, so no fault before it is waited out.
        display.InjectFault({sim::FaultKind::Exception, 2});
        const double exception = Timed([&] { link.ReadBlock(rows, 3000); });
        link.ReadBlock(rows, 500);
        display.InjectFault({sim::FaultKind::Silent});
        const double silent = Timed([&] { link.ReadBlock(rows, 300); });
        const double limit = 300 + WireTimeMicrosAt(8 + 37, k8n2, baud) / 1000.0;
        std::printf("%7u baud: a silent display is given up after %.1f ms (its pause of 300 ms and the wire\n"
                    "%12s time of request and reply: %.1f ms); an exception reply ends a 3000 ms wait after %.1f ms\n\n",
                    baud, silent, "", limit, exception);
        if (display.LateReplies() > 0)
            std::printf("%7u baud: %d of the simulator's replies went out with a gap (this machine was busy)\n\n",
                        baud, display.LateReplies());
        link.ClosePort();
        modbus_close(peer);
        modbus_free(peer);
        display.Stop();
    }
    std::printf("A pseudo-terminal takes the request at once; the simulator counts its wire time from\n"
                "its arrival and paces the reply at the rate, so no exchange beats the wire.\n");
    if (failed)
        std::fprintf(stderr, "some exchange failed\n");
    return failed ? 1 : 0;
}
