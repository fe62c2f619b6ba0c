// What vtctl needs of the console on each OS, one file per OS behind this
// header: its arguments as UTF-8, its output read as UTF-8, and an
// interrupt (Ctrl+C) that releases the port before vtctl ends, with the
// code 130 a shell gives a program Ctrl+C ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace console {

// The arguments as UTF-8 strings, with pointers a parser can take as argv.
class Arguments {
public:
    Arguments(int argc, char** argv);
    int Count() const { return int(pointers_.size()) - 1; }
    char** Values() { return pointers_.data(); }

private:
    void Point();

    std::vector<std::string> texts_;
    std::vector<char*> pointers_;  // into texts_, ending in a null pointer
};

// Output in UTF-8 and the interrupts handled: call first, before any port opens.
void Prepare();

// The display being written (0: none), whose line an interrupt prints
// before vtctl ends: "display 2: interrupted while writing; …".
void WritingDisplay(std::uint8_t address);
// That line, or nothing; safe to call from a signal handler.
const char* InterruptedLine();

inline void Arguments::Point()
{
    for (std::string& text : texts_)
        pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
}

}  // namespace console
