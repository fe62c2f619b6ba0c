// vtsim: a simulated VT5/RQ8 display on a pseudo-terminal, for trying the tool
// without a panel: vtsim --link /tmp/vt-com1, then VT_COM1=/tmp/vt-com1 vtconfig.
#include "Modbus.h"
#include "DeviceServer.h"
#include "SimDisplay.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnSignal(int)
{
    interrupted = 1;
}

int Usage(std::ostream& out = std::cerr)
{
    out << "usage: vtsim --link PATH|--tcp PORT|--modbus-tcp PORT [--address 1-247] [--mode 0-3] [--rate-code 0-9] [--verbose]\n"
                 "             [--fault silent|bad-crc|other-address|exception=N|truncate=N|garbage|late=MS\n"
                 "                      |refuse-write=REGISTER[@ADDRESS]|alter-write=REGISTER[@ADDRESS]]\n"
                 "             [--set REGISTER=VALUE]... [--extra-address 1-247]...\n"
                 "             [--reply-delay MS] [--strict|--lenient] [--half-duplex] [--echo] [--chatter MS]\n"
                 "             [--gateway-timeout MS] [--gateway-exception 10|11]\n"
                 "  --link makes PATH a symbolic link to the display's device; an existing PATH\n"
                 "  is replaced only when it is such a link itself.\n"
                 "  --tcp PORT serves the display's RTU frames on 127.0.0.1:PORT, as a serial\n"
                 "  device server does (tcp://127.0.0.1:PORT); --modbus-tcp PORT serves it as a\n"
                 "  Modbus TCP gateway (modbus-tcp://127.0.0.1:PORT). The device server has one\n"
                 "  client at a time and tells a second \"Port already in use\" before it closes;\n"
                 "  the gateway serves several at once, their requests in turn. It waits\n"
                 "  --gateway-timeout MS for the display (1000; a gateway that retries waits\n"
                 "  longer), then gives the request up unanswered, or answers it with\n"
                 "  --gateway-exception 10 or 11 as many gateways do.\n"
                 "  --fault spoils every reply until vtsim exits: no reply, a wrong CRC, another\n"
                 "  address, exception N, only the first N bytes, noise ahead of the reply, or the\n"
                 "  reply MS milliseconds late. refuse-write refuses every write that covers the\n"
                 "  register with exception 3; alter-write acknowledges it, but the register keeps\n"
                 "  the value with its lowest bit flipped; with @ADDRESS, on that display alone\n"
                 "  (4305@2), else on every display of the line.\n"
                 "  --extra-address puts another display on the same line at that address, with\n"
                 "  registers of its own.\n"
                 "  --set gives a register a value at start: 4029=0xC100; from 7500 on a number\n"
                 "  is a single-precision value (7611=100 is 100.0), 0x... the raw 32 bits.\n"
                 "  --reply-delay: the display's turnaround after the 3.5 characters a reply waits.\n"
                 "  --strict (the default) keeps the serial line's timing: a request must follow\n"
                 "  3.5 silent characters, without gaps or trailing bytes; --lenient takes any.\n"
                 "  --half-duplex: bytes that come while the display answers garble the answer.\n"
                 "  --echo hands every byte received straight back, as an echoing RS-485 adapter.\n"
                 "  --chatter MS sends a byte of noise every MS milliseconds, for ever.\n";
    return 2;
}

bool ParseNumber(const char* text, long low, long high, std::uint8_t* out)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < low || value > high)
        return false;
    *out = static_cast<std::uint8_t>(value);
    return true;
}

bool ParseTcpPort(const char* text, std::uint16_t* out)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 1 || value > 65535)
        return false;
    *out = std::uint16_t(value);
    return true;
}

bool ParseMilliseconds(const char* text, int* out)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > 60000)
        return false;
    *out = int(value);
    return true;
}

// Where the symbolic link at `path` points; empty when it is none.
std::string LinkTarget(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

// Why `path` may not be replaced by the display's link; empty when it may:
// nothing is there, or a symbolic link to a pseudo-terminal, as vtsim makes.
std::string ReplaceableLink(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return errno == ENOENT ? std::string() : std::strerror(errno);
    if (!S_ISLNK(status.st_mode))
        return "it is not a symbolic link";
    if (LinkTarget(path).rfind("/dev/pts/", 0) != 0)
        return "it links to " + LinkTarget(path) + ", not to a pseudo-terminal";
    return {};
}

// A register of the display's map, in decimal.
bool RegisterNumber(const std::string& text, unsigned* reg)
{
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end || number > 0xFFFF || !RegisterImage().Slot(unsigned(number)))
        return false;
    *reg = unsigned(number);
    return true;
}

// A fault as the command line names it, applied to every reply.
bool ParseFault(const std::string& text, sim::Fault* fault)
{
    using sim::FaultKind;
    const std::size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : text.substr(equals + 1);
    std::uint8_t number = 0;
    unsigned reg = 0;
    long delay = 0;
    char* end = nullptr;
    fault->untilCleared = true;
    if (name == "silent" && value.empty())
        fault->kind = FaultKind::Silent;
    else if (name == "bad-crc" && value.empty())
        fault->kind = FaultKind::BadCrc;
    else if (name == "other-address" && value.empty())
        fault->kind = FaultKind::OtherAddress;
    else if (name == "garbage" && value.empty())
        *fault = {FaultKind::Prefix, 3, true};
    else if (name == "exception" && ParseNumber(value.c_str(), 1, 255, &number))
        *fault = {FaultKind::Exception, number, true};
    else if (name == "truncate" && ParseNumber(value.c_str(), 0, 255, &number))
        *fault = {FaultKind::Truncate, number, true};
    else if ((name == "refuse-write" || name == "alter-write")
             && RegisterNumber(value.substr(0, value.find('@')), &reg)
             && (value.find('@') == std::string::npos || ParseNumber(value.c_str() + value.find('@') + 1, 1, 247, &number))) {
        *fault = {name == "refuse-write" ? FaultKind::RefuseWrite : FaultKind::AlterWrite, int(reg), true};
        fault->address = number;  // REGISTER@ADDRESS: that display alone
    }
    else if (name == "late" && !value.empty() && (delay = std::strtol(value.c_str(), &end, 10)) >= 0
             && delay <= 60000 && !*end)
        *fault = {FaultKind::Late, int(delay), true};
    else
        return false;
    return true;
}

// "REGISTER=VALUE": a register of the display's map and an integer (decimal or
// 0x...), or a number with a point for the 32-bit area's floats.
bool ParseSetting(const std::string& text, std::pair<unsigned, std::uint32_t>* setting)
{
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos)
        return false;
    unsigned reg = 0;
    if (!RegisterNumber(text.substr(0, equals), &reg))
        return false;
    char* end = nullptr;
    const char* value = text.c_str() + equals + 1;
    const bool rawBits = value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    std::uint32_t bits;
    if (reg >= RegisterImage::kFirst32 && !rawBits) {
        // The 32-bit area holds single-precision values: a number is one.
        bits = FloatToBits(std::strtof(value, &end));
    } else {
        const unsigned long number = std::strtoul(value, &end, 0);
        if (number > (reg >= RegisterImage::kFirst32 ? 0xFFFFFFFFul : 0xFFFFul))
            return false;
        bits = std::uint32_t(number);
    }
    if (!*value || *end)
        return false;
    *setting = {unsigned(reg), bits};
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    sim::SimDisplay::Options options;
    std::string link;
    bool verbose = false;
    sim::Fault fault {sim::FaultKind::Silent};
    bool faulty = false;
    std::vector<std::pair<unsigned, std::uint32_t>> settings;
    std::pair<unsigned, std::uint32_t> setting;
    int chatterMs = 0;
    int gatewayTimeoutMs = 1000;
    std::uint8_t gatewayException = 0;
    std::uint8_t extra = 0;
    std::uint16_t tcpPort = 0;
    sim::DeviceServer::Protocol protocol = sim::DeviceServer::Protocol::RtuOverTcp;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help") {
            Usage(std::cout);
            return 0;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--link" && value) {
            link = value;
            ++i;
        } else if ((arg == "--tcp" || arg == "--modbus-tcp") && value && ParseTcpPort(value, &tcpPort)) {
            protocol = arg == "--tcp" ? sim::DeviceServer::Protocol::RtuOverTcp : sim::DeviceServer::Protocol::ModbusTcp;
            ++i;
        } else if (arg == "--address" && value && ParseNumber(value, 1, 247, &options.address)) {
            ++i;
        } else if (arg == "--mode" && value && ParseNumber(value, 0, 3, &options.mode)) {
            ++i;
        } else if (arg == "--rate-code" && value && ParseNumber(value, 0, 9, &options.rateCode)) {
            ++i;
        } else if (arg == "--extra-address" && value && ParseNumber(value, 1, 247, &extra)) {
            options.moreAddresses.push_back(extra);
            ++i;
        } else if (arg == "--set" && value && ParseSetting(value, &setting)) {
            settings.push_back(setting);
            ++i;
        } else if (arg == "--fault" && value && ParseFault(value, &fault)) {
            faulty = true;
            ++i;
        } else if (arg == "--reply-delay" && value && ParseMilliseconds(value, &options.replyDelayMs)) {
            ++i;
        } else if (arg == "--gateway-timeout" && value && ParseMilliseconds(value, &gatewayTimeoutMs)) {
            ++i;
        } else if (arg == "--gateway-exception" && value && ParseNumber(value, 10, 11, &gatewayException)) {
            ++i;
        } else if (arg == "--chatter" && value && ParseMilliseconds(value, &chatterMs) && chatterMs > 0) {
            ++i;
        } else if (arg == "--strict" || arg == "--lenient") {
            options.strict = arg == "--strict";
        } else if (arg == "--half-duplex") {
            options.halfDuplex = true;
        } else if (arg == "--echo") {
            options.echo = true;
        } else {
            return Usage();
        }
    }
    if (link.empty() == (tcpPort == 0))
        return Usage();
    if (verbose)
        options.log = &std::cout;

    sim::SimDisplay display(options);
    std::string error;
    if (!display.Start(&error)) {
        std::cerr << "vtsim: " << error << "\n";
        return 1;
    }
    sim::DeviceServer server(display, protocol, options.log);
    server.GiveUpAfter(gatewayTimeoutMs, gatewayException);
    if (tcpPort != 0 && !server.Start(tcpPort, &error)) {
        std::cerr << "vtsim: " << error << "\n";
        return 1;
    }
    // Only a link that an earlier vtsim left is replaced, never a file or a
    // device someone else put there.
    if (!link.empty()) {
        if (std::string why = ReplaceableLink(link); !why.empty()) {
            std::cerr << "vtsim: will not replace " << link << ": " << why << "\n";
            return 1;
        }
        ::unlink(link.c_str());
        if (::symlink(display.DevicePath().c_str(), link.c_str()) != 0) {
            std::cerr << "vtsim: cannot link " << link << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    if (faulty)
        display.InjectFault(fault);
    display.SetChatter(chatterMs);
    for (const auto& [reg, bits] : settings)
        display.SetRegister(reg, bits);
    // Ready to be stopped cleanly before anyone is told the device.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::cout << (tcpPort != 0 ? server.Path() : display.DevicePath()) << std::endl;
    while (!interrupted)
        ::usleep(50000);
    server.Stop();
    display.Stop();
    if (!link.empty() && LinkTarget(link) == display.DevicePath())
        ::unlink(link.c_str());
    return 0;
}
