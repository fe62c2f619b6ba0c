#pragma once

#include "TForm.h"

#include <cstdint>

class QTimer;

namespace Ui {
class TForm10;
}

// A colour as a 32-bit value: red in the lowest byte, then green, then blue;
// a top byte of 0x80 names a system colour by the index in the lowest byte.
constexpr std::uint32_t kWindowTextColour = 0x80000008;
// The title's colour after one tick: blue, green and red each switched on
// when off and off when on, the top byte cleared with them. From the
// window-text value: aqua, then red and aqua in turn.
std::uint32_t NextTitleColour(std::uint32_t colour);

// What the program is: its title changing colour five times a second, its
// version, the maker's line and web address.
class TForm10 : public TForm {
    Q_OBJECT
public:
    TForm10();

    std::uint32_t TitleColour() const { return titleColour_; }
    void SetTitleColour(std::uint32_t colour);

    Ui::TForm10* ui;
    QTimer* Timer1;

public slots:
    void SpeedButton1Click();
    void Label5Click();
    void Timer1Timer();

private:
    std::uint32_t titleColour_ = kWindowTextColour;
};

extern TForm10* Form10;
