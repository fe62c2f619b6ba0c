// The platform layer for TCP: the few things a network transport needs of
// the OS's sockets. One implementation file per OS, chosen by CMake.
// As in SerialPort.h, each call that can fail on a connection that went
// away leaves the OS error in *osError, 0 when all went well.
#pragma once

#include "SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace net {

// fd on POSIX, SOCKET on Win32.
using Socket = std::intptr_t;

// Why a connection could not be made.
struct ConnectFailure {
    // GivenUp: the caller's KeepTrying said to stop.
    enum class Kind { None, Unresolved, Refused, TimedOut, GivenUp, Other };
    Kind kind = Kind::None;
    int osError = 0;
    std::string text;  // what a user is told: "the host plc7.local does not resolve"
};

// Asked while a connection attempt waits, once it has taken long enough for
// a user to notice and then a few times a second: false gives it up (a
// "Cancel"). A connection that comes at once never asks.
using KeepTrying = std::function<bool()>;

// Connects to host:port (a name or an address) within timeoutMs, trying each
// address the name resolves to. The socket does not block and sends each
// write at once (no coalescing: a request is one small frame). The name's
// lookup counts into timeoutMs and answers keepTrying too: it runs on a
// thread of its own, left to end alone when it is given up.
bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, Socket* socket, ConnectFailure* failure,
             const KeepTrying& keepTrying = {});

// The platform layers' one wait for a connection under way: `pollSlice`
// waits at most the milliseconds it is given and returns nonzero once the
// attempt has ended, made or failed. Returns what it returned, 0 when
// timeoutMs ran out, or -1 when keepTrying gave the attempt up.
int AwaitConnection(int timeoutMs, const KeepTrying& keepTrying, const std::function<short(int sliceMs)>& pollSlice);

// Runs `lookUp` on a thread of its own and waits for it as AwaitConnection
// waits: 1 once it has returned, 0 when timeoutMs ran out, -1 when
// keepTrying gave it up. It may outlive the call, so it must own (by shared
// pointer) whatever it writes.
int AwaitLookup(int timeoutMs, const KeepTrying& keepTrying, std::function<void()> lookUp);

// Called on the lookup's thread before the name is looked up, for tests
// that stand in a name server that takes its time. Empty: none.
void SetLookupHook(std::function<void(const std::string& host)> hook);
void RunLookupHook(const std::string& host);

// The words for a lookup that did not finish in time; for one given up,
// DescribeConnectFailure's.
void DescribeLookupUnfinished(const std::string& host, int timeoutMs, ConnectFailure* failure);

// The words for a host name that did not resolve; `tryAgain` when no name
// server answered now.
void DescribeUnresolved(const std::string& host, bool tryAgain, ConnectFailure* failure);

// The words for a connection that failed with an OS error (`timedOut` when
// the time ran out, `givenUp` when KeepTrying stopped it), into *failure.
void DescribeConnectFailure(int osError, bool refused, bool timedOut, bool givenUp, int timeoutMs,
                            ConnectFailure* failure);

void Close(Socket socket);

// Sends all `length` bytes, waiting while the OS's buffer is full; returns
// the count sent.
std::size_t Send(Socket socket, const std::uint8_t* data, std::size_t length, int* osError);

// Reads up to maxLength of what has come; never waits. A connection the
// peer closed is an error (ConnectionClosed()).
std::size_t Receive(Socket socket, std::uint8_t* buffer, std::size_t maxLength, int* osError);

// Bytes that Receive would give now.
std::uint32_t Available(Socket socket, int* osError);

// Blocks until bytes or the peer's close can be read, or the time-out has
// passed (negative: only looks).
serial::WaitResult WaitReadable(Socket socket, std::int64_t timeoutMicros, int* osError);

// The error a closed connection is reported with.
int ConnectionClosed();

// A sentence for an OS error on a connection: "Connection reset by peer".
std::string ErrorText(int osError);

}  // namespace net
