// Any bytes as what a Modbus TCP gateway sent after a read request: the
// transport hands on at most one reply, to that request, whole and with a
// sound CRC once it is an RTU frame, and drops the rest with why.
#include "Messages.h"
#include "NetworkTransport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return 0;
    ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    {
        ModbusTcpTransport transport(net::Socket(ends[0]), LineOf(1, 9600));
        std::uint8_t request[8];
        PutReadRequest(request, 1, 4022, 3);
        int osError = 0;
        if (transport.Write(request, sizeof request, &osError) != sizeof request)
            std::abort();
        // What came, in two parts: the first byte says where the cut falls.
        const std::size_t cut = std::min<std::size_t>(data[0], size - 1);
        ++data;
        --size;
        std::uint8_t buffer[300];
        std::size_t handedOn = 0;
        for (const auto& [from, to] : {std::pair<std::size_t, std::size_t> {0, cut}, {cut, size}}) {
            if (to > from)
                (void)!::send(ends[1], data + from, to - from, MSG_NOSIGNAL);
            const std::size_t n = transport.Read(buffer + handedOn, sizeof buffer - handedOn, &osError);
            if (n > 0 && handedOn > 0)
                std::abort();  // a second reply to the same request
            handedOn += n;
        }
        if (handedOn > 0 && (handedOn < 4 || !CrcHolds(buffer, handedOn)))
            std::abort();
        for (const Transport::Dropped& dropped : transport.TakeDropped())
            if (dropped.bytes.empty() || dropped.why.empty())
                std::abort();
    }
    ::close(ends[1]);
    return 0;
}
