// How long an exchange with the simulated display takes, from the request to
// the stored reply, beside the time its bytes need on the wire.
#include "Modbus.h"
#include "SimDisplay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Case {
    const char* name;
    bool write;
    std::uint16_t quantity;
};

constexpr int kRounds = 20;

}  // namespace

int main()
{
    const Case cases[] = {{"read 4", false, 4}, {"read 16", false, 16}, {"read 50", false, 50},
                          {"write 16", true, 16}};
    const struct { std::uint8_t rateIndex, rateCode; } rates[] = {{2, 2}, {7, 9}};
    std::printf("%-9s %7s %10s %10s %6s   (median of %d, mode 8n2, simulator latency %d ms)\n",
                "exchange", "baud", "took ms", "wire ms", "ratio", kRounds,
                sim::SimDisplay::Options {}.latencyMs);
    for (auto rate : rates) {
        sim::SimDisplay::Options options;
        options.rateCode = rate.rateCode;
        sim::SimDisplay display(options);
        std::string error;
        if (!display.Start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        setenv("VT_COM1", display.DevicePath().c_str(), 1);
        ResetLink();
        if (Link.OpenPort(0, 1, rate.rateIndex) != 1) {
            std::fprintf(stderr, "cannot open %s\n", display.DevicePath().c_str());
            return 1;
        }
        for (const Case& c : cases) {
            // 4006.. holds 16-bit registers; the table block takes 50.
            std::uint16_t start = c.quantity > 34 ? 4300 : 4006;
            std::vector<double> took;
            std::uint32_t requestBytes = 0, replyBytes = 0;
            for (int round = 0; round < kRounds; ++round) {
                auto begin = std::chrono::steady_clock::now();
                if (c.write) {
                    requestBytes = Link.SendFrame(Link.BuildWriteRequest16(1, start, c.quantity));
                    replyBytes = 8;
                    Link.WaitForReply(500, 7);
                    Link.ReceiveFrame();
                } else {
                    int expected = ExpectedResponseLength(c.quantity, 3);
                    requestBytes = Link.SendFrame(Link.BuildReadRequest(1, start, c.quantity));
                    replyBytes = std::uint32_t(expected + 1);
                    Link.WaitForReply(500, std::uint32_t(expected));
                    if (Link.CheckResponse(1) != 3 || Link.StoreResponse(start, expected) != 1)
                        std::fprintf(stderr, "%s: bad reply\n", c.name);
                }
                took.push_back(std::chrono::duration<double, std::milli>(
                                   std::chrono::steady_clock::now() - begin).count());
            }
            std::sort(took.begin(), took.end());
            double median = took[took.size() / 2];
            double wire = WireTimeMicros(requestBytes + replyBytes, 1, rate.rateIndex) / 1000.0;
            std::printf("%-9s %7u %10.2f %10.2f %6.2f\n", c.name, kPortRates[rate.rateIndex], median,
                        wire, median / wire);
        }
        display.Stop();
    }
    std::printf("A pseudo-terminal takes the request at once; only the reply is paced at the rate,\n"
                "so 'took' can stay under the wire time of request and reply together.\n");
    return 0;
}
