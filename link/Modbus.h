// The display link: one serial master (ModbusLink), the connection settings
// every window uses, and the local copy of the display's registers.
// Plain C++: no Qt here, the simulator's tests and the benchmarks use it too.
#pragma once

#include "SerialPort.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Which port, line and display every exchange uses.
struct ConnectionSettings {
    std::uint8_t portIndex = 0;       // 0..7 for COM 1..COM 8
    std::uint8_t modeIndex = 0;       // 0..3 for 8n1, 8n2, 8e1, 8o1
    std::uint8_t rateIndex = 0;       // 0..7, see kPortRates
    std::uint8_t portOpen = 0;        // set and cleared only by OpenPort and ClosePort
    std::uint8_t displayAddress = 1;  // 1..247
};

constexpr unsigned kModeCount = 4;
constexpr unsigned kPortRateCount = 8;
constexpr unsigned kPortCount = 8;
extern const char* const kModeNames[kModeCount];
extern const std::uint32_t kPortRates[kPortRateCount];

// Bits on the wire per character in a mode: start, 8 data, parity, stop.
unsigned CharacterBits(std::uint8_t modeIndex);
// Microseconds that `bytes` characters take on the line.
std::uint64_t WireTimeMicros(std::uint32_t bytes, std::uint8_t modeIndex, std::uint8_t rateIndex);

// The display counts rates in ten codes (registers 4002 and 4005); the port's
// list of eight lacks 28800 (code 5) and 76800 (code 8).
std::uint32_t RateIndexToCode(int rateIndex);
// Codes 5 and 8 give the entries of 19200 and 57600.
int RateCodeToIndex(std::uint32_t rateCode);

// The device that a port index opens on this machine ("" when none).
std::string PortDeviceName(unsigned portIndex);

// A 32-bit register holds a single-precision float's bits as they travel.
std::uint32_t FloatToBits(float value);
float BitsToFloat(std::uint32_t bits);

// The tool's copy of the display's registers, one 32-bit slot per register
// number. 16-bit registers are held zero-extended; the 7500 block holds the
// 32 bits as they travel (the windows read them as single-precision floats).
class RegisterImage {
public:
    static constexpr unsigned kFirst16 = 4000, kCount16 = 40;
    static constexpr unsigned kFirstTable = 4300, kCountTable = 50;
    static constexpr unsigned kFirst32 = 7500, kCount32 = 200;

    std::uint32_t block4000[kCount16] = {};
    std::uint32_t block4300[kCountTable] = {};
    std::uint32_t block7500[kCount32] = {};

    // The slot of a register, or nullptr for a number outside the three blocks.
    std::uint32_t* Slot(unsigned reg);
    std::uint32_t Get(unsigned reg) const;
    void Set(unsigned reg, std::uint32_t value);
    float GetFloat(unsigned reg) const;
    void SetFloat(unsigned reg, float value);
    void Clear();
};

// Modbus CRC-16 over data[0..last], with the CRC's low-order byte in the upper
// 8 bits: frames append the upper byte first, which puts the low-order byte
// first on the line as the standard wants.
std::uint16_t Crc16(const std::uint8_t* data, int last);
extern const std::uint8_t kCrcHighTable[256];
extern const std::uint8_t kCrcLowTable[256];

// Index of the last byte of a full function 3 reply for `quantity` registers of
// a register type code (0..6): the reply's length less one.
int ExpectedResponseLength(std::uint16_t quantity, std::uint8_t typeCode);

class ModbusLink {
public:
    static constexpr std::size_t kBufferSize = 300;

    enum class HandleState { Null, Invalid, Valid };

    ModbusLink(ConnectionSettings& settings, RegisterImage& image);

    // --- serial port ---
    int OpenPort(std::uint8_t portIndex, std::uint8_t modeIndex, std::uint8_t rateIndex);
    int ClosePort();
    std::uint32_t SendFrame(std::uint32_t length);
    std::uint32_t ReceiveFrame();
    std::uint32_t PendingBytes();

    // The pause after a request, where `wanted` is the count the caller then
    // compares PendingBytes() with (the expected length, or 7 for a write).
    // Returns as soon as the whole reply (wanted + 1 bytes, or a 5-byte
    // exception reply) is pending and the line has been silent for 3.5
    // characters, else when pauseMs plus the reply's wire time have passed.
    // Returns PendingBytes() at that moment.
    std::uint32_t WaitForReply(unsigned pauseMs, std::uint32_t wanted);

    // Why the last OpenPort failed: the device tried and the OS error.
    const std::string& LastOpenDevice() const { return lastOpenDevice_; }
    int LastOpenError() const { return lastOpenError_; }

    // --- Modbus RTU framing ---
    int BuildReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);
    int CheckResponse(std::uint8_t address);
    int StoreResponse(std::uint16_t start, int last);
    int BuildWriteRequest16(std::uint8_t address, std::uint16_t start, std::uint16_t quantity,
                            std::uint8_t typeCode = 3);
    int BuildWriteRequest32(std::uint8_t address, std::uint16_t start, std::uint16_t quantity);

    // Back to the state at program start (tests); closes an open port.
    void Reset();

    // In the order of the port's state: handle, line, buffers, open flag.
    HandleState handleState = HandleState::Null;
    serial::Handle portHandle = 0;
    serial::LineSettings lineSettings {};
    std::uint8_t receiveBuffer[kBufferSize] = {};
    std::uint8_t transmitBuffer[kBufferSize] = {};
    std::uint8_t openFlag = 0;

private:
    bool ExceptionReplyPending();
    void DropPeeked() { peekedCount_ = 0; }
    int AppendCrc(int length);

    ConnectionSettings& settings_;
    RegisterImage& image_;
    std::uint32_t receivedCount_ = 0;  // bytes the last ReceiveFrame put into receiveBuffer
    // Address and function code taken from the port ahead of ReceiveFrame, so
    // the reply wait can tell an exception reply; they still count as pending.
    std::uint8_t peeked_[2] = {};
    std::uint32_t peekedCount_ = 0;
    std::string lastOpenDevice_;
    int lastOpenError_ = 0;
};

// The program's one link, settings block and image.
extern ConnectionSettings Settings;
extern RegisterImage Image;
extern ModbusLink Link;

// Puts all three back as the program starts (tests).
void ResetLink();
