// The display link: one port and the master that exchanges over it
// (ModbusLink), on the connection settings and the local copy of the
// display's registers its owner gives it.
// Plain C++: no Qt here, the simulator's tests and the benchmarks use it too.
#pragma once

#include "ConnectionSettings.h"
#include "Frames.h"
#include "LineTiming.h"
#include "Master.h"
#include "Messages.h"
#include "NetworkTransport.h"
#include "RegisterBlocks.h"
#include "RegisterImage.h"
#include "SerialPort.h"
#include "Transport.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

class ModbusLink {
public:
    static constexpr std::size_t kBufferSize = ModbusMaster::kBufferSize;
    // The most registers one write carries: its byte count is one byte.
    static constexpr std::uint16_t kMostWritten16 = ::kMostWritten16, kMostWritten32 = ::kMostWritten32;
    // The longest wait before a raw SendFrame, as the block steps wait at
    // most their pause: the pause most exchanges use.
    static constexpr unsigned kSettleBoundMs = 500;

    ModbusLink(ConnectionSettings& settings, RegisterImage& image);
    // Closes the port it still holds, as ClosePort does.
    ~ModbusLink();
    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

    // --- serial port ---
    // Port index as in ConnectionSettings: a port this run's list has given.
    int OpenPort(std::uint8_t portIndex, std::uint8_t modeIndex, std::uint8_t rateIndex);
    // The same for a device named by its path ("/dev/ttyUSB0", "\\.\COM12"),
    // whatever port index it may stand behind; the settings' port index stays.
    int OpenDevice(const std::string& device, std::uint8_t modeIndex, std::uint8_t rateIndex);
    int ClosePort();
    // Sends the first `length` bytes of the transmit buffer. Whatever an
    // earlier exchange left in the input queue is discarded first, so it can
    // never be taken as part of this request's reply.
    // It waits first for a frame gap after the last frame (3.5 characters of
    // silence) and for bytes still coming to stop, at most kSettleBoundMs.
    std::uint32_t SendFrame(std::uint32_t length);
    std::uint32_t ReceiveFrame() { return master_.ReceiveFrame(); }
    std::uint32_t PendingBytes() { return master_.PendingBytes(); }

    // The pause after a request, where `wanted` is the count the caller then
    // compares PendingBytes() with (the expected length, or 7 for a write).
    // Blocks on the port and returns as soon as the whole reply (wanted + 1
    // bytes, or a 5-byte exception reply) is pending, else when pauseMs plus
    // the wire time of request and reply have passed. Returns PendingBytes()
    // at that moment.
    std::uint32_t WaitForReply(unsigned pauseMs, std::uint32_t wanted);

    // Why the last OpenPort failed: the device tried and the OS error.
    const std::string& LastOpenDevice() const { return lastOpenPort_.path; }
    const PortTarget& LastOpenPort() const { return lastOpenPort_; }
    int LastOpenError() const { return lastOpenFailure_.osError; }
    // The device opened but refused the line (mode or rate): another line may open.
    bool LastOpenRefusedLine() const { return lastOpenFailure_.lineRefused; }
    // The rate the port runs at when it was refused for not being the rate
    // asked for (0 otherwise), and the rate that was asked for.
    std::uint32_t LastOpenBaudReadBack() const { return lastOpenFailure_.baudReadBack; }
    std::uint32_t LastOpenBaudAsked() const { return lastOpenBaudAsked_; }
    // A sentence a user can act on: "The port runs at 120000 baud when asked
    // for 115200", "Permission denied: ...".
    std::string LastOpenErrorText() const;
    // The last open was a network port's connection attempt that the
    // connect watch gave up: the user chose to, nothing to tell them.
    bool LastOpenGivenUp() const { return lastOpenGivenUp_; }
    // Asked while a network port's connection attempt waits (see
    // net::KeepTrying): false gives it up. Empty: it runs to its time-out.
    void SetConnectWatch(std::function<bool()> keepTrying) { connectWatch_ = std::move(keepTrying); }

    // An open port that failed under an exchange (an unplugged adapter) is
    // closed at once; these say which device it was and the OS error, until
    // the next OpenPort.
    bool PortLost() const { return lostError_ != 0; }
    const std::string& LostDevice() const { return lostPort_.path; }
    const PortTarget& LostPort() const { return lostPort_; }
    int LostError() const { return lostError_; }
    // That error in a user's words, as the port that reported it puts them.
    const std::string& LostErrorText() const { return lostErrorText_; }

    // --- block steps: every exchange the windows make (the master's) ---
    // Reads a block into the image: request, reply wait of at most pauseMs
    // (plus the reply's wire time), check, store.
    ReadResult ReadBlock(const RegisterBlock& block, unsigned pauseMs) { return master_.ReadBlock(block, pauseMs); }
    // Reads the blocks in order. A refused reply leaves its block as it was
    // and the next is still read (Rejected at the end); a missing reply or a
    // lost port ends the read there.
    ReadResult ReadBlocks(std::initializer_list<RegisterBlock> blocks, unsigned pauseMs)
    {
        return master_.ReadBlocks(blocks, pauseMs);
    }
    // Writes a block from the image and takes its reply, whatever it is.
    WriteResult WriteBlock(const RegisterBlock& block, unsigned pauseMs) { return master_.WriteBlock(block, pauseMs); }
    // Probes `address` at the port's line: Answered, with the reply's own
    // address in *answer, when any display began to reply within the
    // request's wire time, 3.5 characters and a turnaround of latencyMs; a
    // reply that has begun is waited for until whole, so nothing else goes
    // out while it may still come. What else the probe met (a late answer
    // to the probe before, another master's frames, a gateway's time) goes
    // to *notes: see ModbusMaster::Probe.
    ProbeResult Probe(std::uint8_t address, unsigned latencyMs, ProbeAnswer* answer, ProbeNotes* notes = nullptr);
    // Every frame of the block steps goes to the observer, when one is set.
    void SetFrameObserver(FrameObserver observer) { master_.SetFrameObserver(std::move(observer)); }
    const FrameObserver& Observer() const { return master_.Observer(); }
    // The settings this link opens its port with and keeps up to date.
    const ConnectionSettings& Connection() const { return settings_; }
    // The last block step's request went out on a line that never fell
    // silent within its bounded wait: another master or noise on the line.
    bool LineNeverFellSilent() const { return master_.LineNeverFellSilent(); }
    // The port is open: set by a successful open, cleared by a close.
    bool IsOpen() const { return open_; }
    // The line of the port as last opened.
    const serial::LineSettings& Line() const { return master_.Line(); }
    // The device of the port as last opened.
    const std::string& PortDevice() const { return openedPort_.path; }
    const PortTarget& OpenedPort() const { return openedPort_; }
    // What the trace's open line says of the open port beyond its line (a
    // USB adapter's input latency); empty when nothing.
    std::string PortNote() const;

    // Why the last step's reply was not taken, and the exception code of an
    // exception reply.
    Rejection LastRejection() const { return master_.LastRejection(); }
    int LastExceptionCode() const { return master_.LastExceptionCode(); }
    // The last step that did not do what it was for (the port lost aside);
    // a later step that succeeds leaves it, so an action of several steps
    // can still say why one of them failed.
    const StepFailure& LastFailedStep() const { return master_.LastFailedStep(); }

    // The buffers the raw calls and the framing work in, kBufferSize bytes
    // each: the master's, the same bytes its steps use.
    std::uint8_t* TransmitBuffer() { return master_.TransmitBuffer(); }
    std::uint8_t* ReceiveBuffer() { return master_.ReceiveBuffer(); }
    const std::uint8_t* ReceiveBuffer() const { return master_.ReceiveBuffer(); }

    // --- Modbus RTU framing ---
    int BuildReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);
    int CheckResponse(std::uint8_t address);
    int StoreResponse(std::uint16_t start, int last);
    int BuildWriteRequest16(std::uint8_t address, std::uint16_t start, std::uint16_t quantity,
                            std::uint8_t typeCode = 3);
    int BuildWriteRequest32(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);

    // Back to the state at program start (tests); closes an open port.
    void Reset();

    // The serial port under the link, when it is one: how RTS follows a request.
    const serial::Port* SerialPortOf() const;

private:
    enum class HandleState { Null, Invalid, Valid };

    // The master reports its transport failed: the port is closed at once.
    void Lose(int osError, const std::string& errorText);
    // A connection to the network port a path names; nothing, with the
    // reason kept for LastOpenErrorText, when it cannot be made.
    std::unique_ptr<Transport> OpenNetwork(const PortTarget& target, const serial::LineSettings& line);

    ConnectionSettings& settings_;
    RegisterImage& image_;
    HandleState handleState_ = HandleState::Null;
    bool open_ = false;
    std::unique_ptr<Transport> transport_;  // while the port is open
    PortTarget lastOpenPort_;
    serial::OpenFailure lastOpenFailure_;
    std::string lastOpenFailureText_;  // why a network port did not open
    bool lastOpenGivenUp_ = false;
    std::function<bool()> connectWatch_;
    std::uint32_t lastOpenBaudAsked_ = 0;
    PortTarget openedPort_;  // the port as last opened
    PortTarget lostPort_;
    int lostError_ = 0;
    std::string lostErrorText_;
    // The block steps, on this link's transport.
    ModbusMaster master_;
};
