// What the master needs of the way its frames travel: a serial port, or a
// TCP connection to a device server or a gateway. Chosen at run time, by
// the path a port opens ("/dev/ttyUSB0", "tcp://192.0.2.7:4001").
// Plain C++, no Qt. Results and OS errors are kept apart as in SerialPort.h.
#pragma once

#include "SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Transport {
public:
    virtual ~Transport() = default;

    // Puts the port back as it was found and releases it.
    virtual void Close() = 0;
    // Writes an RTU frame (address, PDU, CRC) the way this transport carries
    // it; returns the frame's bytes taken.
    virtual std::size_t Write(const std::uint8_t* frame, std::size_t length, int* osError) = 0;
    // Blocks until bytes can be read or the time-out has passed (negative: only looks).
    virtual serial::WaitResult WaitReadable(std::int64_t timeoutMicros, int* osError) = 0;
    // Reads up to maxLength of the bytes already there, as RTU frames; never waits.
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t maxLength, int* osError) = 0;
    // Bytes that Read would give now.
    virtual std::uint32_t Pending(int* osError) = 0;
    virtual void DiscardInput() = 0;

    // The line it runs, for timing and for the trace.
    virtual const serial::LineSettings& Line() const = 0;
    // Microseconds `bytes` characters take on the serial line behind it.
    std::uint64_t WireTimeMicros(std::uint32_t bytes) const;
    // The silence that ends a frame on that line, which the master keeps
    // before each request.
    virtual std::uint64_t FrameGapMicros() const;
    // What a reply may take beyond its wire time to travel here: nothing on
    // a serial port, the network's round trip and a device server's own
    // buffering over TCP.
    virtual std::int64_t NetworkAllowanceMicros() const { return 0; }
    // Whether it carries the PDU alone, its framing rebuilt on the way (a
    // Modbus TCP gateway), rather than the RTU frames as they are.
    virtual bool CarriesPduOnly() const { return false; }

    // An RTU frame the master handed over or was given, as it travelled
    // here, for the trace: the frame itself, or what a transport rebuilt
    // it from.
    virtual std::vector<std::uint8_t> AsCarried(const std::uint8_t* frame, std::size_t length) const
    {
        return std::vector<std::uint8_t>(frame, frame + length);
    }

    // A sentence a user can act on for an OS error this transport reported.
    virtual std::string ErrorText(int osError) const { return serial::ErrorText(osError); }

    // Bytes that came but belong to no exchange in progress (a reply to an
    // earlier request, a reply sent twice, stray bytes), dropped before the
    // master saw them, each with why: for the trace. Taken once.
    struct Dropped {
        std::vector<std::uint8_t> bytes;
        std::string why;
    };
    virtual std::vector<Dropped> TakeDropped() { return {}; }
};

// The character format of a line: 1 for 8n1, 2 for 8n2 and so on (the
// connection settings' mode index).
std::uint8_t ModeIndexOf(const serial::LineSettings& line);
// The other way: the line of a mode index at a rate in baud.
serial::LineSettings LineOf(std::uint8_t modeIndex, std::uint32_t baud);

// A serial port through the platform layer of SerialPort.h.
class SerialTransport final : public Transport {
public:
    // Nothing on failure, with *failure saying why.
    static std::unique_ptr<SerialTransport> Open(const std::string& device, const serial::LineSettings& line,
                                                 serial::OpenFailure* failure);
    // A port no caller closed is closed here: its lock and exclusive mode
    // never outlive it, whatever path forgot it.
    ~SerialTransport() override;
    SerialTransport(const SerialTransport&) = delete;
    SerialTransport& operator=(const SerialTransport&) = delete;
    // Once; later calls do nothing.
    void Close() override;
    std::size_t Write(const std::uint8_t* frame, std::size_t length, int* osError) override;
    serial::WaitResult WaitReadable(std::int64_t timeoutMicros, int* osError) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t maxLength, int* osError) override;
    std::uint32_t Pending(int* osError) override;
    void DiscardInput() override;
    const serial::LineSettings& Line() const override { return port_.line; }
    // The OS port, for what only a serial port has (how RTS is driven).
    const serial::Port& Port() const { return port_; }

private:
    explicit SerialTransport(const serial::Port& port) : port_(port) {}
    serial::Port port_;
    bool open_ = true;
};
