// How long finding a display takes: the search of one port against the
// simulated display, with the number of probes made and the time their bytes
// alone need on the wire, and one line's scan of every address beside
// libmodbus scanning the same line with the same reply wait; then the scan of
// one line at 9600 on the serial line, through a device server (RTU over
// TCP), through the simulator's Modbus TCP gateway, and through a gateway
// that retries each silent unit id for 2.4 s.
//   bench_search            all of it
//   bench_search --full     also the whole search of a port where nothing answers
//   bench_search --network  the one line's scans alone
#include "DisplaySearch.h"
#include "NetworkPeers.h"
#include "SimDisplay.h"

#include <modbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr SerialLine k9600_8n2 {1, 2};
constexpr std::uint32_t kProbeBytes = 8 + 7;  // request and read reply

double Seconds(Clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

bool StartDisplay(sim::SimDisplay& display)
{
    std::string error;
    if (!display.Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return false;
    }
    setenv("VT_COM1", display.DevicePath().c_str(), 1);
    return true;
}

// Searches COM 1 from `current` until a display is found or all is tried.
bool Search(const char* what, const SerialLine& current)
{
    const std::vector<ProbeTarget> order = SearchOrder(current, 1);
    DisplaySearch search(0, order);
    const Clock::time_point begin = Clock::now();
    if (!search.Open()) {
        std::fprintf(stderr, "cannot open COM 1\n");
        return false;
    }
    DisplaySearch::Step step;
    do
        step = search.Next();
    while (step == DisplaySearch::Step::Probed);
    const double elapsed = Seconds(Clock::now() - begin);
    double wire = 0;
    for (std::size_t k = 0; k < search.Tried(); ++k)
        wire += double(WireTimeMicros(kProbeBytes, order[k].line.modeIndex, order[k].line.rateIndex)) / 1e6;
    std::string found = "nothing";
    if (!search.Found().empty())
        found = "address " + std::to_string(search.Found()[0].address) + " at " + DescribeLine(search.Found()[0].line);
    std::printf("%-34s %-26s %6zu %9.2f %9.2f %8.2f\n", what, found.c_str(), search.Tried(), wire, elapsed,
                1000 * (elapsed - wire) / double(search.Tried()));
    return true;
}

// Every address at 9600 8n2 where nothing answers: our probes, then
// libmodbus's reads of the same register with the same reply wait.
bool ScanOneLine()
{
    sim::SimDisplay display;
    if (!StartDisplay(display))
        return false;
    display.InjectFault({sim::FaultKind::Silent, 0, true});
    std::vector<ProbeTarget> order;
    for (unsigned address = 1; address <= 247; ++address)
        order.push_back({std::uint8_t(address), k9600_8n2});
    DisplaySearch search(0, order);
    Clock::time_point begin = Clock::now();
    if (!search.Open())
        return false;
    while (search.Next() == DisplaySearch::Step::Probed) {
    }
    const double ours = Seconds(Clock::now() - begin);

    modbus_t* peer = modbus_new_rtu(display.DevicePath().c_str(), 9600, 'N', 8, 2);
    if (!peer || modbus_connect(peer) != 0) {
        std::fprintf(stderr, "libmodbus cannot open %s\n", display.DevicePath().c_str());
        return false;
    }
    // The same wait as a probe's, counted as ours is from the moment the
    // request is handed over: its wire time, 3.5 characters, the turnaround
    // and the first byte of a reply.
    const std::uint64_t waitMicros = WireTimeMicros(8 + 1, k9600_8n2.modeIndex, k9600_8n2.rateIndex)
                                     + FrameGapMicros(k9600_8n2.modeIndex, 9600)
                                     + DisplaySearch::kProbeLatencyMs * 1000u;
    modbus_set_response_timeout(peer, 0, std::uint32_t(waitMicros));
    begin = Clock::now();
    for (int address = 1; address <= 247; ++address) {
        std::uint16_t value;
        modbus_set_slave(peer, address);
        modbus_read_registers(peer, int(kProbeRegister), 1, &value);
    }
    const double theirs = Seconds(Clock::now() - begin);
    modbus_close(peer);
    modbus_free(peer);
    const double wire = 247 * double(WireTimeMicros(kProbeBytes, k9600_8n2.modeIndex, k9600_8n2.rateIndex)) / 1e6;
    std::printf("\nOne line, 9600 8n2, 247 silent addresses, reply wait %.1f ms from handing the request over:\n"
                "  wire %.2f s   ours %.2f s   libmodbus %.2f s   ratio %.2f\n",
                double(waitMicros) / 1000, wire, ours, theirs, ours / theirs);
    return true;
}

// Addresses 1 to `last` at 9600 8n2 on `path`, where the displays behind it
// answer some; one line of figures.
bool ScanThrough(const char* what, const std::string& path, unsigned last)
{
    std::vector<ProbeTarget> order;
    for (unsigned address = 1; address <= last; ++address)
        order.push_back({std::uint8_t(address), k9600_8n2});
    DisplaySearch search(path, order);
    const Clock::time_point begin = Clock::now();
    if (!search.Open()) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return false;
    }
    while (!DisplaySearch::Ends(search.Next())) {
    }
    const double elapsed = Seconds(Clock::now() - begin);
    std::string found;
    for (const FoundDisplay& display : search.Found())
        found += (found.empty() ? "" : ",") + std::to_string(display.address);
    const double perProbe = elapsed / double(search.Tried());
    std::printf("%-40s %6zu %-8s %8.2f %8.1f %11.1f\n", what, search.Tried(), found.c_str(), elapsed,
                1000 * perProbe, 247 * perProbe / 60);
    for (const std::string& note : search.EndNotes())
        std::printf("  %s\n", note.c_str());
    return true;
}

// One line at 9600 8n2 scanned address by address on each way to it.
bool ScanEachWay()
{
    std::printf("\nOne line at 9600 8n2 scanned address by address; a display at 200 (7 behind the gateways).\n"
                "per probe: the time of the whole scan over the probes made; 247 ids: that, for a whole line.\n\n");
    std::printf("%-40s %6s %-8s %8s %8s %11s\n", "way", "probes", "found", "took s", "per ms", "247 ids min");
    sim::SimDisplay::Options options;
    options.address = 200;
    {
        sim::SimDisplay display(options);
        if (!StartDisplay(display) || !ScanThrough("serial line", display.DevicePath(), 247))
            return false;
    }
    for (const Protocol protocol : {Protocol::RtuOverTcp, Protocol::ModbusTcp}) {
        const bool mbap = protocol == Protocol::ModbusTcp;
        sim::SimDisplay::Options behind = options;
        if (mbap)
            behind.address = 7;
        sim::SimDisplay display(behind);
        if (!StartDisplay(display))
            return false;
        sim::DeviceServer server(display, protocol);
        std::string error;
        if (!server.Start(0, &error)) {
            std::fprintf(stderr, "device server: %s\n", error.c_str());
            return false;
        }
        if (!ScanThrough(mbap ? "vtsim's gateway (silent ids unanswered)" : "device server (RTU over TCP)",
                         server.Path(), mbap ? 16 : 247))
            return false;
    }
    RetryingGateway gateway({7}, 2400);
    return gateway.Ready() && ScanThrough("gateway retrying silent ids for 2.4 s", gateway.Path(), 8);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool full = argc > 1 && std::strcmp(argv[1], "--full") == 0;
    if (argc > 1 && std::strcmp(argv[1], "--network") == 0)
        return ScanEachWay() ? 0 : 1;
    std::printf("The search of COM 1 from 9600 8n2 with address 1 typed, probe turnaround %u ms,\n"
                "simulator keeping the line's timing. wire: the probes' bytes at their lines;\n"
                "over: per probe, what is not wire time (frame gaps, turnaround, the PC).\n"
                "Budgets: address 1 at the tool's line under 1 s; a silent port under 10 minutes.\n\n",
                DisplaySearch::kProbeLatencyMs);
    std::printf("%-34s %-26s %6s %9s %9s %8s\n", "display", "found", "probes", "wire s", "took s", "over ms");
    {
        sim::SimDisplay display({1, 1, 2});
        if (!StartDisplay(display) || !Search("address 1 at 9600 8n2", k9600_8n2))
            return 1;
    }
    {
        sim::SimDisplay display({200, 3, 6});
        if (!StartDisplay(display) || !Search("address 200 at 38400 8o1", k9600_8n2))
            return 1;
    }
    {
        // Half duplex, answering 40 ms after the 3.5 characters, at 2400.
        sim::SimDisplay::Options slow;
        slow.rateCode = 0;
        slow.halfDuplex = true;
        slow.replyDelayMs = 40;
        sim::SimDisplay display(slow);
        if (!StartDisplay(display) || !Search("address 1 at 2400 8n2, 40 ms late", k9600_8n2))
            return 1;
    }
    if (full) {
        sim::SimDisplay display;
        if (!StartDisplay(display))
            return 1;
        display.InjectFault({sim::FaultKind::Silent, 0, true});
        if (!Search("none, from 2400 8n2", {1, 0}))
            return 1;
    }
    return ScanOneLine() && ScanEachWay() ? 0 : 1;
}
