#include "TcpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "SystemTextWin32.h"

#include <chrono>
#include <memory>

namespace net {

namespace {

// Winsock wants starting once per process before the first call.
bool StartWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Waits for `events` on the socket for at most timeoutMs; the revents, 0 on a time-out.
short PollFor(SOCKET socket, short events, int timeoutMs)
{
    WSAPOLLFD entry {socket, events, 0};
    return WSAPoll(&entry, 1, timeoutMs) > 0 ? entry.revents : 0;
}

// Waits for a connect under way to end, for at most timeoutMs: whether it
// ended. select(), not WSAPoll: before Windows 10 2004 WSAPoll never reports
// a connect that failed, and a refusal would wait out the time as silence.
// A failed connect shows in the exception set, a made one in the write set.
bool ConnectEnded(SOCKET socket, int timeoutMs)
{
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval timeout {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    return select(0, nullptr, &writable, &failed, &timeout) > 0;
}

// One address: the socket, connected, or INVALID_SOCKET with *osError
// (WSAETIMEDOUT when the time ran out, WSAECANCELLED when keepTrying gave it up).
SOCKET ConnectTo(const addrinfo& address, int timeoutMs, const KeepTrying& keepTrying, int* osError)
{
    SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (socket == INVALID_SOCKET) {
        *osError = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    int error = 0;
    if (::connect(socket, address.ai_addr, int(address.ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            // Made or failed, the reason is in SO_ERROR.
            const int ended = AwaitConnection(timeoutMs, keepTrying, [socket](int sliceMs) {
                return short(ConnectEnded(socket, sliceMs) ? 1 : 0);
            });
            error = ended < 0 ? WSAECANCELLED : WSAETIMEDOUT;
            if (ended > 0) {
                int size = sizeof error;
                if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0)
                    error = WSAGetLastError();
            }
        }
    }
    if (error != 0) {
        closesocket(socket);
        *osError = error;
        return INVALID_SOCKET;
    }
    BOOL one = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return socket;
}

}  // namespace

bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, Socket* socket, ConnectFailure* failure,
             const KeepTrying& keepTrying)
{
    *failure = {};
    if (!StartWinsock()) {
        failure->kind = ConnectFailure::Kind::Other;
        failure->text = "the network is not available (Winsock did not start)";
        return false;
    }
    // The time-out covers the lookup and every address the name gave.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The lookup's own state: it may outlive this call when it is given up.
    struct Lookup {
        addrinfo* found = nullptr;
        int resolved = 0;
        ~Lookup()
        {
            if (found)
                freeaddrinfo(found);
        }
    };
    const auto lookup = std::make_shared<Lookup>();
    const std::string service = std::to_string(port);
    const int looked = AwaitLookup(timeoutMs, keepTrying, [lookup, host, service] {
        RunLookupHook(host);
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        lookup->resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &lookup->found);
    });
    if (looked <= 0) {
        if (looked < 0)
            DescribeConnectFailure(WSAECANCELLED, false, false, true, timeoutMs, failure);
        else
            DescribeLookupUnfinished(host, timeoutMs, failure);
        return false;
    }
    if (lookup->resolved != 0) {
        DescribeUnresolved(host, lookup->resolved == WSATRY_AGAIN, failure);
        return false;
    }
    const addrinfo* found = lookup->found;
    SOCKET connected = INVALID_SOCKET;
    int error = 0;
    for (const addrinfo* address = found; address && connected == INVALID_SOCKET && error != WSAECANCELLED;
         address = address->ai_next) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = WSAETIMEDOUT;
            break;
        }
        connected = ConnectTo(*address, int(left.count()), keepTrying, &error);
    }
    if (connected != INVALID_SOCKET) {
        *socket = Socket(connected);
        return true;
    }
    DescribeConnectFailure(error, error == WSAECONNREFUSED, error == WSAETIMEDOUT, error == WSAECANCELLED, timeoutMs,
                           failure);
    return false;
}

void Close(Socket socket)
{
    closesocket(SOCKET(socket));
}

std::size_t Send(Socket socket, const std::uint8_t* data, std::size_t length, int* osError)
{
    *osError = 0;
    std::size_t sent = 0;
    while (sent < length) {
        const int n = ::send(SOCKET(socket), reinterpret_cast<const char*>(data + sent), int(length - sent), 0);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            if (PollFor(SOCKET(socket), POLLOUT, 1000) == 0) {
                *osError = WSAETIMEDOUT;
                break;
            }
        } else {
            *osError = WSAGetLastError();
            break;
        }
    }
    return sent;
}

std::size_t Receive(Socket socket, std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    *osError = 0;
    if (maxLength == 0)
        return 0;
    const int n = ::recv(SOCKET(socket), reinterpret_cast<char*>(buffer), int(maxLength), 0);
    if (n > 0)
        return std::size_t(n);
    if (n == 0)
        *osError = ConnectionClosed();
    else if (WSAGetLastError() != WSAEWOULDBLOCK)
        *osError = WSAGetLastError();
    return 0;
}

std::uint32_t Available(Socket socket, int* osError)
{
    *osError = 0;
    u_long count = 0;
    if (ioctlsocket(SOCKET(socket), FIONREAD, &count) != 0) {
        *osError = WSAGetLastError();
        return 0;
    }
    return std::uint32_t(count);
}

serial::WaitResult WaitReadable(Socket socket, std::int64_t timeoutMicros, int* osError)
{
    *osError = 0;
    const int timeoutMs = timeoutMicros < 0 ? 0 : int((timeoutMicros + 999) / 1000);
    const short revents = PollFor(SOCKET(socket), POLLIN, timeoutMs);
    if (revents == 0)
        return serial::WaitResult::TimedOut;
    if (revents & (POLLERR | POLLNVAL)) {
        int error = 0;
        int size = sizeof error;
        getsockopt(SOCKET(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        *osError = error ? error : ConnectionClosed();
        return serial::WaitResult::Failed;
    }
    return serial::WaitResult::Readable;
}

int ConnectionClosed()
{
    return WSAECONNRESET;
}

std::string ErrorText(int osError)
{
    switch (osError) {
    case WSAECONNRESET: return "Connection reset by peer";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAETIMEDOUT: return "Connection timed out";
    case WSAENETUNREACH: return "Network is unreachable";
    case WSAEHOSTUNREACH: return "No route to host";
    default: break;
    }
    const std::string sentence = win32::SystemText(DWORD(osError));
    return sentence.empty() ? "network error " + std::to_string(osError) : sentence;
}

}  // namespace net
