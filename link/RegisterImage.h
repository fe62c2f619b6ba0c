// The tool's copy of the display's registers, and the single-precision
// values its 32-bit registers carry. Plain C++.
#pragma once

#include <cstdint>

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
