// While a window exchanges with the display the GUI thread is blocked: the
// wait cursor says so, and the clicks and keys the user gave meanwhile are
// dropped when it ends, not replayed on a window that has moved on (a second
// click on "Write" would otherwise write again).
#pragma once

class ExchangeGuard {
public:
    ExchangeGuard();
    ~ExchangeGuard();
    ExchangeGuard(const ExchangeGuard&) = delete;
    ExchangeGuard& operator=(const ExchangeGuard&) = delete;
};
