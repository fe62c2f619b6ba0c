#include "Kernel32Double.h"

#include <algorithm>
#include <cstring>

namespace kernel32 {
namespace {

Double port;
// The event of a WaitCommEvent left pending; its OVERLAPPED may be gone by
// the time the double looks at it again.
HANDLE pendingEvent = nullptr;
bool txEmptyDue = false;

bool IsPort(HANDLE handle)
{
    return handle == PortHandle() && port.open;
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// A call on the port: fails when it is not this double's open port, or gone.
bool Refused(HANDLE handle)
{
    if (!IsPort(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return true;
    }
    if (port.gone) {
        SetLastError(ERROR_BAD_COMMAND);
        return true;
    }
    return false;
}

// A call that reads or sets one of the port's settings.
template <typename Setting>
BOOL Copy(HANDLE handle, const Setting& from, Setting* to)
{
    if (Refused(handle))
        return FALSE;
    *to = from;
    return TRUE;
}

// An overlapped call that finished at once, with its count.
BOOL Done(LPOVERLAPPED overlapped, DWORD count, LPDWORD transferred)
{
    if (transferred)
        *transferred = count;
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = count;
        SetEvent(overlapped->hEvent);
    }
    return TRUE;
}

}  // namespace

Double& Port()
{
    return port;
}

void Reset()
{
    port = Double {};
    port.dcb.DCBlength = sizeof(DCB);
    pendingEvent = nullptr;
    txEmptyDue = false;
}

HANDLE PortHandle()
{
    return reinterpret_cast<HANDLE>(std::intptr_t(0x5150));
}

HANDLE DoubleCreateFileA(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    port.openedPath = path;
    if (!port.present || port.open) {
        SetLastError(port.open ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    port.open = true;
    return PortHandle();
}

BOOL DoubleCloseHandle(HANDLE handle)
{
    if (handle != PortHandle())
        return (CloseHandle)(handle);
    port.calls.push_back("CloseHandle");
    port.open = false;
    return TRUE;
}

BOOL DoubleGetCommState(HANDLE handle, LPDCB dcb)
{
    return Copy(handle, port.dcb, dcb);
}

BOOL DoubleSetCommState(HANDLE handle, LPDCB dcb)
{
    if (Refused(handle))
        return FALSE;
    port.statesAsked.push_back(*dcb);
    if (dcb->fRtsControl == RTS_CONTROL_TOGGLE && !port.takesToggle)
        return Fail(ERROR_NOT_SUPPORTED);
    port.dcb = *dcb;
    if (port.rateAsked && dcb->BaudRate == port.rateAsked)
        port.dcb.BaudRate = port.rateReported;
    return TRUE;
}

BOOL DoubleGetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts)
{
    return Copy(handle, port.timeouts, timeouts);
}

BOOL DoubleSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts)
{
    return Copy(handle, *timeouts, &port.timeouts);
}

BOOL DoubleSetupComm(HANDLE handle, DWORD, DWORD)
{
    return !Refused(handle);
}

BOOL DoubleSetCommMask(HANDLE handle, DWORD)
{
    if (Refused(handle))
        return FALSE;
    // A new mask ends the wait under way.
    if (port.pendingWait) {
        port.pendingAborted = true;
        SetEvent(pendingEvent);
    }
    return TRUE;
}

BOOL DoublePurgeComm(HANDLE handle, DWORD flags)
{
    if (Refused(handle))
        return FALSE;
    if (flags & PURGE_RXCLEAR)
        port.input.clear();
    port.calls.push_back("PurgeComm");
    return TRUE;
}

BOOL DoubleEscapeCommFunction(HANDLE handle, DWORD function)
{
    if (Refused(handle))
        return FALSE;
    port.calls.push_back(function == SETRTS ? "SETRTS" : function == CLRRTS ? "CLRRTS" : "escape");
    return TRUE;
}

BOOL DoubleWaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED overlapped)
{
    if (Refused(handle))
        return FALSE;
    if (port.refusedWaits > 0) {
        --port.refusedWaits;
        port.calls.push_back("WaitCommEvent refused");
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (port.reportsTxEmpty && txEmptyDue) {
        txEmptyDue = false;
        *events = EV_TXEMPTY;
        port.calls.push_back("EV_TXEMPTY");
        return Done(overlapped, 0, nullptr);
    }
    if (!port.input.empty()) {
        *events = EV_RXCHAR;
        return Done(overlapped, 0, nullptr);
    }
    port.pendingWait = overlapped;
    port.pendingAborted = false;
    pendingEvent = overlapped->hEvent;
    ResetEvent(pendingEvent);
    return Fail(ERROR_IO_PENDING);
}

BOOL DoubleGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL)
{
    if (!IsPort(handle))
        return Fail(ERROR_INVALID_HANDLE);
    if (overlapped == port.pendingWait) {
        // Never completed on its own: only a new mask ends it.
        port.pendingWait = nullptr;
        pendingEvent = nullptr;
        if (!port.pendingAborted)
            return Fail(ERROR_IO_INCOMPLETE);
        *transferred = 0;
        return Fail(ERROR_OPERATION_ABORTED);
    }
    *transferred = DWORD(overlapped->InternalHigh);
    return TRUE;
}

BOOL DoubleClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status)
{
    if (Refused(handle))
        return FALSE;
    *errors = 0;
    *status = COMSTAT {};
    status->cbInQue = DWORD(port.input.size());
    return TRUE;
}

BOOL DoubleWriteFile(HANDLE handle, LPCVOID, DWORD length, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (Refused(handle))
        return FALSE;
    port.calls.push_back("WriteFile " + std::to_string(length));
    txEmptyDue = true;
    return Done(overlapped, length, written);
}

BOOL DoubleReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    if (Refused(handle))
        return FALSE;
    const DWORD count = std::min<DWORD>(length, DWORD(port.input.size()));
    std::copy_n(port.input.begin(), count, static_cast<std::uint8_t*>(buffer));
    port.input.erase(port.input.begin(), port.input.begin() + count);
    return Done(overlapped, count, read);
}

BOOL DoubleFlushFileBuffers(HANDLE handle)
{
    port.calls.push_back("FlushFileBuffers");
    return !Refused(handle);
}

void DoubleSleep(DWORD milliseconds)
{
    port.calls.push_back("Sleep " + std::to_string(milliseconds));
    (Sleep)(milliseconds);
}

DWORD DoubleFormatMessageW(DWORD flags, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD, va_list*)
{
    if (port.systemMessage.empty() || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER))
        return 0;
    const std::size_t bytes = (port.systemMessage.size() + 1) * sizeof(wchar_t);
    auto* text = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, bytes));
    std::memcpy(text, port.systemMessage.c_str(), bytes);
    *reinterpret_cast<LPWSTR*>(buffer) = text;
    return DWORD(port.systemMessage.size());
}

}  // namespace kernel32
