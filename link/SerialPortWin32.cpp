// Serial ports on Windows: the kernel32 comm calls, synchronous, no time-outs
// (reads only ask for what ClearCommError has already counted).
#include "SerialPort.h"

#include <windows.h>

#include <string>

namespace serial {
namespace {

HANDLE AsHandle(Handle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

bool Open(const std::string& device, const LineSettings& line, Handle* handle, int* osError)
{
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *osError = static_cast<int>(GetLastError());
        return false;
    }
    DCB dcb {};
    dcb.DCBlength = sizeof(DCB);
    GetCommState(port, &dcb);
    dcb.ByteSize = 8;
    dcb.fParity = TRUE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;  // RTS high only while bytes go out
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.Parity = line.parity == Parity::None ? NOPARITY
                 : line.parity == Parity::Even ? EVENPARITY
                                               : ODDPARITY;
    dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.BaudRate = line.baud;
    SetCommState(port, &dcb);
    SetupComm(port, 300, 300);
    SetCommMask(port, EV_TXEMPTY);
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *handle = reinterpret_cast<Handle>(port);
    *osError = 0;
    return true;
}

void Close(Handle handle)
{
    CloseHandle(AsHandle(handle));
}

std::size_t Write(Handle handle, const std::uint8_t* data, std::size_t length)
{
    HANDLE port = AsHandle(handle);
    EscapeCommFunction(port, SETRTS);
    DWORD written = 0;
    if (WriteFile(port, data, static_cast<DWORD>(length), &written, nullptr)) {
        DWORD event = 0;
        WaitCommEvent(port, &event, nullptr);  // EV_TXEMPTY: the last byte has left
    }
    EscapeCommFunction(port, CLRRTS);
    return written;
}

std::uint32_t Pending(Handle handle)
{
    DWORD errors = 0;
    COMSTAT status {};
    if (!ClearCommError(AsHandle(handle), &errors, &status))
        return 0;
    return status.cbInQue;
}

std::size_t Read(Handle handle, std::uint8_t* buffer, std::size_t maxLength)
{
    DWORD wanted = Pending(handle);
    if (wanted > maxLength)
        wanted = static_cast<DWORD>(maxLength);
    DWORD got = 0;
    if (wanted > 0) {
        ReadFile(AsHandle(handle), buffer, wanted, &got, nullptr);
        FlushFileBuffers(AsHandle(handle));
    }
    return got;
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

}  // namespace serial
