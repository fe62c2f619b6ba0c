// Reads over the network, from the request to the stored reply: ours over
// RTU over TCP and over Modbus TCP, beside libmodbus's Modbus TCP client,
// against the same simulated display behind the simulator's device server
// or gateway on the loopback. The device server takes one client at a time
// (the gateway several): each master has its rounds on a connection of its
// own, in turn.
#include "DeviceServer.h"
#include "Modbus.h"
#include "LenientDisplay.h"

#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Protocol = sim::DeviceServer::Protocol;

constexpr int kRounds = 101;
constexpr std::uint8_t k8n2 = 1, k115200 = 7;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Exchange>
double TimedMs(Exchange exchange)
{
    const Clock::time_point begin = Clock::now();
    exchange();
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

RegisterBlock BlockOf(std::uint16_t quantity)
{
    return {std::uint16_t(quantity > 34 ? 4300 : 4006), quantity, false};
}

// Our median read of `quantity` registers through a server of that protocol; -1 when a read failed.
double Ours(sim::SimDisplay& display, Protocol protocol, std::uint16_t quantity)
{
    sim::DeviceServer server(display, protocol);
    if (!server.Start(0))
        return -1;
    ConnectionSettings settings;
    RegisterImage image;
    ModbusLink link(settings, image);
    if (link.OpenDevice(server.Path(), k8n2, k115200) != 1)
        return -1;
    std::vector<double> times;
    bool failed = false;
    for (int round = 0; round < kRounds; ++round)
        times.push_back(TimedMs([&] { failed |= link.ReadBlock(BlockOf(quantity), 500) != ReadResult::Stored; }));
    link.ClosePort();
    return failed ? -1 : Median(times);
}

double Theirs(sim::SimDisplay& display, std::uint16_t quantity)
{
    sim::DeviceServer server(display, Protocol::ModbusTcp);
    if (!server.Start(0))
        return -1;
    modbus_t* peer = modbus_new_tcp("127.0.0.1", server.Port());
    if (!peer || modbus_set_slave(peer, 1) != 0 || modbus_connect(peer) != 0)
        return -1;
    modbus_set_response_timeout(peer, 1, 0);
    std::vector<double> times;
    bool failed = false;
    std::uint16_t values[125];
    const RegisterBlock block = BlockOf(quantity);
    for (int round = 0; round < kRounds; ++round)
        times.push_back(TimedMs([&] { failed |= modbus_read_registers(peer, block.first, quantity, values) != quantity; }));
    modbus_close(peer);
    modbus_free(peer);
    return failed ? -1 : Median(times);
}

}  // namespace

int main()
{
    const std::unique_ptr<sim::SimDisplay> started = StartLenientDisplay(9);  // 115200
    if (!started)
        return 1;
    sim::SimDisplay& display = *started;
    std::printf("Reads of holding registers over the loopback, median of %d rounds; the display on a\n"
                "pseudo-terminal at 115200 8n2 behind the simulator's device server (RTU over TCP) or\n"
                "gateway (Modbus TCP). wire: request and reply on the serial line.\n\n",
                kRounds);
    std::printf("%-9s %9s %14s %14s %14s\n", "read", "wire ms", "RTU/TCP ms", "Modbus TCP ms", "libmodbus ms");
    bool failed = false;
    for (std::uint16_t quantity : {4, 16, 50}) {
        const double rtu = Ours(display, Protocol::RtuOverTcp, quantity);
        const double mbap = Ours(display, Protocol::ModbusTcp, quantity);
        const double theirs = Theirs(display, quantity);
        failed |= rtu < 0 || mbap < 0 || theirs < 0;
        const std::uint32_t bytes = 8 + std::uint32_t(ExpectedResponseLength(quantity, 3)) + 1;
        std::printf("%-9u %9.2f %14.2f %14.2f %14.2f\n", quantity, WireTimeMicrosAt(bytes, k8n2, 115200) / 1000.0, rtu,
                    mbap, theirs);
    }
    display.Stop();
    if (failed)
        std::fprintf(stderr, "a read failed\n");
    return failed ? 1 : 0;
}
