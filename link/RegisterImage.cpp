#include "RegisterImage.h"

#include <cstring>

std::uint32_t* RegisterImage::Slot(unsigned reg)
{
    if (reg >= kFirst16 && reg < kFirst16 + kCount16)
        return &block4000[reg - kFirst16];
    if (reg >= kFirstTable && reg < kFirstTable + kCountTable)
        return &block4300[reg - kFirstTable];
    if (reg >= kFirst32 && reg < kFirst32 + kCount32)
        return &block7500[reg - kFirst32];
    return nullptr;
}

std::uint32_t RegisterImage::Get(unsigned reg) const
{
    const std::uint32_t* slot = const_cast<RegisterImage*>(this)->Slot(reg);
    return slot ? *slot : 0;
}

void RegisterImage::Set(unsigned reg, std::uint32_t value)
{
    if (std::uint32_t* slot = Slot(reg))
        *slot = reg < kFirst32 ? (value & 0xFFFFu) : value;
}

std::uint32_t FloatToBits(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float BitsToFloat(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float RegisterImage::GetFloat(unsigned reg) const
{
    return BitsToFloat(Get(reg));
}

void RegisterImage::SetFloat(unsigned reg, float value)
{
    Set(reg, FloatToBits(value));
}

void RegisterImage::Clear()
{
    *this = RegisterImage {};
}
