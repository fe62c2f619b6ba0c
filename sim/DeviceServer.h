// The simulated display on the network: a serial device server in front of
// its pseudo-terminal, as plants put one in front of a display's RS-485 line.
// It listens on 127.0.0.1 only and serves one client at a time, carrying
// RTU frames as they are, or, as a Modbus TCP gateway, taking each request's
// PDU from under its MBAP header and answering under the same header.
#pragma once

#include "SimDisplay.h"

#include <atomic>
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
    // How many clients have connected so far.
    int Connections() const { return connections_; }

private:
    void Serve();
    void ServeClient(int client);
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
};

}  // namespace sim
