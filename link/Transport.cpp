#include "Transport.h"

#include "Modbus.h"

std::uint8_t ModeIndexOf(const serial::LineSettings& line)
{
    switch (line.parity) {
    case serial::Parity::Even: return 2;
    case serial::Parity::Odd: return 3;
    case serial::Parity::None: break;
    }
    return line.stopBits == 2 ? 1 : 0;
}

serial::LineSettings LineOf(std::uint8_t modeIndex, std::uint32_t baud)
{
    return {baud,
            modeIndex == 2   ? serial::Parity::Even
            : modeIndex == 3 ? serial::Parity::Odd
                             : serial::Parity::None,
            std::uint8_t(modeIndex == 1 ? 2 : 1)};
}

std::uint64_t Transport::WireTimeMicros(std::uint32_t bytes) const
{
    return WireTimeMicrosAt(bytes, ModeIndexOf(Line()), Line().baud);
}

std::uint64_t Transport::FrameGapMicros() const
{
    return ::FrameGapMicros(ModeIndexOf(Line()), Line().baud);
}

std::unique_ptr<SerialTransport> SerialTransport::Open(const std::string& device, const serial::LineSettings& line,
                                                       serial::OpenFailure* failure)
{
    serial::Port port;
    if (!serial::Open(device, line, &port, failure))
        return nullptr;
    return std::unique_ptr<SerialTransport>(new SerialTransport(port));
}

SerialTransport::~SerialTransport()
{
    Close();
}

void SerialTransport::Close()
{
    if (!open_)
        return;
    open_ = false;
    serial::Close(port_);
}

std::size_t SerialTransport::Write(const std::uint8_t* frame, std::size_t length, int* osError)
{
    return serial::Write(port_, frame, length, osError);
}

serial::WaitResult SerialTransport::WaitReadable(std::int64_t timeoutMicros, int* osError)
{
    return serial::WaitReadable(port_, timeoutMicros, osError);
}

std::size_t SerialTransport::Read(std::uint8_t* buffer, std::size_t maxLength, int* osError)
{
    return serial::Read(port_, buffer, maxLength, osError);
}

std::uint32_t SerialTransport::Pending(int* osError)
{
    return serial::Pending(port_, osError);
}

void SerialTransport::DiscardInput()
{
    serial::DiscardInput(port_);
}
