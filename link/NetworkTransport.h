// The network ports: RTU frames over a TCP connection to a serial device
// server ("tcp://192.0.2.7:4001"), or their PDUs under the MBAP header to a
// Modbus TCP gateway ("modbus-tcp://192.0.2.7:502"), the display's address
// as the unit id.
#pragma once

#include "Frames.h"
#include "TcpSocket.h"
#include "Transport.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct NetworkAddress {
    enum class Protocol { RtuOverTcp, ModbusTcp };
    Protocol protocol = Protocol::RtuOverTcp;
    std::string host;
    std::uint16_t port = 0;

    // "tcp://192.0.2.7:4001", "modbus-tcp://[fe80::1]:502": what a port opens.
    std::string Path() const;
    // "192.0.2.7:4001": what a user calls it.
    std::string HostAndPort() const;
    // "RTU over TCP", "Modbus TCP".
    const char* ProtocolName() const;
    // "192.0.2.7:4001 (RTU over TCP)": the port in a list or a message.
    std::string Name() const;
};

// A port's path read once into what it names: a serial device ("/dev/ttyUSB0",
// "\\.\COM12", a by-id path) or a network port. The open, the messages and
// the trace all go by this one reading.
struct PortTarget {
    std::string path;  // as given
    // A network scheme (tcp://, modbus-tcp://), well formed or not.
    bool network = false;
    // The network port it names; nothing for a serial device or a malformed
    // network path (no host, a port outside 1..65535), which cannot open.
    std::optional<NetworkAddress> address;

    static PortTarget Of(const std::string& path);
    // Through a Modbus TCP gateway, which carries the PDU alone.
    bool ThroughGateway() const
    {
        return address && address->protocol == NetworkAddress::Protocol::ModbusTcp;
    }
    // "192.0.2.7:4001 (RTU over TCP)" for a network port, else the path.
    std::string Name() const { return address ? address->Name() : path; }
};

// How long a connection attempt may take before it is given up.
constexpr int kConnectTimeoutMs = 3000;

// RTU frames as they are, over TCP.
class TcpTransport : public Transport {
public:
    // Takes over a connected socket; `line` is the serial line behind the
    // device server, for the replies' timing.
    TcpTransport(net::Socket socket, const serial::LineSettings& line) : socket_(socket), line_(line) {}
    ~TcpTransport() override;
    void Close() override;
    std::size_t Write(const std::uint8_t* frame, std::size_t length, int* osError) override;
    serial::WaitResult WaitReadable(std::int64_t timeoutMicros, int* osError) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t maxLength, int* osError) override;
    std::uint32_t Pending(int* osError) override;
    void DiscardInput() override;
    const serial::LineSettings& Line() const override { return line_; }
    std::int64_t NetworkAllowanceMicros() const override;
    // A device server that refused this client and said why in words (ser2net:
    // "Port already in use") is named by them, whatever error its close gave.
    std::string ErrorText(int osError) const override;

protected:
    // Keeps what the peer sent while all of it is a line of text.
    void NoteReceived(const std::uint8_t* bytes, std::size_t count);

    net::Socket socket_;
    serial::LineSettings line_;
    bool open_ = true;
    std::string said_;      // the text the peer sent, up to its first line's end
    bool onlyText_ = true;  // nothing but text has come since the connection was made
};

// How long a gateway commonly waits for a display before it gives a request
// up (and answers it with exception 11, or not at all).
constexpr std::int64_t kGatewayTimeoutMicros = 1000000;

// The PDU under the MBAP header: transaction id, protocol 0, length, unit
// id. The link still hands over and takes RTU frames: a request loses its
// address and CRC on the way out, and a reply to it gains them on the way
// in. Replies are taken apart by their header's length field; only the
// first reply to the request in progress is handed on. A reply to an
// earlier request (given up), a second copy of a reply, and bytes that
// begin no header of a request sent lately are dropped, and TakeDropped
// says which.
class ModbusTcpTransport final : public TcpTransport {
public:
    using TcpTransport::TcpTransport;
    std::size_t Write(const std::uint8_t* frame, std::size_t length, int* osError) override;
    serial::WaitResult WaitReadable(std::int64_t timeoutMicros, int* osError) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t maxLength, int* osError) override;
    std::uint32_t Pending(int* osError) override;
    void DiscardInput() override;
    bool CarriesPduOnly() const override { return true; }
    // The PDU under the header of the last request, which a reply handed on shares.
    std::vector<std::uint8_t> AsCarried(const std::uint8_t* frame, std::size_t length) const override;
    // The gateway is the line's master and keeps its silences itself.
    std::uint64_t FrameGapMicros() const override { return 0; }
    std::int64_t NetworkAllowanceMicros() const override;
    std::vector<Dropped> TakeDropped() override;

private:
    // Takes what has come from the socket and turns the reply to the
    // request in progress into an RTU frame; false when the connection failed.
    bool Pump(int* osError);
    // Whether the head of what came can still begin the header of a reply
    // to a request sent lately, as far as it has come.
    bool HeaderCanBegin() const;
    // A transaction this connection sent not long ago: its reply may still come.
    bool SentLately(std::uint16_t transaction) const;

    std::uint16_t transaction_ = 0;  // the request in progress
    std::uint32_t sent_ = 0;         // requests sent, counted up to a bound
    bool answered_ = false;          // its reply has been handed on
    std::vector<std::uint8_t> stream_;  // as it came, up to a part of the next header
    std::vector<std::uint8_t> frames_;  // the RTU frame ready to be read
    std::vector<Dropped> dropped_;
};

// Connects to the network port an address names, within kConnectTimeoutMs
// and while keepTrying says so; `line` is the serial line behind it, for
// timing. Nothing on failure, with *failure saying why.
std::unique_ptr<Transport> OpenNetworkPort(const NetworkAddress& address, const serial::LineSettings& line,
                                           net::ConnectFailure* failure, const net::KeepTrying& keepTrying = {});
