// Shared by the tests that talk to the simulated display: one display on a
// pseudo-terminal, mapped to COM 1, and the program's link as at start-up.
#pragma once

#include "Modbus.h"
#include "ProgramLink.h"
#include "SimDisplay.h"

#include <QtTest>
#include <cstdlib>
#include <memory>

Q_DECLARE_METATYPE(sim::FaultKind)

struct SimFixture {
    std::unique_ptr<sim::SimDisplay> display;

    // Starts a display with these options and points COM 1 at it.
    void Start(const sim::SimDisplay::Options& options = {})
    {
        display = std::make_unique<sim::SimDisplay>(options);
        std::string error;
        QVERIFY2(display->Start(&error), error.c_str());
        setenv("VT_COM1", display->DevicePath().c_str(), 1);
        ResetLink();
    }

    // A new display behind COM 1, the link left as it is: an adapter
    // plugged in again.
    void Replug(const sim::SimDisplay::Options& options = {})
    {
        display = std::make_unique<sim::SimDisplay>(options);
        std::string error;
        QVERIFY2(display->Start(&error), error.c_str());
        setenv("VT_COM1", display->DevicePath().c_str(), 1);
    }

    void Stop()
    {
        ResetLink();
        display.reset();
        unsetenv("VT_COM1");
    }

    // Opens COM 1 at the display's own line (mode index, port rate index).
    static int OpenAt(std::uint8_t mode, std::uint8_t rateIndex)
    {
        return Link.OpenPort(0, mode, rateIndex);
    }
};
