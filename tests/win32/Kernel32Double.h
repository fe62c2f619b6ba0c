// A double of the kernel32 comm calls the Win32 serial layer makes, for the
// drivers Wine cannot play: one that takes transmit toggle, one that never
// reports transmit-empty, a port left by another program with every flag
// on, a Polish system message. Force-included (-include) ahead of the layer
// and its tests, whose calls it redirects; the real calls stay reachable as
// (Name)(...).
#pragma once

#define NOMINMAX
#include <windows.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace kernel32 {

struct Double {
    // How the driver behaves.
    bool present = true;           // CreateFileA finds the port
    bool takesToggle = true;       // SetCommState takes RTS_CONTROL_TOGGLE
    bool reportsTxEmpty = true;    // WaitCommEvent ends with EV_TXEMPTY after a write
    bool gone = false;             // every call on the port fails, as after unplugging
    int refusedWaits = 0;          // so many next WaitCommEvent calls fail at once with error 87
    // A rate the chip runs at another: asked for rateAsked, it reports rateReported.
    DWORD rateAsked = 0, rateReported = 0;
    std::wstring systemMessage;    // what FormatMessageW gives for any error

    // The port's state: as found, and as it is now.
    DCB dcb {};
    COMMTIMEOUTS timeouts {};
    std::deque<std::uint8_t> input;

    // What the layer did.
    std::string openedPath;
    std::vector<DCB> statesAsked;  // every SetCommState, taken or not
    std::vector<std::string> calls;  // "SETRTS", "WriteFile 8", "Sleep 2", "CLRRTS", "CloseHandle", ...
    bool open = false;

    // A WaitCommEvent left pending, until SetCommMask ends it.
    OVERLAPPED* pendingWait = nullptr;
    bool pendingAborted = false;
};

// The one port; Reset() puts it back as a fresh double.
Double& Port();
void Reset();

// The handle CreateFileA gives for it.
HANDLE PortHandle();

BOOL DoubleGetCommState(HANDLE, LPDCB);
BOOL DoubleSetCommState(HANDLE, LPDCB);
BOOL DoubleGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
BOOL DoubleSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
BOOL DoubleSetupComm(HANDLE, DWORD, DWORD);
BOOL DoubleSetCommMask(HANDLE, DWORD);
BOOL DoublePurgeComm(HANDLE, DWORD);
BOOL DoubleEscapeCommFunction(HANDLE, DWORD);
BOOL DoubleWaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED);
BOOL DoubleClearCommError(HANDLE, LPDWORD, LPCOMSTAT);
BOOL DoubleWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL DoubleReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL DoubleGetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
BOOL DoubleFlushFileBuffers(HANDLE);
void DoubleSleep(DWORD);
BOOL DoubleCloseHandle(HANDLE);
HANDLE DoubleCreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
DWORD DoubleFormatMessageW(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*);

}  // namespace kernel32

#define GetCommState(...) kernel32::DoubleGetCommState(__VA_ARGS__)
#define SetCommState(...) kernel32::DoubleSetCommState(__VA_ARGS__)
#define GetCommTimeouts(...) kernel32::DoubleGetCommTimeouts(__VA_ARGS__)
#define SetCommTimeouts(...) kernel32::DoubleSetCommTimeouts(__VA_ARGS__)
#define SetupComm(...) kernel32::DoubleSetupComm(__VA_ARGS__)
#define SetCommMask(...) kernel32::DoubleSetCommMask(__VA_ARGS__)
#define PurgeComm(...) kernel32::DoublePurgeComm(__VA_ARGS__)
#define EscapeCommFunction(...) kernel32::DoubleEscapeCommFunction(__VA_ARGS__)
#define WaitCommEvent(...) kernel32::DoubleWaitCommEvent(__VA_ARGS__)
#define ClearCommError(...) kernel32::DoubleClearCommError(__VA_ARGS__)
#define WriteFile(...) kernel32::DoubleWriteFile(__VA_ARGS__)
#define ReadFile(...) kernel32::DoubleReadFile(__VA_ARGS__)
#define GetOverlappedResult(...) kernel32::DoubleGetOverlappedResult(__VA_ARGS__)
#define FlushFileBuffers(...) kernel32::DoubleFlushFileBuffers(__VA_ARGS__)
#define Sleep(...) kernel32::DoubleSleep(__VA_ARGS__)
#define CloseHandle(...) kernel32::DoubleCloseHandle(__VA_ARGS__)
#undef CreateFileA
#define CreateFileA(...) kernel32::DoubleCreateFileA(__VA_ARGS__)
#define FormatMessageW(...) kernel32::DoubleFormatMessageW(__VA_ARGS__)
