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
    : display_(display), protocol_(protocol), log_(log)
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
    if (::listen(listener_, 1) != 0)
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
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++connections_;
        const int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (log_)
            *log_ << "client connected on port " << port_ << std::endl;
        ServeClient(client);
        ::close(client);
        if (log_)
            *log_ << "client gone" << std::endl;
    }
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

void DeviceServer::ServeClient(int client)
{
    serial::Port line;
    serial::OpenFailure failure;
    if (!serial::Open(display_.DevicePath(), DisplayLine(display_), &line, &failure)) {
        if (log_)
            *log_ << "cannot open the display's line: " << serial::ErrorText(failure.osError) << std::endl;
        return;
    }
    const int serialFd = int(line.handle);
    const serial::LineSettings& settings = line.line;
    const auto frameGap = std::chrono::microseconds(FrameGapMicros(ModeIndexOf(settings), settings.baud));
    // What the line carried before this client is not known: a frame gap first.
    auto lineQuietAt = std::chrono::steady_clock::now() + frameGap;
    std::vector<std::uint8_t> request;  // Modbus TCP: what came of the next request
    std::vector<std::uint8_t> reply;    // Modbus TCP: what came of the display's reply
    std::uint8_t header[7] = {};        // Modbus TCP: the request's header, for its reply
    bool awaiting = false;
    unsigned readBytes = 0;  // Modbus TCP: the bytes a read's reply carries by the standard
    auto deadline = std::chrono::steady_clock::now();
    std::uint8_t buffer[512];
    for (;;) {
        // A gateway takes the next request once the last is answered or given up.
        const bool takeRequests = protocol_ == Protocol::RtuOverTcp || !awaiting;
        pollfd fds[3] = {{client, short(takeRequests ? POLLIN : 0), 0}, {serialFd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int timeoutMs = -1;
        if (awaiting)
            timeoutMs = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                       deadline - std::chrono::steady_clock::now())
                                                       .count()));
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[2].revents)
            break;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            int osError = 0;
            if (protocol_ == Protocol::RtuOverTcp) {
                serial::Write(line, buffer, std::size_t(n), &osError);
            } else {
                request.insert(request.end(), buffer, buffer + n);
                const std::size_t length = request.size() >= 6 ? std::size_t(request[4] << 8 | request[5]) : 0;
                if (request.size() >= 6 && (length < 2 || length > 254 || request[2] != 0 || request[3] != 0)) {
                    // No MBAP header: the stream cannot be followed.
                    LogMbap("->", request, "no MBAP header: connection closed");
                    break;
                }
                if (request.size() >= 6 + length) {
                    const auto end = request.begin() + std::ptrdiff_t(6 + length);
                    const std::vector<std::uint8_t> taken(request.begin(), end);
                    request.erase(request.begin(), end);
                    LogMbap("->", taken, "");
                    std::memcpy(header, taken.data(), 7);
                    const std::vector<std::uint8_t> pdu(taken.begin() + 7, taken.end());
                    const unsigned quantity = pdu.size() >= 5 ? unsigned(pdu[3] << 8 | pdu[4]) : 0;
                    readBytes = pdu[0] == 3 ? 2 * quantity : 0;
                    if (checkByteCounts_ && pdu[0] == 16 && (pdu.size() < 6 || pdu[5] != 2 * quantity)) {
                        const std::uint8_t refusal[] = {0x90, 3};
                        const std::vector<std::uint8_t> mbap =
                            MbapFrame(std::uint16_t(header[0] << 8 | header[1]), header[6], refusal, 2);
                        LogMbap("<-", mbap, "refused by the gateway: byte count");
                        if (!ToClient(client, mbap.data(), mbap.size()))
                            break;
                        continue;
                    }
                    const std::vector<std::uint8_t> rtu = RtuFrame(header[6], pdu.data(), pdu.size());
                    // The gateway masters the line: 3.5 characters of silence
                    // after the last frame before the next.
                    std::this_thread::sleep_until(lineQuietAt);
                    reply.clear();
                    serial::Write(line, rtu.data(), rtu.size(), &osError);
                    awaiting = true;
                    deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGatewayReplyTimeoutMs);
                }
            }
            if (osError)
                break;
        }
        if (fds[1].revents & POLLIN) {
            int osError = 0;
            const std::size_t n = serial::Read(line, buffer, sizeof buffer, &osError);
            if (n > 0)
                lineQuietAt = std::chrono::steady_clock::now() + frameGap;
            if (protocol_ == Protocol::RtuOverTcp) {
                if (n > 0 && !ToClient(client, buffer, n))
                    break;
            } else if (awaiting) {
                reply.insert(reply.end(), buffer, buffer + n);
                const std::size_t whole = ReplyLength(reply);
                if (whole != 0 && reply.size() >= whole) {
                    awaiting = false;
                    // A reply with a bad CRC is dropped, as a gateway does.
                    const bool sound = CrcHolds(reply.data(), whole);
                    if (!sound) {
                        LogMbap("<-", {}, "the display's reply failed its CRC check: dropped");
                    } else {
                        std::size_t pduLength = whole - 3;
                        const bool refused = checkByteCounts_ && reply[1] == 3 && reply[2] != readBytes;
                        if (refused) {
                            reply = {reply[0], 0x83, 4};
                            pduLength = 2;
                        }
                        std::vector<std::uint8_t> mbap = MbapFrame(std::uint16_t(header[0] << 8 | header[1]),
                                                                   reply[0], reply.data() + 1, pduLength);
                        LogMbap("<-", mbap, refused ? "refused by the gateway: byte count" : "");
                        if (!ToClient(client, mbap.data(), mbap.size()))
                            break;
                    }
                }
            }
        }
        if (awaiting && std::chrono::steady_clock::now() >= deadline) {
            awaiting = false;  // no reply in time: the request is given up, unanswered
            LogMbap("<-", {}, "no reply from the display within " + std::to_string(kGatewayReplyTimeoutMs) + " ms");
        }
    }
    serial::Close(line);
}

}  // namespace sim
