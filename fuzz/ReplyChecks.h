// What must hold for any bytes that come back in reply: nothing is read past
// them (AddressSanitizer watches), and nothing is written into the image but
// the slots of the block that was asked for.
#pragma once

#include "Modbus.h"

#include <cstdlib>

namespace fuzz {

// Every slot of the image holds a value no reply writes by chance twice.
inline RegisterImage Patterned()
{
    RegisterImage image;
    for (unsigned k = 0; k < RegisterImage::kCount16; ++k)
        image.block4000[k] = 0xA500 + k;
    for (unsigned k = 0; k < RegisterImage::kCountTable; ++k)
        image.block4300[k] = 0xB500 + k;
    for (unsigned k = 0; k < RegisterImage::kCount32; ++k)
        image.block7500[k] = 0xC5000000u + k;
    return image;
}

inline bool InBlock(unsigned reg, unsigned first, unsigned count)
{
    return reg >= first && reg < first + count;
}

// Fails the run when a slot outside [first, first + count) changed.
inline void OnlyChanged(const RegisterImage& before, const RegisterImage& after, unsigned first, unsigned count)
{
    const struct { unsigned first, count; } blocks[] = {{RegisterImage::kFirst16, RegisterImage::kCount16},
                                                        {RegisterImage::kFirstTable, RegisterImage::kCountTable},
                                                        {RegisterImage::kFirst32, RegisterImage::kCount32}};
    for (const auto& block : blocks)
        for (unsigned reg = block.first; reg < block.first + block.count; ++reg)
            if (after.Get(reg) != before.Get(reg) && !InBlock(reg, first, count))
                std::abort();
}

// The read step on `reply`: stored only into `block`, and only a whole,
// sound reply of the right length.
inline void ReadReplyKeepsToItsBlock(const RegisterBlock& block, const std::uint8_t* reply, std::size_t n)
{
    static const RegisterImage before = Patterned();
    RegisterImage after = before;
    const Rejection rejection = StoreReadReply(reply, n, 1, block, after);
    OnlyChanged(before, after, block.first, block.quantity);
    if (rejection == Rejection::None && (n != 5 + std::size_t(block.quantity) * block.ValueBytes() || reply[0] != 1))
        std::abort();
    // The primitives on the same bytes: CheckResponse's verdict, and
    // StoreResponse, which takes its count from the reply's own byte count,
    // within the image block its first register falls in.
    CheckReply(reply, n, 1);
    RegisterImage primitive = before;
    StoreReply(reply, n, block.first, ExpectedResponseLength(block.quantity, block.TypeCode()), primitive);
    const unsigned imageEnd = block.wide ? RegisterImage::kFirst32 + RegisterImage::kCount32
                              : block.first >= RegisterImage::kFirstTable
                                  ? RegisterImage::kFirstTable + RegisterImage::kCountTable
                                  : RegisterImage::kFirst16 + RegisterImage::kCount16;
    OnlyChanged(before, primitive, block.first, imageEnd - block.first);
}

}  // namespace fuzz
