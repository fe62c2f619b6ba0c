// A port on the loopback where a connection attempt gets no answer, as at a
// device server that is switched off behind a router: the listener's accept
// queue holds one connection, which is taken by a first client and never
// accepted, so the kernel drops the next attempts' SYNs and they wait.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

class StalledListener {
public:
    StalledListener()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
              && ::listen(listener_, 0) == 0
              && ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0;
        port_ = ntohs(address.sin_port);
        queued_ = ::socket(AF_INET, SOCK_STREAM, 0);
        ok_ = ok_ && ::connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~StalledListener()
    {
        ::close(queued_);
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
