// What a VT5/RQ8 display does with a request, without any line: its register
// map, its clock and its answers to functions 3 and 16.
#pragma once

#include "Modbus.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

struct Reply {
    bool send = false;  // false: the display stays silent
    std::vector<std::uint8_t> bytes;
};

class SlaveLogic {
public:
    SlaveLogic(std::uint8_t address, std::uint8_t mode, std::uint8_t rateCode);

    // The reply to one whole frame (CRC included) that reached the display:
    // any bytes, any length.
    Reply Handle(const std::uint8_t* frame, std::size_t size);
    Reply Handle(const std::vector<std::uint8_t>& frame) { return Handle(frame.data(), frame.size()); }

    // The length of the request at the head of n received bytes, taken from
    // its function code and byte count; 0 while it cannot be told yet.
    static std::size_t RequestLength(const std::uint8_t* bytes, std::size_t n);

    std::uint32_t Register(unsigned reg) const;
    void SetRegister(unsigned reg, std::uint32_t value);

    // The display's own line, as it answers now.
    std::uint8_t Address() const { return address_; }
    std::uint8_t Mode() const { return mode_; }
    std::uint8_t RateCode() const { return rateCode_; }
    // Takes up registers 4000..4002 as the new line; called once the reply to
    // the write that changed them has gone out at the old line.
    void ApplyLineRegisters();
    // Lets the clock run on by `seconds` at once (tests).
    void AdvanceClock(std::chrono::seconds seconds) { clockAnchor_ -= seconds; }
    bool LineRegistersChanged() const { return lineChanged_; }

    static std::vector<std::uint8_t> Frame(std::vector<std::uint8_t> body);  // appends the CRC

private:
    void LoadFactorySettings();
    Reply Exception(std::uint8_t function, std::uint8_t code) const;
    // Whether the values a write of 16-bit registers carries are ones the display can run at.
    static bool Runnable(const std::uint8_t* frame, unsigned start, unsigned quantity);
    bool Mapped(unsigned start, unsigned quantity, bool* wide) const;
    void ClockToRegisters(unsigned reg) const;
    void RestartClock();

    std::uint8_t address_, mode_, rateCode_;
    bool lineChanged_ = false;
    // The display's registers, in the blocks and widths of the tool's image;
    // the clock registers follow the running clock when read.
    mutable RegisterImage registers_;
    // The clock runs on from the date and time last written.
    std::int64_t clockBase_ = 0;  // seconds since the epoch, as a UTC calendar
    std::chrono::steady_clock::time_point clockAnchor_;
    bool clockValid_ = true;
};

}  // namespace sim
