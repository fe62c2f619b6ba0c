#include "NetworkTransport.h"

#include "Modbus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr const char* kRtuScheme = "tcp://";
constexpr const char* kMbapScheme = "modbus-tcp://";

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::int64_t NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

PortTarget PortTarget::Of(const std::string& path)
{
    PortTarget target;
    target.path = path;
    NetworkAddress address;
    std::string rest;
    if (StartsWith(path, kRtuScheme)) {
        rest = path.substr(std::strlen(kRtuScheme));
    } else if (StartsWith(path, kMbapScheme)) {
        address.protocol = NetworkAddress::Protocol::ModbusTcp;
        rest = path.substr(std::strlen(kMbapScheme));
    } else {
        return target;
    }
    target.network = true;
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size() || colon + 6 < rest.size())
        return target;
    address.host = rest.substr(0, colon);
    // An IPv6 address stands in brackets, as in a URL.
    if (address.host.front() == '[') {
        if (address.host.size() < 3 || address.host.back() != ']')
            return target;
        address.host = address.host.substr(1, address.host.size() - 2);
    } else if (address.host.find(':') != std::string::npos) {
        return target;
    }
    unsigned long port = 0;
    for (char c : rest.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return target;
        port = port * 10 + unsigned(c - '0');
    }
    if (port < 1 || port > 65535)
        return target;
    address.port = std::uint16_t(port);
    target.address = address;
    return target;
}

std::string NetworkAddress::HostAndPort() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string NetworkAddress::Path() const
{
    return (protocol == Protocol::ModbusTcp ? kMbapScheme : kRtuScheme) + HostAndPort();
}

std::string NetworkAddress::Name() const
{
    return HostAndPort() + " (" + ProtocolName() + ")";
}

const char* NetworkAddress::ProtocolName() const
{
    return protocol == Protocol::ModbusTcp ? "Modbus TCP" : "RTU over TCP";
}

// ---------------------------------------------------------------- RTU over TCP

TcpTransport::~TcpTransport()
{
    Close();
}

void TcpTransport::Close()
{
    if (open_)
        net::Close(socket_);
    open_ = false;
}

std::size_t TcpTransport::Write(const std::uint8_t* frame, std::size_t length, int* osError)
{
    return net::Send(socket_, frame, length, osError);
}

serial::WaitResult TcpTransport::WaitReadable(std::int64_t timeoutMicros, int* osError)
{
    return net::WaitReadable(socket_, timeoutMicros, osError);
}

std::size_t TcpTransport::Read(std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    const std::size_t n = net::Receive(socket_, buffer, maxLength, osError);
    NoteReceived(buffer, n);
    return n;
}

void TcpTransport::NoteReceived(const std::uint8_t* bytes, std::size_t count)
{
    for (std::size_t k = 0; k < count && onlyText_; ++k) {
        const std::uint8_t byte = bytes[k];
        if (byte == '\r' || byte == '\n')
            continue;
        // No RTU frame is all printable text: its CRC bytes are anything.
        if (byte < 0x20 || byte > 0x7E || said_.size() >= 120)
            onlyText_ = false;
        else
            said_ += char(byte);
    }
}

std::string TcpTransport::ErrorText(int osError) const
{
    if (!onlyText_ || said_.empty())
        return net::ErrorText(osError);
    if (said_.find("in use") != std::string::npos || said_.find("busy") != std::string::npos)
        return "the device server is busy with another client (it said \"" + said_ + "\")";
    return "the device server closed the connection, saying \"" + said_ + "\"";
}

std::uint32_t TcpTransport::Pending(int* osError)
{
    return net::Available(socket_, osError);
}

void TcpTransport::DiscardInput()
{
    std::uint8_t sink[256];
    int osError = 0;
    std::size_t n;
    while ((n = net::Receive(socket_, sink, sizeof sink, &osError)) > 0)
        NoteReceived(sink, n);
}

std::int64_t TcpTransport::NetworkAllowanceMicros() const
{
    // A round trip over a plant's network and a device server's or a
    // gateway's own buffering of the serial side.
    return 100000;
}

// ---------------------------------------------------------------- Modbus TCP

std::int64_t ModbusTcpTransport::NetworkAllowanceMicros() const
{
    // A gateway takes the next request only once it is done with the last:
    // given up sooner, a request for a silent display would hold up the
    // next one past its own wait, and so on. Waiting out the gateway's
    // time-out keeps each reply within its request's wait.
    return TcpTransport::NetworkAllowanceMicros() + kGatewayTimeoutMicros;
}

namespace {

// A reply that comes later than this many requests after its own is no
// reply any more: its bytes are taken for stray ones.
constexpr std::uint32_t kTransactionsKept = 64;

std::string TransactionName(std::uint16_t transaction)
{
    return "transaction " + std::to_string(transaction);
}

}  // namespace

bool ModbusTcpTransport::SentLately(std::uint16_t transaction) const
{
    const std::uint16_t age = std::uint16_t(transaction_ - transaction);
    return age < std::min(sent_, kTransactionsKept);
}

bool ModbusTcpTransport::HeaderCanBegin() const
{
    // transaction id (2), protocol 0 (2), length (2: a unit id and a PDU of
    // 1 to 253 bytes), unit id: each byte that has come must fit.
    const std::size_t n = stream_.size();
    if (sent_ == 0)
        return false;
    // The transactions sent lately span one or two high bytes.
    const std::uint16_t oldest = std::uint16_t(transaction_ - (std::min(sent_, kTransactionsKept) - 1));
    if (stream_[0] != transaction_ >> 8 && stream_[0] != oldest >> 8)
        return false;
    if (n >= 2 && !SentLately(std::uint16_t(stream_[0] << 8 | stream_[1])))
        return false;
    if ((n >= 3 && stream_[2] != 0) || (n >= 4 && stream_[3] != 0) || (n >= 5 && stream_[4] != 0))
        return false;
    return n < 6 || (stream_[5] >= 2 && stream_[5] <= 254);
}

std::size_t ModbusTcpTransport::Write(const std::uint8_t* frame, std::size_t length, int* osError)
{
    *osError = 0;
    // address, function, CRC at the least
    if (length < 4)
        return 0;
    // What came for the request before is sorted under it; a reply to it
    // that nobody read is no reply to this one.
    Pump(osError);
    if (!frames_.empty()) {
        dropped_.push_back({MbapFrame(transaction_, frames_[0], frames_.data() + 1, frames_.size() - 3),
                            "reply to " + TransactionName(transaction_) + " after it was given up: dropped"});
        frames_.clear();
    }
    ++transaction_;
    sent_ = std::min(sent_ + 1, kTransactionsKept);
    answered_ = false;
    const std::vector<std::uint8_t> mbap = MbapFrame(transaction_, frame[0], frame + 1, length - 3);
    // What the link counts is the RTU frame it handed over.
    return net::Send(socket_, mbap.data(), mbap.size(), osError) == mbap.size() ? length : 0;
}

std::vector<std::uint8_t> ModbusTcpTransport::AsCarried(const std::uint8_t* frame, std::size_t length) const
{
    // address, function, CRC at the least; less is no frame of ours
    if (length < 4)
        return TcpTransport::AsCarried(frame, length);
    return MbapFrame(transaction_, frame[0], frame + 1, length - 3);
}

bool ModbusTcpTransport::Pump(int* osError)
{
    *osError = 0;
    std::uint8_t chunk[512];
    // What came before the connection failed is still taken apart below.
    while (const std::size_t n = net::Receive(socket_, chunk, sizeof chunk, osError))
        stream_.insert(stream_.end(), chunk, chunk + n);
    std::vector<std::uint8_t> stray;
    auto dropStray = [&] {
        if (!stray.empty())
            dropped_.push_back({std::move(stray), "stray bytes: dropped"});
        stray.clear();
    };
    while (!stream_.empty()) {
        // Bytes that begin no header are passed over one at a time: the
        // next reply's header is found behind them.
        if (!HeaderCanBegin()) {
            stray.push_back(stream_.front());
            stream_.erase(stream_.begin());
            continue;
        }
        if (stream_.size() < 6 || stream_.size() < 6 + std::size_t(stream_[5]))
            break;
        dropStray();
        const std::size_t whole = 6 + std::size_t(stream_[5]);
        std::vector<std::uint8_t> frame(stream_.begin(), stream_.begin() + std::ptrdiff_t(whole));
        stream_.erase(stream_.begin(), stream_.begin() + std::ptrdiff_t(whole));
        const std::uint16_t transaction = std::uint16_t(frame[0] << 8 | frame[1]);
        if (transaction != transaction_) {
            dropped_.push_back({std::move(frame), "reply to " + TransactionName(transaction) + ", not to "
                                                      + TransactionName(transaction_) + ": dropped"});
        } else if (answered_) {
            dropped_.push_back({std::move(frame), TransactionName(transaction) + " answered again: dropped"});
        } else {
            answered_ = true;
            const std::vector<std::uint8_t> rtu = RtuFrame(frame[6], frame.data() + 7, whole - 7);
            frames_.insert(frames_.end(), rtu.begin(), rtu.end());
        }
    }
    dropStray();
    return *osError == 0;
}

std::vector<Transport::Dropped> ModbusTcpTransport::TakeDropped()
{
    return std::exchange(dropped_, {});
}

serial::WaitResult ModbusTcpTransport::WaitReadable(std::int64_t timeoutMicros, int* osError)
{
    // Readable once the whole reply to the request in progress is in: a
    // header alone, or a reply to an earlier request, is nothing to read.
    const std::int64_t deadline = NowMicros() + std::max<std::int64_t>(timeoutMicros, 0);
    for (;;) {
        if (!Pump(osError))
            return serial::WaitResult::Failed;
        if (!frames_.empty())
            return serial::WaitResult::Readable;
        const std::int64_t left = deadline - NowMicros();
        if (left <= 0)
            return serial::WaitResult::TimedOut;
        const serial::WaitResult waited = net::WaitReadable(socket_, left, osError);
        if (waited != serial::WaitResult::Readable)
            return waited;
    }
}

std::size_t ModbusTcpTransport::Read(std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    const bool pumped = Pump(osError);
    // What was whole before the connection failed is still given.
    const std::size_t n = std::min(maxLength, frames_.size());
    std::copy_n(frames_.begin(), n, buffer);
    frames_.erase(frames_.begin(), frames_.begin() + std::ptrdiff_t(n));
    // The failure is reported once nothing whole is left to give.
    if (!pumped && n > 0)
        *osError = 0;
    return n;
}

std::uint32_t ModbusTcpTransport::Pending(int* osError)
{
    Pump(osError);
    return std::uint32_t(frames_.size());
}

void ModbusTcpTransport::DiscardInput()
{
    int osError = 0;
    Pump(&osError);
    frames_.clear();
}

std::unique_ptr<Transport> OpenNetworkPort(const NetworkAddress& address, const serial::LineSettings& line,
                                           net::ConnectFailure* failure, const net::KeepTrying& keepTrying)
{
    net::Socket socket;
    if (!net::Connect(address.host, address.port, kConnectTimeoutMs, &socket, failure, keepTrying))
        return nullptr;
    if (address.protocol == NetworkAddress::Protocol::ModbusTcp)
        return std::make_unique<ModbusTcpTransport>(socket, line);
    return std::make_unique<TcpTransport>(socket, line);
}
