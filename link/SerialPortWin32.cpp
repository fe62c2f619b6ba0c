// Serial ports on Windows: the kernel32 comm calls. The port is opened for
// overlapped I/O so every wait can block on the handle with a time-out;
// every call waits for its own completion, so to the link they are
// synchronous. Reads ask only for what ClearCommError has already counted and
// the comm time-outs make them return at once.
#include "SerialPort.h"
#include "SystemTextWin32.h"

#include <windows.h>

#include <string>

namespace serial {

// What Close puts back: another program's settings are left as it had them.
struct FoundState {
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

namespace {

constexpr DWORD kEvents = EV_TXEMPTY | EV_RXCHAR;
// Past a frame's wire time and this, its bytes have left the transmitter,
// whether or not the driver ever reports transmit-empty.
constexpr DWORD kTransmitMarginMs = 100;
// A write ends within the wire time of its bytes and this, whatever holds
// the line up.
constexpr DWORD kWriteMarginMs = 500;

HANDLE AsHandle(const Port& port)
{
    return reinterpret_cast<HANDLE>(port.handle);
}

// "COM12" (any case) is opened as "\\.\COM12": only COM1 to COM9 are
// reachable by their bare name.
std::string PathOf(const std::string& device)
{
    if (device.size() > 3 && (device[0] | 0x20) == 'c' && (device[1] | 0x20) == 'o' && (device[2] | 0x20) == 'm'
        && device.find_first_not_of("0123456789", 3) == std::string::npos)
        return "\\\\.\\COM" + device.substr(3);
    return device;
}

// Milliseconds that `bytes` characters of the line take on the wire, rounded up.
DWORD WireMillis(const LineSettings& line, DWORD bytes)
{
    const unsigned bits = 1 + 8 + (line.parity != Parity::None) + line.stopBits;
    const ULONGLONG baud = line.baud ? line.baud : 1;
    return static_cast<DWORD>((ULONGLONG(bytes) * bits * 1000 + baud - 1) / baud);
}

// Every field that shapes the line, none inherited from the port's last
// user: XON/XOFF would eat 0x11 and 0x13 from frames, CTS or DSR flow
// control would hold writes for ever, an abort on error would make a framing
// error (routine while searching at the wrong rate) end every later call.
void SetRawLine(DCB* dcb, const LineSettings& line, DWORD rtsControl)
{
    dcb->BaudRate = line.baud;
    dcb->ByteSize = 8;
    dcb->Parity = line.parity == Parity::None ? NOPARITY : line.parity == Parity::Even ? EVENPARITY : ODDPARITY;
    dcb->StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fParity = line.parity != Parity::None;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fTXContinueOnXoff = TRUE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = rtsControl;
    dcb->fAbortOnError = FALSE;
}

// Reads return at once with what is there; a write gives up after its own
// wire time and a margin.
COMMTIMEOUTS BoundedTimeouts(const LineSettings& line)
{
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with both read totals 0
    timeouts.WriteTotalTimeoutMultiplier = WireMillis(line, 1) + 1;
    timeouts.WriteTotalTimeoutConstant = kWriteMarginMs;
    return timeouts;
}

void PutBack(HANDLE handle, const FoundState& found)
{
    DCB dcb = found.dcb;
    COMMTIMEOUTS timeouts = found.timeouts;
    SetCommState(handle, &dcb);
    SetCommTimeouts(handle, &timeouts);
}

// One overlapped operation with its own manual-reset event.
class Overlapped {
public:
    Overlapped() { state_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(state_.hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    OVERLAPPED* get() { return &state_; }
    HANDLE event() const { return state_.hEvent; }

    // Finishes a call that returned `started`: waits for it when pending.
    // False with *osError set when the call failed.
    bool Complete(HANDLE port, BOOL started, DWORD* transferred, int* osError)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            *osError = static_cast<int>(GetLastError());
            return false;
        }
        if (!GetOverlappedResult(port, &state_, transferred, TRUE)) {
            *osError = static_cast<int>(GetLastError());
            return false;
        }
        return true;
    }

private:
    OVERLAPPED state_ {};
};

enum class EventWait { Seen, TimedOut, Failed };

// Waits at most timeoutMs for the next comm event into *events.
EventWait WaitEventFor(HANDLE port, DWORD* events, DWORD timeoutMs, int* osError)
{
    Overlapped operation;
    DWORD unused = 0;
    *events = 0;
    BOOL started = WaitCommEvent(port, events, operation.get());
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        // Some drivers (Wine's among them) refuse the wait that follows one
        // ended by SetCommMask (error 87): the mask set again and a second
        // try tell a passing refusal from a port that is gone.
        SetCommMask(port, kEvents);
        *events = 0;
        started = WaitCommEvent(port, events, operation.get());
    }
    if (started)
        return EventWait::Seen;
    if (GetLastError() != ERROR_IO_PENDING) {
        *osError = static_cast<int>(GetLastError());
        return EventWait::Failed;
    }
    if (WaitForSingleObject(operation.event(), timeoutMs) != WAIT_OBJECT_0) {
        // Setting the mask again ends the pending wait; it must end before
        // its OVERLAPPED goes out of scope.
        SetCommMask(port, kEvents);
        GetOverlappedResult(port, operation.get(), &unused, TRUE);
        return EventWait::TimedOut;
    }
    if (!GetOverlappedResult(port, operation.get(), &unused, TRUE)) {
        if (GetLastError() == ERROR_OPERATION_ABORTED)
            return EventWait::TimedOut;
        *osError = static_cast<int>(GetLastError());
        return EventWait::Failed;
    }
    return EventWait::Seen;
}

DWORD MillisLeft(ULONGLONG deadline)
{
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Until the last byte has left the transmitter, at most boundMs.
void AwaitTransmitEmpty(HANDLE port, DWORD boundMs, int* osError)
{
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    DWORD events = 0;
    // Received characters may wake the wait too; only transmit-empty ends it.
    while (WaitEventFor(port, &events, MillisLeft(deadline), osError) == EventWait::Seen && !(events & EV_TXEMPTY)
           && MillisLeft(deadline) > 0) {
    }
}

}  // namespace

bool Open(const std::string& device, const LineSettings& line, Port* port, OpenFailure* failure)
{
    *failure = OpenFailure {};
    HANDLE handle = CreateFileA(PathOf(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failure->osError = static_cast<int>(GetLastError());
        return false;
    }
    auto found = std::make_shared<FoundState>();
    found->dcb.DCBlength = sizeof(DCB);
    // A device that keeps no comm settings is no serial port.
    bool set = GetCommState(handle, &found->dcb) && GetCommTimeouts(handle, &found->timeouts);
    const bool foundRead = set;
    DCB dcb = found->dcb;
    RtsDrive rts = RtsDrive::Driver;
    SetRawLine(&dcb, line, RTS_CONTROL_TOGGLE);  // RTS high only while bytes go out
    if (set && !SetCommState(handle, &dcb)) {
        // Many drivers (several USB adapters', Wine's) refuse the toggle:
        // this layer raises and drops RTS around each write instead.
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        rts = RtsDrive::Manual;
        set = SetCommState(handle, &dcb);
    }
    COMMTIMEOUTS timeouts = BoundedTimeouts(line);
    set = set && SetCommTimeouts(handle, &timeouts);
    DCB readBack {};
    readBack.DCBlength = sizeof(DCB);
    if (set && GetCommState(handle, &readBack) && !RateTaken(line.baud, readBack.BaudRate)) {
        failure->baudReadBack = readBack.BaudRate;
        SetLastError(ERROR_INVALID_PARAMETER);
        set = false;
    }
    if (!set) {
        failure->osError = static_cast<int>(GetLastError());
        failure->lineRefused = true;
        if (foundRead)
            PutBack(handle, *found);
        CloseHandle(handle);
        return false;
    }
    SetupComm(handle, 300, 300);
    SetCommMask(handle, kEvents);
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *port = {reinterpret_cast<Handle>(handle), rts, line, std::move(found), {}};
    return true;
}

void Close(const Port& port)
{
    if (port.found)
        PutBack(AsHandle(port), *port.found);
    CloseHandle(AsHandle(port));
}

void ReleaseForExit()
{
    // The system closes a dead process's handles; the port keeps the
    // settings this program gave it.
}

std::size_t Write(const Port& port, const std::uint8_t* data, std::size_t length, int* osError)
{
    HANDLE handle = AsHandle(port);
    *osError = 0;
    const bool byHand = port.rts == RtsDrive::Manual;
    if (byHand)
        EscapeCommFunction(handle, SETRTS);
    DWORD written = 0;
    Overlapped operation;
    const bool done = operation.Complete(
        handle, WriteFile(handle, data, static_cast<DWORD>(length), nullptr, operation.get()), &written, osError);
    if (done && byHand && written > 0) {
        AwaitTransmitEmpty(handle, WireMillis(port.line, written) + kTransmitMarginMs, osError);
        // Transmit-empty comes as the last byte enters the shift register,
        // not as it leaves: RTS stays up one character longer, or the stop
        // bits of the last byte would go out with the driver off.
        Sleep(WireMillis(port.line, 1));
    }
    if (byHand)
        EscapeCommFunction(handle, CLRRTS);
    return written;
}

std::uint32_t Pending(const Port& port, int* osError)
{
    DWORD errors = 0;
    COMSTAT status {};
    if (!ClearCommError(AsHandle(port), &errors, &status)) {
        *osError = static_cast<int>(GetLastError());
        return 0;
    }
    *osError = 0;
    return status.cbInQue;
}

std::size_t Read(const Port& port, std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    DWORD wanted = Pending(port, osError);
    if (wanted > maxLength)
        wanted = static_cast<DWORD>(maxLength);
    DWORD got = 0;
    if (*osError == 0 && wanted > 0) {
        HANDLE handle = AsHandle(port);
        Overlapped operation;
        operation.Complete(handle, ReadFile(handle, buffer, wanted, nullptr, operation.get()), &got, osError);
    }
    return got;
}

void DiscardInput(const Port& port)
{
    PurgeComm(AsHandle(port), PURGE_RXCLEAR);
}

WaitResult WaitReadable(const Port& port, std::int64_t timeoutMicros, int* osError)
{
    HANDLE handle = AsHandle(port);
    if (timeoutMicros < 0)
        timeoutMicros = 0;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>((timeoutMicros + 999) / 1000);
    for (;;) {
        if (Pending(port, osError) > 0)
            return WaitResult::Readable;
        if (*osError != 0)
            return WaitResult::Failed;
        const DWORD left = MillisLeft(deadline);
        if (left == 0)
            return WaitResult::TimedOut;
        DWORD events = 0;
        if (WaitEventFor(handle, &events, left, osError) == EventWait::Failed)
            return WaitResult::Failed;
        // An event seen, or the time up: the loop looks at the queue again.
    }
}

std::string ErrorText(int osError)
{
    switch (osError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No such port";
    case ERROR_ACCESS_DENIED:
        return "Access denied (the port is in use by another program)";
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_INVALID_HANDLE:  // the device object went with the adapter
        return "The device does not respond (the adapter was unplugged or failed)";
    default:
        break;
    }
    const std::string message = win32::SystemText(static_cast<DWORD>(osError));
    return message.empty() ? "Error " + std::to_string(osError) : message;
}

std::string OpenErrorText(const std::string&, int osError)
{
    // Ports have no owning group here: a refusal means another program has it.
    return ErrorText(osError);
}

}  // namespace serial
