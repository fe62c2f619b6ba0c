// What both OSes' interrupts tell: the display a write was in the middle of.
#include "Console.h"

#include <atomic>
#include <cstdio>

namespace {

// Two buffers, the one in use named by one atomic index, so a handler that
// interrupts WritingDisplay never reads a line half made.
char lines[2][96];
std::atomic<int> lineInUse {-1};

}  // namespace

namespace console {

void WritingDisplay(std::uint8_t address)
{
    if (address == 0) {
        lineInUse = -1;
        return;
    }
    const int next = lineInUse == 0 ? 1 : 0;
    std::snprintf(lines[next], sizeof lines[next],
                  "display %u: interrupted while writing; the display may hold part of the profile\n", unsigned(address));
    lineInUse = next;
}

const char* InterruptedLine()
{
    const int line = lineInUse;
    return line >= 0 ? lines[line] : nullptr;
}

}  // namespace console
