// The simulated display on the network: a serial device server in front of
// its pseudo-terminal, as plants put one in front of a display's RS-485 line.
// It listens on 127.0.0.1 only. As a device server it carries RTU frames as
// they are for one client, and a second is told "Port already in use" and
// let go, as serial device servers do. As a Modbus TCP gateway it serves
// several clients at once, as gateways do: it takes each request's PDU from
// under its MBAP header onto the line, one at a time and the clients in
// turn, and answers under the same header; a client that sends nothing
// keeps nobody out.
#pragma once

#include "SerialPort.h"
#include "SimDisplay.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class DeviceServer {
public:
    enum class Protocol { RtuOverTcp, ModbusTcp };

    // `display` must be started and outlive the server.
    DeviceServer(SimDisplay& display, Protocol protocol, std::ostream* log = nullptr);
    ~DeviceServer();
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port) and starts serving. False
    // with *error set when it cannot.
    bool Start(std::uint16_t port, std::string* error = nullptr);
    void Stop();
    std::uint16_t Port() const { return port_; }
    // What the tool opens: "tcp://127.0.0.1:5020", "modbus-tcp://127.0.0.1:5020".
    std::string Path() const;

    // The next reply is cut after `bytes` of it reached the client, and the
    // connection closed: a device server that restarts or a cable pulled.
    void DropMidReply(std::size_t bytes);
    // As a Modbus TCP gateway, refuses what the standard's byte counts do not
    // fit: a write whose byte count is not two a register (exception 3), a
    // read reply that does not carry two bytes a register (exception 4). The
    // display's 32-bit registers are refused so.
    void CheckByteCounts(bool check) { checkByteCounts_ = check; }
    // As a Modbus TCP gateway, how long it waits for the display before it
    // gives a request up (1 s by default; a gateway that retries waits
    // longer), and what it then answers: exception 10 or 11 as many
    // gateways do, or 0 for nothing at all.
    void GiveUpAfter(int milliseconds, std::uint8_t exceptionCode)
    {
        giveUpMs_ = milliseconds;
        giveUpException_ = exceptionCode;
    }
    // How many clients have connected so far.
    int Connections() const { return connections_; }

private:
    struct Client {
        int fd;
        std::vector<std::uint8_t> request;  // Modbus TCP: what came of its next requests
        bool gone = false;
    };
    // The display's line while any client is connected, and, as a gateway,
    // the request on it.
    struct Line {
        serial::Port port;
        int fd = -1;
        std::chrono::microseconds frameGap {0};
        std::chrono::steady_clock::time_point quietAt {};
        bool awaiting = false;
        int awaitingFd = -1;  // the client the reply goes to; -1 once it left
        std::uint8_t header[8] = {};  // the request's MBAP header and function code, for its reply
        unsigned readBytes = 0;       // the bytes a read's reply carries by the standard
        std::vector<std::uint8_t> reply;
        std::chrono::steady_clock::time_point deadline {};
        std::size_t nextClient = 0;
    };
    void Serve();
    void Accept(std::vector<Client>& clients, Line& line);
    // What a client sent: onto the line (RTU), or kept until whole (Modbus
    // TCP); false when the client is to be let go.
    bool FromClient(Client& client, const std::uint8_t* bytes, std::size_t count, Line& line);
    // As a gateway, the next whole request of any client onto the line.
    void NextRequest(std::vector<Client>& clients, Line& line);
    void FromLine(std::vector<Client>& clients, Line& line, std::uint8_t* buffer, std::size_t size);
    // As a gateway, the request on the line given up at its time-out.
    void GiveUp(std::vector<Client>& clients, Line& line);
    // Bytes towards the client, the connection dropped when a drop is due
    // within them; false when the client is gone.
    bool ToClient(int client, const std::uint8_t* bytes, std::size_t count);
    // As a gateway, a Modbus TCP frame in the log beside the display's RTU frames.
    void LogMbap(const char* direction, const std::vector<std::uint8_t>& frame, const std::string& note) const;

    SimDisplay& display_;
    Protocol protocol_;
    std::ostream* log_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};  // Stop() writes here to end the serving thread's waits
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    long dropAfter_ = -1;  // bytes of the next reply still to pass before the drop; -1: none
    std::atomic<int> connections_ {0};
    std::atomic<bool> checkByteCounts_ {false};
    std::atomic<int> giveUpMs_;
    std::atomic<std::uint8_t> giveUpException_ {0};
};

}  // namespace sim
