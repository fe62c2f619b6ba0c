// The Win32 serial layer against a double of the kernel32 comm calls, for
// what the simulator under Wine cannot show: a driver that takes transmit
// toggle, one that never reports transmit-empty, the fields of a port that
// another program left with every flag on, system messages in Polish.
#include "Checks.h"
#include "SerialPort.h"

#include <algorithm>
#include <chrono>

namespace {

using kernel32::Port;

const serial::LineSettings k38400odd {38400, serial::Parity::Odd, 1};
const serial::LineSettings k9600twoStops {9600, serial::Parity::None, 2};

// A port as another program may leave it: flow control of every kind, an
// error character, nulls stripped, abort on error, 7 bits at 4800.
DCB LeftByAnotherProgram()
{
    DCB dcb {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.Parity = MARKPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fBinary = FALSE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fOutxDsrFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fDsrSensitivity = TRUE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = TRUE;
    dcb.fInX = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.fNull = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fAbortOnError = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    return dcb;
}

COMMTIMEOUTS TimeoutsLeftByAnotherProgram()
{
    return COMMTIMEOUTS {0, 0, 0, 0, 0};  // reads and writes that wait for ever
}

void FoundLikeThat()
{
    kernel32::Reset();
    Port().dcb = LeftByAnotherProgram();
    Port().timeouts = TimeoutsLeftByAnotherProgram();
}

bool SameDcb(const DCB& a, const DCB& b)
{
    return a.BaudRate == b.BaudRate && a.ByteSize == b.ByteSize && a.Parity == b.Parity && a.StopBits == b.StopBits
           && a.fBinary == b.fBinary && a.fParity == b.fParity && a.fOutxCtsFlow == b.fOutxCtsFlow
           && a.fOutxDsrFlow == b.fOutxDsrFlow && a.fDtrControl == b.fDtrControl
           && a.fDsrSensitivity == b.fDsrSensitivity && a.fTXContinueOnXoff == b.fTXContinueOnXoff
           && a.fOutX == b.fOutX && a.fInX == b.fInX && a.fErrorChar == b.fErrorChar && a.fNull == b.fNull
           && a.fRtsControl == b.fRtsControl && a.fAbortOnError == b.fAbortOnError;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b)
{
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout && a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier
           && a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant
           && a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier
           && a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

bool Called(const std::string& call)
{
    const auto& calls = Port().calls;
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

long long MillisSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
    checks::Tally tally;

    tally.Run("a port left with every flag on gets a raw line, every field set", [] {
        FoundLikeThat();
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("\\\\.\\COM3", k38400odd, &port, &failure));
        const DCB& dcb = Port().dcb;
        CHECK_EQ(dcb.BaudRate, 38400ul);
        CHECK_EQ(int(dcb.ByteSize), 8);
        CHECK_EQ(int(dcb.Parity), ODDPARITY);
        CHECK_EQ(int(dcb.StopBits), ONESTOPBIT);
        CHECK(dcb.fBinary && dcb.fParity);
        CHECK(!dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fDsrSensitivity);
        CHECK(!dcb.fOutX && !dcb.fInX && dcb.fTXContinueOnXoff);
        CHECK(!dcb.fErrorChar && !dcb.fNull && !dcb.fAbortOnError);
        CHECK_EQ(int(dcb.fDtrControl), DTR_CONTROL_DISABLE);
        CHECK_EQ(int(dcb.fRtsControl), RTS_CONTROL_TOGGLE);
        CHECK(port.rts == serial::RtsDrive::Driver);
        // Reads return at once with what is there; writes end in bounded time.
        const COMMTIMEOUTS& timeouts = Port().timeouts;
        CHECK_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
        CHECK_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, 0ul);
        CHECK(timeouts.WriteTotalTimeoutMultiplier > 0 && timeouts.WriteTotalTimeoutConstant > 0);
        serial::Close(port);

        FoundLikeThat();
        CHECK(serial::Open("\\\\.\\COM3", k9600twoStops, &port, &failure));
        CHECK_EQ(int(Port().dcb.Parity), NOPARITY);
        CHECK_EQ(int(Port().dcb.StopBits), TWOSTOPBITS);
        CHECK(!Port().dcb.fParity);
        serial::Close(port);
    });

    tally.Run("closing puts back the settings and time-outs found, and so does an open refused halfway", [] {
        FoundLikeThat();
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        serial::Close(port);
        CHECK(SameDcb(Port().dcb, LeftByAnotherProgram()));
        CHECK(SameTimeouts(Port().timeouts, TimeoutsLeftByAnotherProgram()));
        CHECK(Called("CloseHandle") && !Port().open);

        // An adapter whose chip runs 115200 as 120000: refused, naming the rate.
        FoundLikeThat();
        Port().rateAsked = 115200;
        Port().rateReported = 120000;
        CHECK(!serial::Open("COM3", {115200, serial::Parity::None, 1}, &port, &failure));
        CHECK(failure.lineRefused);
        CHECK_EQ(failure.baudReadBack, 120000u);
        CHECK(SameDcb(Port().dcb, LeftByAnotherProgram()));
        CHECK(SameTimeouts(Port().timeouts, TimeoutsLeftByAnotherProgram()));
        CHECK(!Port().open);
    });

    tally.Run("a driver that takes transmit toggle drives RTS itself", [] {
        kernel32::Reset();
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        const std::uint8_t request[8] = {1, 3, 0x0F, 0xA6, 0, 1, 0x66, 0xE9};
        int osError = -1;
        CHECK_EQ(serial::Write(port, request, 8, &osError), 8u);
        CHECK_EQ(osError, 0);
        CHECK(Called("WriteFile 8"));
        CHECK(!Called("SETRTS") && !Called("CLRRTS"));
        serial::Close(port);
    });

    tally.Run("a driver that refuses toggle: RTS raised before the write and dropped after transmit-empty", [] {
        kernel32::Reset();
        Port().takesToggle = false;
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        CHECK(port.rts == serial::RtsDrive::Manual);
        CHECK_EQ(int(Port().dcb.fRtsControl), RTS_CONTROL_DISABLE);
        CHECK(Port().statesAsked.size() >= 2 && Port().statesAsked[0].fRtsControl == RTS_CONTROL_TOGGLE);
        Port().calls.clear();
        const std::uint8_t request[8] = {1, 3, 0x0F, 0xA6, 0, 1, 0x66, 0xE9};
        int osError = -1;
        CHECK_EQ(serial::Write(port, request, 8, &osError), 8u);
        CHECK_EQ(osError, 0);
        // RTS stays up one character (11 bits at 9600) past transmit-empty,
        // while the last byte shifts out.
        const std::vector<std::string> expected {"SETRTS", "WriteFile 8", "EV_TXEMPTY", "Sleep 2", "CLRRTS"};
        CHECK(Port().calls == expected);
        serial::Close(port);
    });

    tally.Run("a driver that never reports transmit-empty holds a write only for its wire time and a margin", [] {
        kernel32::Reset();
        Port().takesToggle = false;
        Port().reportsTxEmpty = false;
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        const std::uint8_t request[8] = {1, 3, 0x0F, 0xA6, 0, 1, 0x66, 0xE9};
        int osError = -1;
        const auto start = std::chrono::steady_clock::now();
        CHECK_EQ(serial::Write(port, request, 8, &osError), 8u);
        CHECK(MillisSince(start) < 2000);
        CHECK_EQ(osError, 0);
        CHECK(Port().calls.back() == "CLRRTS");
        CHECK(Port().pendingWait == nullptr);  // the wait was ended, not left behind
        serial::Close(port);
    });

    tally.Run("the readable wait: a negative time-out only looks, and input or a lost port ends it", [] {
        kernel32::Reset();
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        int osError = -1;
        auto start = std::chrono::steady_clock::now();
        CHECK(serial::WaitReadable(port, -5000000, &osError) == serial::WaitResult::TimedOut);
        CHECK(MillisSince(start) < 1000);
        start = std::chrono::steady_clock::now();
        CHECK(serial::WaitReadable(port, 50000, &osError) == serial::WaitResult::TimedOut);
        CHECK(MillisSince(start) >= 40);
        CHECK(Port().pendingWait == nullptr);
        Port().input = {1, 3, 2};
        CHECK(serial::WaitReadable(port, 1000000, &osError) == serial::WaitResult::Readable);
        std::uint8_t bytes[8] = {};
        CHECK_EQ(serial::Read(port, bytes, sizeof bytes, &osError), 3u);
        Port().gone = true;
        CHECK(serial::WaitReadable(port, 1000000, &osError) == serial::WaitResult::Failed);
        CHECK_EQ(osError, ERROR_BAD_COMMAND);
        CHECK(serial::ErrorText(osError) == "The device does not respond (the adapter was unplugged or failed)");
        Port().gone = false;
        serial::Close(port);
    });

    tally.Run("a refused wait is tried once more before the port counts as lost; reads never flush", [] {
        kernel32::Reset();
        serial::Port port;
        serial::OpenFailure failure;
        CHECK(serial::Open("COM3", k9600twoStops, &port, &failure));
        int osError = -1;
        Port().refusedWaits = 1;
        CHECK(serial::WaitReadable(port, 20000, &osError) == serial::WaitResult::TimedOut);
        CHECK_EQ(osError, 0);
        Port().input = {1, 3, 2};
        Port().refusedWaits = 1;
        CHECK(serial::WaitReadable(port, 1000000, &osError) == serial::WaitResult::Readable);
        std::uint8_t bytes[8] = {};
        CHECK_EQ(serial::Read(port, bytes, sizeof bytes, &osError), 3u);
        CHECK(!Called("FlushFileBuffers"));  // a blocking wait for the transmit queue, of no use to a read
        Port().refusedWaits = 2;
        CHECK(serial::WaitReadable(port, 20000, &osError) == serial::WaitResult::Failed);
        CHECK_EQ(osError, ERROR_INVALID_PARAMETER);
        serial::Close(port);
    });

    tally.Run("ports are opened by their device names, COM10 and up too", [] {
        kernel32::Reset();
        serial::Port port;
        serial::OpenFailure failure;
        const char* names[][2] = {{"COM12", "\\\\.\\COM12"}, {"com3", "\\\\.\\COM3"}, {"\\\\.\\COM5", "\\\\.\\COM5"}};
        for (const auto& name : names) {
            CHECK(serial::Open(name[0], k9600twoStops, &port, &failure));
            CHECK(Port().openedPath == name[1]);
            serial::Close(port);
        }
        Port().present = false;
        CHECK(!serial::Open("COM13", k9600twoStops, &port, &failure));
        CHECK(!failure.lineRefused);
        CHECK(serial::ErrorText(failure.osError) == "No such port");
    });

    tally.Run("the system's words for an error reach the user as UTF-8", [] {
        kernel32::Reset();
        Port().systemMessage = L"Urz\u0105dzenie do\u0142\u0105czone do systemu nie dzia\u0142a.\r\n";
        CHECK(serial::ErrorText(ERROR_SEM_TIMEOUT)
              == "Urz\xC4\x85" "dzenie do\xC5\x82\xC4\x85" "czone do systemu nie dzia\xC5\x82" "a");
        Port().systemMessage = L"Die Anforderung wurde abgebrochen: \u00DCberlauf.\r\n";
        CHECK(serial::ErrorText(ERROR_SEM_TIMEOUT) == "Die Anforderung wurde abgebrochen: \xC3\x9C" "berlauf");
        Port().systemMessage.clear();
        CHECK(serial::ErrorText(ERROR_SEM_TIMEOUT) == "Error 121");
    });

    return tally.End();
}
