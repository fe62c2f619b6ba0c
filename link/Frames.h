// The framing around a Modbus PDU (function code and data): the RTU frame
// (address, PDU, CRC) a serial line and a device server carry, and the MBAP
// frame (transaction id, protocol 0, length, unit id, PDU) of Modbus TCP.
// Plain C++, on bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Modbus CRC-16 over data[0..last], with the CRC's low-order byte in the upper
// 8 bits: frames append the upper byte first, which puts the low-order byte
// first on the line as the standard wants.
std::uint16_t Crc16(const std::uint8_t* data, int last);
extern const std::uint8_t kCrcHighTable[256];
extern const std::uint8_t kCrcLowTable[256];

// Whether the last two bytes of frame[0..length-1] are the CRC of the bytes
// before them; never for fewer than three bytes.
bool CrcHolds(const std::uint8_t* frame, std::size_t length);

// Puts the CRC of frame[0..length-1] after it, low-order byte first;
// returns the frame's new length.
std::size_t AppendCrc(std::uint8_t* frame, std::size_t length);

// The MBAP frame of a PDU: transaction id, protocol 0, length, unit id, PDU.
std::vector<std::uint8_t> MbapFrame(std::uint16_t transaction, std::uint8_t unit, const std::uint8_t* pdu,
                                    std::size_t pduLength);
// The RTU frame of a PDU: address, PDU, CRC (low-order byte first).
std::vector<std::uint8_t> RtuFrame(std::uint8_t address, const std::uint8_t* pdu, std::size_t pduLength);
