// Serial ports on Windows: the kernel32 comm calls. The port is opened for
// overlapped I/O so the reply wait can block on the handle with a time-out;
// every other call waits for its own completion, so to the link they are
// synchronous. Reads ask only for what ClearCommError has already counted and
// the comm time-outs make them return at once.
#include "SerialPort.h"

#include <windows.h>

#include <string>

namespace serial {
namespace {

constexpr DWORD kEvents = EV_TXEMPTY | EV_RXCHAR;

HANDLE AsHandle(const Port& port)
{
    return reinterpret_cast<HANDLE>(port.handle);
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

// Waits for the next comm event into *events; false with *osError on failure.
bool WaitEvent(HANDLE port, DWORD* events, int* osError)
{
    Overlapped operation;
    DWORD unused = 0;
    return operation.Complete(port, WaitCommEvent(port, events, operation.get()), &unused, osError);
}

}  // namespace

bool Open(const std::string& device, const LineSettings& line, Port* port, OpenFailure* failure)
{
    *failure = OpenFailure {};
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failure->osError = static_cast<int>(GetLastError());
        return false;
    }
    DCB dcb {};
    dcb.DCBlength = sizeof(DCB);
    BOOL set = GetCommState(handle, &dcb);
    dcb.ByteSize = 8;
    dcb.fParity = TRUE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;  // RTS high only while bytes go out
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.Parity = line.parity == Parity::None ? NOPARITY
                 : line.parity == Parity::Even ? EVENPARITY
                                               : ODDPARITY;
    dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.BaudRate = line.baud;
    // A device that takes no comm settings is no serial port.
    set = set && SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return what is there
    set = set && SetCommTimeouts(handle, &timeouts);
    DCB readBack {};
    readBack.DCBlength = sizeof(DCB);
    if (set && GetCommState(handle, &readBack) && !RateTaken(line.baud, readBack.BaudRate)) {
        failure->baudReadBack = readBack.BaudRate;
        SetLastError(ERROR_INVALID_PARAMETER);
        set = FALSE;
    }
    if (!set) {
        failure->osError = static_cast<int>(GetLastError());
        failure->lineRefused = true;
        CloseHandle(handle);
        return false;
    }
    SetupComm(handle, 300, 300);
    SetCommMask(handle, kEvents);
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *port = {reinterpret_cast<Handle>(handle), RtsDrive::Manual};
    return true;
}

void Close(const Port& port)
{
    CloseHandle(AsHandle(port));
}

std::size_t Write(const Port& port, const std::uint8_t* data, std::size_t length, int* osError)
{
    HANDLE handle = AsHandle(port);
    *osError = 0;
    EscapeCommFunction(handle, SETRTS);
    DWORD written = 0;
    Overlapped operation;
    if (operation.Complete(handle, WriteFile(handle, data, static_cast<DWORD>(length), nullptr, operation.get()),
                           &written, osError)) {
        // Received characters may wake the wait too; only transmit-empty ends it.
        DWORD events = 0;
        while (WaitEvent(handle, &events, osError) && !(events & EV_TXEMPTY)) {
        }
    }
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
        FlushFileBuffers(handle);
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
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>((timeoutMicros + 999) / 1000);
    for (;;) {
        if (Pending(port, osError) > 0)
            return WaitResult::Readable;
        if (*osError != 0)
            return WaitResult::Failed;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return WaitResult::TimedOut;
        DWORD events = 0, unused = 0;
        Overlapped operation;
        if (!WaitCommEvent(handle, &events, operation.get())) {
            if (GetLastError() != ERROR_IO_PENDING) {
                *osError = static_cast<int>(GetLastError());
                return WaitResult::Failed;
            }
            if (WaitForSingleObject(operation.event(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
                // Setting the mask again ends the pending wait; it must end
                // before its OVERLAPPED goes out of scope.
                SetCommMask(handle, kEvents);
            }
            if (!GetOverlappedResult(handle, operation.get(), &unused, TRUE)
                && GetLastError() != ERROR_OPERATION_ABORTED) {
                *osError = static_cast<int>(GetLastError());
                return WaitResult::Failed;
            }
        }
        // An event seen, or the time up: the loop looks at the queue again.
    }
}

std::string DeviceName(unsigned portIndex)
{
    if (portIndex > 7)
        return {};
    return "\\\\.\\COM" + std::to_string(portIndex + 1);
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
        return "The device does not respond (the adapter was unplugged or failed)";
    default:
        break;
    }
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                       | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(osError), 0, reinterpret_cast<LPSTR>(&text), 0,
                   nullptr);
    std::string message = text ? text : "Error " + std::to_string(osError);
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

std::string OpenErrorText(const std::string&, int osError)
{
    // Ports have no owning group here: a refusal means another program has it.
    return ErrorText(osError);
}

}  // namespace serial
