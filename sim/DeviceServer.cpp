#include "DeviceServer.h"

#include "FrameLog.h"

#include "Modbus.h"
#include "NetworkTransport.h"
#include "SerialPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace sim {

namespace {

// How long the gateway waits for the display's reply before it gives the
// request up and answers nothing: as gateways commonly do.
constexpr int kGatewayReplyTimeoutMs = int(kGatewayTimeoutMicros / 1000);

// The display's own line, as a device server in front of it is set up.
serial::LineSettings DisplayLine(const SimDisplay& display)
{
    return LineOf(display.Mode(), kDisplayRates[display.RateCode() < kDisplayRateCount ? display.RateCode() : 2]);
}

// The length of an RTU reply from its first bytes: 0 while it cannot be told.
std::size_t ReplyLength(const std::vector<std::uint8_t>& reply)
{
    if (reply.size() < 2)
        return 0;
    if (reply[1] & 0x80)
        return 5;
    if (reply[1] == 16)
        return 8;
    if (reply[1] == 3 && reply.size() >= 3)
        return 5 + std::size_t(reply[2]);
    return 0;
}

}  // namespace

DeviceServer::DeviceServer(SimDisplay& display, Protocol protocol, std::ostream* log)
    : display_(display), protocol_(protocol), log_(log), giveUpMs_(kGatewayReplyTimeoutMs)
{
}

DeviceServer::~DeviceServer()
{
    Stop();
}

bool DeviceServer::Start(std::uint16_t port, std::string* error)
{
    auto fail = [&](const char* what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    if (::pipe2(wake_, O_CLOEXEC) != 0)
        return fail("cannot make a pipe");
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return fail("cannot make a socket");
    const int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // The loopback only: a simulator is nothing to offer the plant's network.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail(("cannot listen on 127.0.0.1:" + std::to_string(port)).c_str());
    if (::listen(listener_, 8) != 0)
        return fail("cannot listen");
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&DeviceServer::Serve, this);
    return true;
}

void DeviceServer::Stop()
{
    if (wake_[1] >= 0)
        (void)!::write(wake_[1], "x", 1);
    if (thread_.joinable())
        thread_.join();
    for (int* fd : {&listener_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

std::string DeviceServer::Path() const
{
    return (protocol_ == Protocol::ModbusTcp ? "modbus-tcp://127.0.0.1:" : "tcp://127.0.0.1:")
           + std::to_string(port_);
}

void DeviceServer::DropMidReply(std::size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    dropAfter_ = long(bytes);
}

void DeviceServer::Serve()
{
    // One thread serves the listener, the display's line and every client.
    // The line is held while any client is connected and let go when the
    // last leaves, so a program that opens it next finds it free.
    std::vector<Client> clients;
    Line line;
    std::uint8_t buffer[512];
    for (;;) {
        std::vector<pollfd> fds {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}, {line.fd, POLLIN, 0}};
        for (const Client& client : clients)
            fds.push_back({client.fd, POLLIN, 0});
        int timeoutMs = -1;
        if (line.awaiting)
            timeoutMs = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       line.deadline - std::chrono::steady_clock::now())
                                                       .count()));
        if (::poll(fds.data(), nfds_t(fds.size()), timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[1].revents)
            break;
        // Clients first, by their descriptors: the list changes below.
        for (std::size_t k = 3; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const auto client = std::find_if(clients.begin(), clients.end(),
                                             [&](const Client& c) { return c.fd == fds[k].fd; });
            const ssize_t n = ::recv(client->fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !FromClient(*client, buffer, std::size_t(n), line))
                client->gone = true;
        }
        if (line.fd >= 0 && (fds[2].revents & POLLIN))
            FromLine(clients, line, buffer, sizeof buffer);
        if (line.awaiting && std::chrono::steady_clock::now() >= line.deadline)
            GiveUp(clients, line);
        for (Client& client : clients) {
            if (!client.gone)
                continue;
            if (line.awaiting && line.awaitingFd == client.fd)
                line.awaitingFd = -1;  // its reply, when it comes, goes nowhere
            ::close(client.fd);
            if (log_)
                *log_ << "client gone" << std::endl;
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(), [](const Client& c) { return c.gone; }),
                      clients.end());
        if (fds[0].revents & POLLIN)
            Accept(clients, line);
        if (protocol_ == Protocol::ModbusTcp && !line.awaiting)
            NextRequest(clients, line);
        if (clients.empty() && line.fd >= 0 && !line.awaiting) {
            serial::Close(line.port);
            line = Line {};
        }
    }
    for (const Client& client : clients)
        ::close(client.fd);
    if (line.fd >= 0)
        serial::Close(line.port);
}

void DeviceServer::Accept(std::vector<Client>& clients, Line& line)
{
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ++connections_;
    // A serial device server gives its line to one client: a second is told
    // so and let go, in the words such servers use, rather than left waiting.
    if (protocol_ == Protocol::RtuOverTcp && !clients.empty()) {
        static const char busy[] = "Port already in use\r\n";
        (void)!::send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
        ::close(fd);
        if (log_)
            *log_ << "second client refused: port already in use" << std::endl;
        return;
    }
    if (line.fd < 0) {
        serial::OpenFailure failure;
        if (!serial::Open(display_.DevicePath(), DisplayLine(display_), &line.port, &failure)) {
            if (log_)
                *log_ << "cannot open the display's line: " << serial::ErrorText(failure.osError) << std::endl;
            ::close(fd);
            return;
        }
        line.fd = int(line.port.handle);
        const serial::LineSettings& settings = line.port.line;
        line.frameGap = std::chrono::microseconds(FrameGapMicros(ModeIndexOf(settings), settings.baud));
        // What the line carried before is not known: a frame gap first.
        line.quietAt = std::chrono::steady_clock::now() + line.frameGap;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clients.push_back({fd, {}, false});
    if (log_)
        *log_ << "client connected on port " << port_ << std::endl;
}

bool DeviceServer::ToClient(int client, const std::uint8_t* bytes, std::size_t count)
{
    std::size_t passed = count;
    bool drop = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (dropAfter_ >= 0 && std::size_t(dropAfter_) <= count) {
            passed = std::size_t(dropAfter_);
            drop = true;
            dropAfter_ = -1;
        } else if (dropAfter_ >= 0) {
            dropAfter_ -= long(count);
        }
    }
    if (passed > 0 && ::send(client, bytes, passed, MSG_NOSIGNAL) != ssize_t(passed))
        return false;
    return !drop;
}

void DeviceServer::LogMbap(const char* direction, const std::vector<std::uint8_t>& frame,
                           const std::string& note) const
{
    if (log_)
        *log_ << FrameLogLine(std::chrono::system_clock::now(), direction,
                              "127.0.0.1:" + std::to_string(port_) + " Modbus TCP", frame.data(), frame.size(), note)
              << std::endl;
}

bool DeviceServer::FromClient(Client& client, const std::uint8_t* bytes, std::size_t count, Line& line)
{
    if (protocol_ == Protocol::RtuOverTcp) {
        int osError = 0;
        serial::Write(line.port, bytes, count, &osError);
        return osError == 0;
    }
    client.request.insert(client.request.end(), bytes, bytes + count);
    const std::vector<std::uint8_t>& request = client.request;
    const std::size_t length = request.size() >= 6 ? std::size_t(request[4] << 8 | request[5]) : 0;
    if (request.size() >= 6 && (length < 2 || length > 254 || request[2] != 0 || request[3] != 0)) {
        // No MBAP header: the stream cannot be followed.
        LogMbap("->", request, "no MBAP header: connection closed");
        return false;
    }
    return true;
}

void DeviceServer::NextRequest(std::vector<Client>& clients, Line& line)
{
    // A gateway takes one request at a time onto the line: the next whole
    // one, taking the clients in turn, so none waits for another's silence.
    for (std::size_t turn = 0; turn < clients.size() && !line.awaiting; ++turn) {
        Client& client = clients[(line.nextClient + turn) % clients.size()];
        std::vector<std::uint8_t>& request = client.request;
        const std::size_t length = request.size() >= 6 ? std::size_t(request[4] << 8 | request[5]) : 0;
        if (client.gone || request.size() < 6 || request.size() < 6 + length)
            continue;
        line.nextClient = (line.nextClient + turn + 1) % clients.size();
        const auto end = request.begin() + std::ptrdiff_t(6 + length);
        const std::vector<std::uint8_t> taken(request.begin(), end);
        request.erase(request.begin(), end);
        LogMbap("->", taken, "");
        std::memcpy(line.header, taken.data(), 8);
        const std::vector<std::uint8_t> pdu(taken.begin() + 7, taken.end());
        const unsigned quantity = pdu.size() >= 5 ? unsigned(pdu[3] << 8 | pdu[4]) : 0;
        line.readBytes = pdu[0] == 3 ? 2 * quantity : 0;
        if (checkByteCounts_ && pdu[0] == 16 && (pdu.size() < 6 || pdu[5] != 2 * quantity)) {
            const std::uint8_t refusal[] = {0x90, 3};
            const std::vector<std::uint8_t> mbap =
                MbapFrame(std::uint16_t(line.header[0] << 8 | line.header[1]), line.header[6], refusal, 2);
            LogMbap("<-", mbap, "refused by the gateway: byte count");
            if (!ToClient(client.fd, mbap.data(), mbap.size()))
                client.gone = true;
            turn = std::size_t(-1);  // look again from the next client on
            continue;
        }
        const std::vector<std::uint8_t> rtu = RtuFrame(line.header[6], pdu.data(), pdu.size());
        // The gateway masters the line: 3.5 characters of silence after the
        // last frame before the next.
        std::this_thread::sleep_until(line.quietAt);
        line.reply.clear();
        int osError = 0;
        serial::Write(line.port, rtu.data(), rtu.size(), &osError);
        line.awaiting = true;
        line.awaitingFd = client.fd;
        line.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(giveUpMs_.load());
    }
}

void DeviceServer::GiveUp(std::vector<Client>& clients, Line& line)
{
    // No reply in time: the request is given up, unanswered or answered with
    // the gateway's own exception, under the request's header.
    line.awaiting = false;
    const std::uint8_t code = giveUpException_;
    const std::string waited = "no reply from the display within " + std::to_string(giveUpMs_) + " ms";
    if (code == 0) {
        LogMbap("<-", {}, waited);
        return;
    }
    const std::uint8_t exception[] = {std::uint8_t(line.header[7] | 0x80), code};
    const std::vector<std::uint8_t> mbap =
        MbapFrame(std::uint16_t(line.header[0] << 8 | line.header[1]), line.header[6], exception, 2);
    LogMbap("<-", mbap, waited + ": exception " + std::to_string(code));
    for (Client& client : clients)
        if (client.fd == line.awaitingFd && !ToClient(client.fd, mbap.data(), mbap.size()))
            client.gone = true;
}

void DeviceServer::FromLine(std::vector<Client>& clients, Line& line, std::uint8_t* buffer, std::size_t size)
{
    int osError = 0;
    const std::size_t n = serial::Read(line.port, buffer, size, &osError);
    if (n > 0)
        line.quietAt = std::chrono::steady_clock::now() + line.frameGap;
    if (protocol_ == Protocol::RtuOverTcp) {
        for (Client& client : clients)
            if (n > 0 && !ToClient(client.fd, buffer, n))
                client.gone = true;
        return;
    }
    if (!line.awaiting)
        return;
    std::vector<std::uint8_t>& reply = line.reply;
    reply.insert(reply.end(), buffer, buffer + n);
    const std::size_t whole = ReplyLength(reply);
    if (whole == 0 || reply.size() < whole)
        return;
    line.awaiting = false;
    // A reply with a bad CRC is dropped, as a gateway does.
    if (!CrcHolds(reply.data(), whole)) {
        LogMbap("<-", {}, "the display's reply failed its CRC check: dropped");
        return;
    }
    std::size_t pduLength = whole - 3;
    const bool refused = checkByteCounts_ && reply[1] == 3 && reply[2] != line.readBytes;
    if (refused) {
        reply = {reply[0], 0x83, 4};
        pduLength = 2;
    }
    const std::vector<std::uint8_t> mbap =
        MbapFrame(std::uint16_t(line.header[0] << 8 | line.header[1]), reply[0], reply.data() + 1, pduLength);
    LogMbap("<-", mbap, refused ? "refused by the gateway: byte count" : "");
    for (Client& client : clients)
        if (client.fd == line.awaitingFd && !ToClient(client.fd, mbap.data(), mbap.size()))
            client.gone = true;
}

}  // namespace sim
