// What the network tests stand up on the loopback: the simulated display's
// two network kinds as test rows, a listening socket, and a port where a
// connection attempt gets no answer.
#pragma once

#include "DeviceServer.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

using Protocol = sim::DeviceServer::Protocol;
Q_DECLARE_METATYPE(Protocol)

// The column "protocol", a row for each network kind.
inline void AddProtocolRows()
{
    QTest::addColumn<Protocol>("protocol");
    QTest::newRow("RTU over TCP") << Protocol::RtuOverTcp;
    QTest::newRow("Modbus TCP") << Protocol::ModbusTcp;
}

// A socket listening on the loopback with room for `backlog` connections not
// yet accepted, and its port in *port; -1 when it cannot listen.
inline int ListenOnLoopback(int backlog, std::uint16_t* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// A port where a connection attempt gets no answer, as at a device server
// that is switched off behind a router: the listener's accept queue holds
// one connection, which a first client takes and nobody accepts, so the
// kernel drops the next attempts' SYNs and they wait.
class StalledListener {
public:
    StalledListener()
    {
        listener_ = ListenOnLoopback(0, &port_);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        queued_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ok_ = listener_ >= 0 && ::connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~StalledListener()
    {
        ::close(queued_);
        if (listener_ >= 0)
            ::close(listener_);
    }
    StalledListener(const StalledListener&) = delete;
    StalledListener& operator=(const StalledListener&) = delete;

    bool Ready() const { return ok_; }
    std::string Path(const char* scheme = "tcp://") const
    {
        return scheme + std::string("127.0.0.1:") + std::to_string(port_);
    }

private:
    int listener_ = -1;
    int queued_ = -1;
    std::uint16_t port_ = 0;
    bool ok_ = false;
};
