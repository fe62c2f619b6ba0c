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

HANDLE AsHandle(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
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

bool Open(const std::string& device, const LineSettings& line, Handle* handle, int* osError)
{
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *osError = static_cast<int>(GetLastError());
        return false;
    }
    DCB dcb {};
    dcb.DCBlength = sizeof(DCB);
    BOOL set = GetCommState(port, &dcb);
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
    set = set && SetCommState(port, &dcb);
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return what is there
    set = set && SetCommTimeouts(port, &timeouts);
    if (!set) {
        *osError = static_cast<int>(GetLastError());
        CloseHandle(port);
        return false;
    }
    SetupComm(port, 300, 300);
    SetCommMask(port, kEvents);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *handle = reinterpret_cast<Handle>(port);
    *osError = 0;
    return true;
}

void Close(Handle handle)
{
    CloseHandle(AsHandle(handle));
}

std::size_t Write(Handle handle, const std::uint8_t* data, std::size_t length, int* osError)
{
    HANDLE port = AsHandle(handle);
    *osError = 0;
    EscapeCommFunction(port, SETRTS);
    DWORD written = 0;
    Overlapped operation;
    if (operation.Complete(port, WriteFile(port, data, static_cast<DWORD>(length), nullptr, operation.get()),
                           &written, osError)) {
        // Received characters may wake the wait too; only transmit-empty ends it.
        DWORD events = 0;
        while (WaitEvent(port, &events, osError) && !(events & EV_TXEMPTY)) {
        }
    }
    EscapeCommFunction(port, CLRRTS);
    return written;
}

std::uint32_t Pending(Handle handle, int* osError)
{
    DWORD errors = 0;
    COMSTAT status {};
    if (!ClearCommError(AsHandle(handle), &errors, &status)) {
        *osError = static_cast<int>(GetLastError());
        return 0;
    }
    *osError = 0;
    return status.cbInQue;
}

std::size_t Read(Handle handle, std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    DWORD wanted = Pending(handle, osError);
    if (wanted > maxLength)
        wanted = static_cast<DWORD>(maxLength);
    DWORD got = 0;
    if (*osError == 0 && wanted > 0) {
        HANDLE port = AsHandle(handle);
        Overlapped operation;
        operation.Complete(port, ReadFile(port, buffer, wanted, nullptr, operation.get()), &got, osError);
        FlushFileBuffers(port);
    }
    return got;
}

void DiscardInput(Handle handle)
{
    PurgeComm(AsHandle(handle), PURGE_RXCLEAR);
}

WaitResult WaitReadable(Handle handle, std::int64_t timeoutMicros, int* osError)
{
    HANDLE port = AsHandle(handle);
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>((timeoutMicros + 999) / 1000);
    for (;;) {
        if (Pending(handle, osError) > 0)
            return WaitResult::Readable;
        if (*osError != 0)
            return WaitResult::Failed;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return WaitResult::TimedOut;
        DWORD events = 0, unused = 0;
        Overlapped operation;
        if (!WaitCommEvent(port, &events, operation.get())) {
            if (GetLastError() != ERROR_IO_PENDING) {
                *osError = static_cast<int>(GetLastError());
                return WaitResult::Failed;
            }
            if (WaitForSingleObject(operation.event(), static_cast<DWORD>(deadline - now)) != WAIT_OBJECT_0) {
                // Setting the mask again ends the pending wait; it must end
                // before its OVERLAPPED goes out of scope.
                SetCommMask(port, kEvents);
            }
            if (!GetOverlappedResult(port, operation.get(), &unused, TRUE)
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
