// The Win32 build of the link against simulated displays, run under Wine by
// the Wine runner: the displays live on pseudo-terminals on the Linux side,
// behind COM7 and COM12 of the Wine prefix, and behind device servers on the
// loopback, reached through Winsock. Where a case needs the other side
// (start or stop a display, look at the line), it asks the runner on
// standard output ("@stop 12") and reads its answer from standard input.
#include "Checks.h"
#include "Modbus.h"
#include "PortList.h"
#include "NetworkTransport.h"
#include "PortMessages.h"
#include "ProgramLink.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <windows.h>

namespace {

constexpr std::uint8_t k8n1 = 0, k8n2 = 1;
constexpr std::uint8_t k9600 = 2, k38400 = 5;
constexpr std::uint8_t kCom7 = 6;

std::string Ask(const std::string& request)
{
    std::printf("@%s\n", request.c_str());
    std::fflush(stdout);
    char answer[512] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return "no answer";
    answer[std::strcspn(answer, "\r\n")] = '\0';
    return answer;
}

bool Has(const std::vector<PortChoice>& list, const std::string& label)
{
    return std::any_of(list.begin(), list.end(), [&](const PortChoice& choice) { return choice.label == label; });
}

// A display behind a device server or a gateway on the Linux side.
struct Served {
    int display;
    const char* protocol;  // as the runner names it
    const char* scheme;    // of the paths to it
    const char* name;      // as the tool names it
    std::string path;      // what the runner answered: the path to open

    // "127.0.0.1:40123"
    std::string HostAndPort() const { return path.substr(std::strlen(scheme)); }
    // A request about this display: Ask("set", "4025 7") asks "@set 1 4025 7".
    std::string Ask(const char* request, const std::string& rest) const
    {
        return ::Ask(std::string(request) + " " + std::to_string(display) + " " + rest);
    }
    std::string Case(const char* what) const { return std::string(name) + ": " + what; }
};

}  // namespace

int main()
{
    checks::Tally tally;

    tally.Run("a driver that refuses transmit toggle: the port opens with RTS by hand and every setting its own", [] {
        CHECK(Ask("start 7") == "started");
        // As another program left it: XON/XOFF and CTS flow control on, 4800 baud.
        CHECK(Ask("spoil 7") == "spoiled");
        ResetLink();
        CHECK_EQ(Link.OpenPort(kCom7, k8n2, k9600), 1);
        CHECK(Link.SerialPortOf()->rts == serial::RtsDrive::Manual);
        CHECK(Link.PortDevice() == "\\\\.\\COM7");
        // Values that travel as XON (0x11) and XOFF (0x13), which flow control would eat.
        CHECK(Ask("set 7 4025 4371") == "set");  // 0x1113
        CHECK(Ask("set 7 4026 4881") == "set");  // 0x1311
        CHECK(Link.ReadBlock(Blocks::Brightness, 500) == ReadResult::Stored);
        CHECK_EQ(Image.Get(4025), 0x1113u);
        CHECK_EQ(Image.Get(4026), 0x1311u);
        CHECK(Ask("line 7") == "9600 8n2");
    });

    tally.Run("a write is acknowledged and the display holds its values", [] {
        for (unsigned k = 0; k < Blocks::Rows.quantity; ++k)
            Image.Set(Blocks::Rows.first + k, 0x1300 + 0x11 * k);
        CHECK(Link.WriteBlock(Blocks::Rows, 500) == WriteResult::Acknowledged);
        CHECK(Ask("get 7 4006") == std::to_string(0x1300));
        CHECK(Ask("get 7 4021") == std::to_string(0x1300 + 0x11 * 15));
    });

    // Wine refuses a parity mode on a pseudo-terminal, which cannot hold the
    // parity bit; the double sees the parity fields set.
    tally.Run("a reopen takes the new line, and the old one again", [] {
        CHECK_EQ(Link.OpenPort(kCom7, k8n1, k38400), 1);
        Link.ReadBlock(Blocks::Status, 100);  // the display at 9600 8n2 does not hear it
        CHECK(Ask("line 7") == "38400 8n1");
        CHECK_EQ(Link.OpenPort(kCom7, k8n2, k9600), 1);
        CHECK(Link.ReadBlock(Blocks::Status, 500) == ReadResult::Stored);
        CHECK(Ask("line 7") == "9600 8n2");
    });

    tally.Run("closing puts back the settings the port was found with", [] {
        CHECK_EQ(Link.ClosePort(), 1);
        CHECK(Ask("found 7") == "as found");
    });

    tally.Run("a port beyond COM 8 is listed by its name and opened as \\\\.\\COMn", [] {
        CHECK(Ask("start 12") == "started");
        const std::vector<PortChoice> list = ListPorts();
        CHECK(Has(list, "COM 12"));
        CHECK(list.size() > kCom7 && list[kCom7].label == "COM 7" && list[kCom7].present);
        const std::optional<unsigned> index = FindPort("COM12");
        CHECK(index && *index >= kPortCount);
        if (!index)
            return;
        CHECK(PortLabel(*index) == "COM 12");
        CHECK(PortPath(*index) == "\\\\.\\COM12");
        CHECK_EQ(Link.OpenPort(std::uint8_t(*index), k8n2, k9600), 1);
        CHECK(Link.ReadBlock(Blocks::Brightness, 500) == ReadResult::Stored);
        CHECK(Ask("line 12") == "9600 8n2");
    });

    tally.Run("a port that disappears is lost, named, and opens again once it is back", [] {
        const std::optional<unsigned> index = FindPort("COM 12");
        CHECK(index.has_value());
        if (!index)
            return;
        CHECK(Link.ReadBlock(Blocks::Status, 500) == ReadResult::Stored);
        CHECK(Ask("stop 12") == "stopped");
        CHECK(Link.ReadBlock(Blocks::Status, 500) == ReadResult::PortLost);
        CHECK(Link.PortLost());
        CHECK(Link.LostDevice() == "\\\\.\\COM12");
        CHECK(serial::ErrorText(Link.LostError())
              == "The device does not respond (the adapter was unplugged or failed)");
        CHECK_EQ(int(Settings.portOpen), 0);
        CHECK(Ask("start 12") == "started");
        CHECK(FindPort("COM12") == index);  // the same entry
        CHECK_EQ(Link.OpenPort(std::uint8_t(*index), k8n2, k9600), 1);
        CHECK(Link.ReadBlock(Blocks::Status, 500) == ReadResult::Stored);
        Link.ClosePort();
    });

    tally.Run("a missing port says so", [] {
        CHECK_EQ(Link.OpenDevice("COM99", k8n2, k9600), -1);
        CHECK(Link.LastOpenDevice() == "COM99");
        CHECK(serial::ErrorText(Link.LastOpenError()) == "No such port");
        // The system's own words for an error without words of ours, as UTF-8.
        CHECK(serial::ErrorText(ERROR_SHARING_VIOLATION).find("haring") != std::string::npos);
    });

    Served servedDisplays[] = {{1, "rtu", "tcp://", "RTU over TCP", {}}, {2, "mbap", "modbus-tcp://", "Modbus TCP", {}}};
    for (Served& served : servedDisplays) {
        tally.Run(served.Case("a block is read and stored").c_str(), [&] {
            served.path = served.Ask("serve", served.protocol);
            CHECK(served.path.rfind(served.scheme + std::string("127.0.0.1:"), 0) == 0);
            ResetLink();
            CHECK_EQ(Link.OpenDevice(served.path, k8n2, k9600), 1);
            CHECK(Link.PortDevice() == served.path);
            CHECK(served.Ask("set", "4025 4371") == "set");  // 0x1113
            CHECK(served.Ask("set", "4026 4881") == "set");  // 0x1311
            CHECK(Link.ReadBlock(Blocks::Brightness, 500) == ReadResult::Stored);
            CHECK_EQ(Image.Get(4025), 0x1113u);
            CHECK_EQ(Image.Get(4026), 0x1311u);
        });

        tally.Run(served.Case("a write is acknowledged and the display holds its values").c_str(), [&] {
            for (unsigned k = 0; k < Blocks::Rows.quantity; ++k)
                Image.Set(Blocks::Rows.first + k, 0x1311 + 0x11 * k);
            CHECK(Link.WriteBlock(Blocks::Rows, 500) == WriteResult::Acknowledged);
            CHECK(served.Ask("get", "4006") == std::to_string(0x1311));
            CHECK(served.Ask("get", "4021") == std::to_string(0x1311 + 0x11 * 15));
        });

        tally.Run(served.Case("a block of 32-bit registers is read").c_str(), [&] {
            CHECK(served.Ask("set", "7610 " + std::to_string(FloatToBits(12.5f))) == "set");
            CHECK(served.Ask("set", "7617 " + std::to_string(0x11131311u)) == "set");
            CHECK(Link.ReadBlock(Blocks::Alarms, 500) == ReadResult::Stored);
            CHECK(Image.GetFloat(7610) == 12.5f);
            CHECK_EQ(Image.Get(7617), 0x11131311u);
        });

        tally.Run(served.Case("a connection dropped mid-reply is lost, named, and made again").c_str(), [&] {
            CHECK(served.Ask("drop", "4") == "dropping");
            CHECK(Link.ReadBlock(Blocks::Rows, 500) == ReadResult::PortLost);
            CHECK(Link.PortLost());
            CHECK(Link.LostErrorText() == "Connection reset by peer");
            CHECK(PortLostText(Link, "COM 1")
                  == "The connection to " + served.HostAndPort() + " was lost: Connection reset by peer");
            CHECK_EQ(int(Settings.portOpen), 0);
            CHECK(served.Ask("set", "4022 2031") == "set");
            CHECK_EQ(Link.OpenDevice(served.path, k8n2, k9600), 1);
            CHECK(Link.ReadBlock(Blocks::Clock, 500) == ReadResult::Stored);
            CHECK_EQ(Image.Get(4022), 2031u);
            Link.ClosePort();
        });
    }

    tally.Run("a port where nothing listens is refused, in the tool's words", [] {
        const std::string path = Ask("serve 3 rtu");
        CHECK(Ask("unserve 3") == "unserved");
        const DWORD started = GetTickCount();
        CHECK_EQ(Link.OpenDevice(path, k8n2, k9600), -1);
        // Refused at once, not waited out as silence.
        CHECK(GetTickCount() - started < DWORD(kConnectTimeoutMs));
        CHECK(Link.LastOpenErrorText() == "Connection refused");
        CHECK(PortOpenFailureText(Link, path)
              == "Cannot open " + path.substr(std::strlen("tcp://")) + " (RTU over TCP): Connection refused");
        CHECK(!Link.IsOpen());
        CHECK_EQ(int(Settings.portOpen), 0);
    });

    tally.Run("a host that does not resolve says so", [] {
        CHECK_EQ(Link.OpenDevice("tcp://no-such-host.invalid:502", k8n2, k9600), -1);
        CHECK(Link.LastOpenErrorText().rfind("the host no-such-host.invalid does not resolve", 0) == 0);
        CHECK(PortOpenFailureText(Link, "COM 1").rfind(
                  "Cannot open COM 1 (no-such-host.invalid:502, RTU over TCP): the host no-such-host.invalid", 0)
              == 0);
        CHECK(!Link.IsOpen());
    });

    return tally.End();
}
