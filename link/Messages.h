// The requests the master sends and what it makes of the bytes that come
// back, on the bytes alone (no port): the link's operations call them, and so
// can anything that holds a reply. Plain C++.
#pragma once

#include "RegisterBlocks.h"
#include "RegisterImage.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The most registers one write carries: its byte count is one byte.
constexpr std::uint16_t kMostWritten16 = 123, kMostWritten32 = 61;

// Requests written into `frame` (room for the longest write, 255 bytes):
// the frame's length, CRC included, or 0 for a write no frame can carry.
int PutReadRequest(std::uint8_t* frame, std::uint8_t address, std::uint16_t start, std::uint16_t quantity);
// The values are the image's, from `start` on.
int PutWriteRequest16(std::uint8_t* frame, const RegisterImage& image, std::uint8_t address, std::uint16_t start,
                      std::uint16_t quantity);
int PutWriteRequest32(std::uint8_t* frame, const RegisterImage& image, std::uint8_t address, std::uint16_t start,
                      std::uint16_t quantity);

// Index of the last byte of a full function 3 reply for `quantity` registers of
// a register type code (0..6): the reply's length less one.
int ExpectedResponseLength(std::uint16_t quantity, std::uint8_t typeCode);

// Why a reply was not taken.
enum class Rejection { None, Address, Crc, Function, Exception, ByteCount, Echo, TooManyRegisters };

// What a rejection means, in a few words for a trace.
std::string DescribeRejection(Rejection rejection, int exceptionCode);

// CheckResponse's verdict on n received bytes: 3, 16 or 17 for a sound reply
// of that function; the exception code negated for an exception reply to
// function 3 or 16; -1 for a sound reply of any other function; 0 for a wrong
// address, a wrong CRC, or fewer than 3 bytes.
int CheckReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address);
// StoreResponse on n received bytes: the values of a read reply whose CRC
// stands at index `last`, into the image from register `start` on, within the
// block `start` falls in. 1 when stored, -1 when the CRC test fails.
int StoreReply(const std::uint8_t* reply, std::size_t n, std::uint16_t start, int last, RegisterImage& image);
// Whether n received bytes are the whole sound reply to a read of `block`.
Rejection JudgeReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block);
// The read step on received bytes: a sound reply to a read of `block` is
// stored into the image's slots of that block and no others.
Rejection StoreReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block, RegisterImage& image);
// Whether n received bytes acknowledge the function 16 request `request`
// (its first 6 bytes are looked at): its echo of address, first register
// and quantity, and nothing more.
Rejection JudgeWriteReply(const std::uint8_t* reply, std::size_t n, const std::uint8_t* request);

// A probe asks whether a display answers at an address: a function 3 read of
// one register every display answers, its status flags.
constexpr unsigned kProbeRegister = Blocks::Status.first;

// A reply to a probe, found among received bytes: a read reply of one
// register (address, 3, 2, value, CRC) or an exception reply to function 3
// (address, 0x83, code 1 to 255, CRC), with a good CRC, from whatever address.
struct ProbeAnswer {
    std::uint8_t address = 0;
    int exceptionCode = 0;  // 0 for a read reply
    std::size_t end = 0;    // the index just past the reply
    // A late reply to an earlier probe, found before this probe's request
    // went out: the address asked for is still to be tried.
    bool late = false;
};
// The first probe reply anywhere in n received bytes.
std::optional<ProbeAnswer> FindProbeAnswer(const std::uint8_t* bytes, std::size_t n);
