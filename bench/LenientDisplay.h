#pragma once
// The simulated display the benchmarks measure against, started at one of
// its rate codes. libmodbus sends its request as soon as it is called, right
// after the last reply: this display takes that rather than keep the frame gap.
#include "SimDisplay.h"

#include <cstdio>
#include <memory>
#include <string>

inline std::unique_ptr<sim::SimDisplay> StartLenientDisplay(std::uint8_t rateCode)
{
    sim::SimDisplay::Options options;
    options.rateCode = rateCode;
    options.strict = false;
    auto display = std::make_unique<sim::SimDisplay>(options);
    std::string error;
    if (!display->Start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return nullptr;
    }
    return display;
}
