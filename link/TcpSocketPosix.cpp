#include "TcpSocket.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

namespace {

// Waits for `events` on the socket for at most timeoutMs; the revents, 0 on a time-out.
short PollFor(int fd, short events, int timeoutMs)
{
    pollfd entry {fd, events, 0};
    int ready;
    do
        ready = ::poll(&entry, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0 ? entry.revents : 0;
}

// One address: the socket, connected, or -1 with *osError (ETIMEDOUT when
// the time ran out, ECANCELED when keepTrying gave it up).
int ConnectTo(const addrinfo& address, int timeoutMs, const KeepTrying& keepTrying, int* osError)
{
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            address.ai_protocol);
    if (fd < 0) {
        *osError = errno;
        return -1;
    }
    int error = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int events = AwaitConnection(timeoutMs, keepTrying, [fd](int sliceMs) {
                return PollFor(fd, POLLOUT, sliceMs);
            });
            error = events < 0 ? ECANCELED : ETIMEDOUT;
            if (events > 0) {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            }
        }
    }
    if (error != 0) {
        ::close(fd);
        *osError = error;
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

bool Connect(const std::string& host, std::uint16_t port, int timeoutMs, Socket* socket, ConnectFailure* failure,
             const KeepTrying& keepTrying)
{
    *failure = {};
    // The time-out covers the lookup and every address the name gave.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // The lookup's own state: it may outlive this call when it is given up.
    struct Lookup {
        addrinfo* found = nullptr;
        int resolved = 0;
        ~Lookup()
        {
            if (found)
                ::freeaddrinfo(found);
        }
    };
    const auto lookup = std::make_shared<Lookup>();
    const std::string service = std::to_string(port);
    const int looked = AwaitLookup(timeoutMs, keepTrying, [lookup, host, service] {
        RunLookupHook(host);
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        lookup->resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &lookup->found);
    });
    if (looked <= 0) {
        if (looked < 0)
            DescribeConnectFailure(ECANCELED, false, false, true, timeoutMs, failure);
        else
            DescribeLookupUnfinished(host, timeoutMs, failure);
        return false;
    }
    if (lookup->resolved != 0) {
        DescribeUnresolved(host, lookup->resolved == EAI_AGAIN, failure);
        return false;
    }
    const addrinfo* found = lookup->found;
    int fd = -1, error = 0;
    for (const addrinfo* address = found; address && fd < 0 && error != ECANCELED; address = address->ai_next) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            break;
        }
        fd = ConnectTo(*address, int(left.count()), keepTrying, &error);
    }
    if (fd >= 0) {
        *socket = fd;
        return true;
    }
    DescribeConnectFailure(error, error == ECONNREFUSED, error == ETIMEDOUT, error == ECANCELED, timeoutMs, failure);
    return false;
}

void Close(Socket socket)
{
    ::close(int(socket));
}

std::size_t Send(Socket socket, const std::uint8_t* data, std::size_t length, int* osError)
{
    *osError = 0;
    std::size_t sent = 0;
    while (sent < length) {
        // MSG_NOSIGNAL: a connection the peer reset is an error here, not SIGPIPE.
        const ssize_t n = ::send(int(socket), data + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (PollFor(int(socket), POLLOUT, 1000) == 0) {
                *osError = ETIMEDOUT;
                break;
            }
        } else if (n < 0 && errno != EINTR) {
            *osError = errno;
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
    for (;;) {
        const ssize_t n = ::recv(int(socket), buffer, maxLength, 0);
        if (n > 0)
            return std::size_t(n);
        if (n == 0) {
            *osError = ConnectionClosed();
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            *osError = errno;
        return 0;
    }
}

std::uint32_t Available(Socket socket, int* osError)
{
    *osError = 0;
    int count = 0;
    if (::ioctl(int(socket), FIONREAD, &count) != 0) {
        *osError = errno;
        return 0;
    }
    return std::uint32_t(count);
}

serial::WaitResult WaitReadable(Socket socket, std::int64_t timeoutMicros, int* osError)
{
    *osError = 0;
    const int timeoutMs = timeoutMicros < 0 ? 0 : int((timeoutMicros + 999) / 1000);
    const short revents = PollFor(int(socket), POLLIN, timeoutMs);
    if (revents == 0)
        return serial::WaitResult::TimedOut;
    if (revents & (POLLERR | POLLNVAL)) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(int(socket), SOL_SOCKET, SO_ERROR, &error, &size);
        *osError = error ? error : ConnectionClosed();
        return serial::WaitResult::Failed;
    }
    // Readable, or closed by the peer: the read that follows tells which.
    return serial::WaitResult::Readable;
}

int ConnectionClosed()
{
    // The peer ended the connection under an exchange: for the user, the
    // same as a reset.
    return ECONNRESET;
}

std::string ErrorText(int osError)
{
    // The tool speaks English whatever the desktop's locale; the C library's
    // texts follow it.
    switch (osError) {
    case ECONNREFUSED: return "Connection refused";
    case ECONNRESET: return "Connection reset by peer";
    case ETIMEDOUT: return "Connection timed out";
    case ENETUNREACH: return "Network is unreachable";
    case EHOSTUNREACH: return "No route to host";
    case EPIPE: return "Broken pipe";
    default: return std::strerror(osError);
    }
}

}  // namespace net
