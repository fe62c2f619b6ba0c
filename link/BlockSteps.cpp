// The two steps every exchange with the display is made of: read a block into
// the image, write a block and judge its acknowledgement. Each follows the
// request / wait / check order of the transaction pattern, so no window
// writes it out by hand.
#include "Modbus.h"

#include <cstring>

namespace {

// Why n bytes are not a sound reply of `function` from `address`, looking at
// the fields in the order they travel.
Rejection FaultOf(const std::uint8_t* reply, std::size_t n, std::uint8_t address, std::uint8_t function)
{
    if (n >= 1 && reply[0] != address)
        return Rejection::Address;
    if (n < 3 || Crc16(reply, int(n) - 3) != (reply[n - 2] << 8 | reply[n - 1]))
        return Rejection::Crc;
    if (reply[1] & 0x80)
        return Rejection::Exception;
    if (reply[1] != function)
        return Rejection::Function;
    return Rejection::None;
}

}  // namespace

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

void ModbusLink::NoteRejection()
{
    if (lastRejection_ == Rejection::Exception)
        lastExceptionCode_ = receiveBuffer[2];
    // A reply that was not what it should be may not be all there is: the
    // rest must not reach the next request's reply.
    SettleAfterFault();
}

bool ModbusLink::Sent(std::uint32_t length)
{
    return length > 0 && SendFrame(length) == length;
}

ReadResult ModbusLink::ReadBlock(const RegisterBlock& block, unsigned pauseMs)
{
    lastRejection_ = Rejection::None;
    lastExceptionCode_ = 0;
    if (!openFlag)
        return ReadResult::NoReply;
    const int expected = ExpectedResponseLength(block.quantity, block.TypeCode());
    const bool sent = Sent(std::uint32_t(BuildReadRequest(settings_.displayAddress, block.first, block.quantity)));
    const std::uint32_t pending = sent ? WaitForReply(pauseMs, std::uint32_t(expected)) : 0;
    // An exception reply is shorter than any read reply: it is judged, not
    // taken for a missing one.
    const bool complete = sent && (pending >= std::uint32_t(expected) || ExceptionReplyPending());
    const std::uint32_t received = complete ? TakePending() : ReceiveFrame();
    if (PortLost())
        return ReadResult::PortLost;
    if (!complete)
        return ReadResult::NoReply;
    lastRejection_ = JudgeReadReply(receiveBuffer, received, settings_.displayAddress, block);
    if (lastRejection_ != Rejection::None) {
        NoteRejection();
        return ReadResult::Rejected;
    }
    StoreReply(receiveBuffer, received, block.first, expected, image_);
    return ReadResult::Stored;
}

WriteResult ModbusLink::WriteBlock(const RegisterBlock& block, unsigned pauseMs)
{
    lastRejection_ = Rejection::None;
    lastExceptionCode_ = 0;
    if (!openFlag)
        return WriteResult::NoReply;
    const std::uint8_t address = settings_.displayAddress;
    const int length = block.wide ? BuildWriteRequest32(address, block.first, block.quantity)
                                  : BuildWriteRequest16(address, block.first, block.quantity, block.TypeCode());
    // The pattern's test: fewer than 7 bytes is no acknowledgement, unless
    // they are a whole exception reply.
    constexpr std::uint32_t kWanted = 7;
    const bool sent = Sent(std::uint32_t(length));
    const bool complete = sent && (WaitForReply(pauseMs, kWanted) >= kWanted || ExceptionReplyPending());
    const std::uint32_t received = complete ? TakePending() : ReceiveFrame();
    if (PortLost())
        return WriteResult::PortLost;
    if (!complete)
        return WriteResult::NoReply;
    lastRejection_ = JudgeWriteReply(receiveBuffer, received, transmitBuffer);
    if (lastRejection_ == Rejection::None)
        return WriteResult::Acknowledged;
    NoteRejection();
    return WriteResult::Refused;
}
