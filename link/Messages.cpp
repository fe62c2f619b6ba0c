#include "Messages.h"

#include "Frames.h"

#include <algorithm>
#include <cstring>

namespace {

// Why n bytes are not a sound reply of `function` from `address`, looking at
// the fields in the order they travel.
Rejection FaultOf(const std::uint8_t* reply, std::size_t n, std::uint8_t address, std::uint8_t function)
{
    if (n >= 1 && reply[0] != address)
        return Rejection::Address;
    if (!CrcHolds(reply, n))
        return Rejection::Crc;
    if (reply[1] & 0x80)
        return Rejection::Exception;
    if (reply[1] != function)
        return Rejection::Function;
    return Rejection::None;
}

int PutRequestHeader(std::uint8_t* frame, std::uint8_t address, std::uint8_t function, std::uint16_t start,
                     std::uint16_t quantity)
{
    // address, function, first register, quantity: both high byte first
    frame[0] = address;
    frame[1] = function;
    frame[2] = std::uint8_t(start >> 8);
    frame[3] = std::uint8_t(start & 0xFF);
    frame[4] = std::uint8_t(quantity >> 8);
    frame[5] = std::uint8_t(quantity & 0xFF);
    return 6;
}

int AppendCrcTo(std::uint8_t* frame, int length)
{
    return int(AppendCrc(frame, std::size_t(length)));
}

}  // namespace

int PutReadRequest(std::uint8_t* frame, std::uint8_t address, std::uint16_t start, std::uint16_t quantity)
{
    return AppendCrcTo(frame, PutRequestHeader(frame, address, 3, start, quantity));
}

namespace {

// A function 16 request of `quantity` values from the image, each `width`
// bytes, most significant byte first: header, byte count, values.
int PutWriteRequest(std::uint8_t* frame, const RegisterImage& image, std::uint8_t address, std::uint16_t start,
                    std::uint16_t quantity, unsigned width)
{
    PutRequestHeader(frame, address, 16, start, quantity);
    frame[6] = std::uint8_t(width * quantity);
    for (unsigned k = 0; k < quantity; ++k) {
        const std::uint32_t value = image.Get(start + k);
        for (unsigned b = 0; b < width; ++b)
            frame[7 + width * k + b] = std::uint8_t(value >> (8 * (width - 1 - b)));
    }
    return AppendCrcTo(frame, int(7 + width * quantity));
}

}  // namespace

int PutWriteRequest16(std::uint8_t* frame, const RegisterImage& image, std::uint8_t address, std::uint16_t start,
                      std::uint16_t quantity)
{
    // The byte count is one byte: the protocol carries at most 123 registers.
    if (quantity > kMostWritten16)
        return 0;
    return PutWriteRequest(frame, image, address, start, quantity, 2);
}

int PutWriteRequest32(std::uint8_t* frame, const RegisterImage& image, std::uint8_t address, std::uint16_t start,
                      std::uint16_t quantity)
{
    // Four bytes a value in a one-byte count: at most 61 values. One
    // register number per 32-bit value, and the quantity counts values, not
    // words.
    if (quantity > kMostWritten32)
        return 0;
    return PutWriteRequest(frame, image, address, start, quantity, 4);
}

int ExpectedResponseLength(std::uint16_t quantity, std::uint8_t typeCode)
{
    switch (typeCode) {
    case 0: case 1: return 4 + quantity;
    case 2: case 3: return 4 + 2 * quantity;
    case 4: case 5: case 6: return 4 + 4 * quantity;
    default: return 4;
    }
}

int CheckReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address)
{
    // Too short to hold an address, a function code and a CRC.
    if (n < 3)
        return 0;
    if (reply[0] != address)
        return 0;
    if (!CrcHolds(reply, n))
        return 0;
    switch (reply[1]) {
    case 3: return 3;
    case 16: return 16;
    case 17: return 17;
    case 0x83:
    case 0x90: return n > 3 ? -reply[2] : 0;
    default: return -1;
    }
}

int StoreReply(const std::uint8_t* reply, std::size_t n, std::uint16_t start, int last, RegisterImage& image)
{
    // The CRC must stand where the expected length puts it, inside what came.
    if (last < 4 || last >= static_cast<int>(n))
        return -1;
    if (!CrcHolds(reply, std::size_t(last) + 1))
        return -1;
    if (start < RegisterImage::kFirst16)
        return 1;
    const bool wide = start >= RegisterImage::kFirst32;
    const int width = wide ? 4 : 2;
    // Values are taken from the byte count, but never from the CRC's bytes.
    const int available = (last - 1 - 3) / width;
    const int count = std::min(reply[2] / width, available);
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* value = reply + 3 + width * k;
        unsigned reg = start + k;
        std::uint32_t word = wide ? std::uint32_t(value[0]) << 24 | std::uint32_t(value[1]) << 16
                                        | std::uint32_t(value[2]) << 8 | value[3]
                                  : std::uint32_t(value[0]) << 8 | value[1];
        // Stay in the block the start register chose; what falls outside is dropped.
        bool inBlock = wide ? reg < RegisterImage::kFirst32 + RegisterImage::kCount32
                       : start < RegisterImage::kFirstTable
                           ? reg < RegisterImage::kFirst16 + RegisterImage::kCount16
                           : reg >= RegisterImage::kFirstTable
                                 && reg < RegisterImage::kFirstTable + RegisterImage::kCountTable;
        if (inBlock)
            image.Set(reg, word);
    }
    return 1;
}

Rejection JudgeReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block)
{
    if (Rejection fault = FaultOf(reply, n, address, 3); fault != Rejection::None)
        return fault;
    // address, 3, byte count, the values, CRC: nothing more, nothing less
    const std::size_t dataBytes = std::size_t(block.quantity) * block.ValueBytes();
    if (n != 5 + dataBytes || reply[2] != dataBytes)
        return Rejection::ByteCount;
    return Rejection::None;
}

Rejection JudgeWriteReply(const std::uint8_t* reply, std::size_t n, const std::uint8_t* request)
{
    if (Rejection fault = FaultOf(reply, n, request[0], 16); fault != Rejection::None)
        return fault;
    // address, 16, first register, quantity, CRC: the request's own header
    if (n != 8 || std::memcmp(reply + 2, request + 2, 4) != 0)
        return Rejection::Echo;
    return Rejection::None;
}

Rejection StoreReadReply(const std::uint8_t* reply, std::size_t n, std::uint8_t address,
                         const RegisterBlock& block, RegisterImage& image)
{
    const Rejection rejection = JudgeReadReply(reply, n, address, block);
    if (rejection == Rejection::None)
        StoreReply(reply, n, block.first, ExpectedResponseLength(block.quantity, block.TypeCode()), image);
    return rejection;
}

std::string DescribeRejection(Rejection rejection, int exceptionCode)
{
    switch (rejection) {
    case Rejection::None: return "taken";
    case Rejection::Address: return "from another address";
    case Rejection::Crc: return "CRC error";
    case Rejection::Function: return "another function's reply";
    case Rejection::Exception: return "refused with exception " + std::to_string(exceptionCode);
    case Rejection::ByteCount: return "wrong byte count";
    case Rejection::Echo: return "not this write's echo";
    case Rejection::TooManyRegisters: return "more registers than one request carries";
    }
    return {};
}

std::optional<ProbeAnswer> FindProbeAnswer(const std::uint8_t* bytes, std::size_t n)
{
    // A reply may follow noise or the tail of another: every start is tried.
    for (std::size_t at = 0; at + 5 <= n; ++at) {
        const std::uint8_t* frame = bytes + at;
        if (frame[0] < 1 || frame[0] > 247)
            continue;
        // Exception code 0 is none: 0x83 00 is no exception reply. Codes 10
        // and 11 come from a gateway whose display did not answer: nobody
        // stands at that unit id.
        if (frame[1] == 0x83 && frame[2] != 0 && frame[2] != 10 && frame[2] != 11 && CrcHolds(frame, 5))
            return ProbeAnswer {frame[0], frame[2], at + 5};
        if (frame[1] == 3 && frame[2] == 2 && at + 7 <= n && CrcHolds(frame, 7))
            return ProbeAnswer {frame[0], 0, at + 7};
    }
    return std::nullopt;
}
