// A few checks for the Windows programs the Wine runner starts, which have
// no test library: each case prints PASS or FAIL with the checks that
// failed, and the program ends with "N passed, M failed".
#pragma once

#include <cstdio>
#include <string>

namespace checks {

inline int& FailedChecks()
{
    static int count = 0;
    return count;
}

inline void Check(bool holds, const char* what, const char* file, int line)
{
    if (!holds) {
        ++FailedChecks();
        std::printf("  failed %s:%d: %s\n", file, line, what);
        std::fflush(stdout);
    }
}

// Each side evaluated once: the checks call the layer itself.
template <typename Actual, typename Expected>
void CheckEqual(const Actual& actual, const Expected& expected, const char* what, const char* file, int line)
{
    const bool holds = actual == expected;
    Check(holds, holds ? what : (std::string(what) + " (got " + std::to_string(actual) + ")").c_str(), file, line);
}

struct Tally {
    int passed = 0;
    int failed = 0;

    template <typename Body>
    void Run(const char* name, Body body)
    {
        const int before = FailedChecks();
        body();
        const bool passedNow = FailedChecks() == before;
        ++(passedNow ? passed : failed);
        std::printf("%s %s\n", passedNow ? "PASS" : "FAIL", name);
        std::fflush(stdout);
    }

    int End() const
    {
        std::printf("%d passed, %d failed\n", passed, failed);
        return failed == 0 ? 0 : 1;
    }
};

}  // namespace checks

#define CHECK(condition) checks::Check((condition), #condition, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected) checks::CheckEqual((actual), (expected), #actual " == " #expected, __FILE__, __LINE__)
