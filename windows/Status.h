#pragma once

#include "TForm.h"

#include <array>
#include <cstdint>

class QCheckBox;

namespace Ui {
class TForm7;
}

// The display's status flags (4029) and its added devices' error flags
// (4030) as nineteen boxes; "Close" writes back what is left ticked, once
// the flags have been read.
class TForm7 : public TForm {
    Q_OBJECT
public:
    TForm7();

    // The two registers of the image into the boxes.
    void ShowStatus();
    // The ticks into the two registers; the bits without a box become 0.
    void CollectStatus();

    Ui::TForm7* ui;

public slots:
    void FormCreate();
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton2Click();

private:
    struct Flag {
        QCheckBox* box;
        unsigned reg;
        std::uint16_t mask;
        bool clearable;  // enabled when set, so the user can clear it
    };
    std::array<Flag, 19> Flags() const;
    // Whether a read has put the display's flags into the image since the
    // program started: until then "Close" has nothing to give back.
    bool flagsRead_ = false;
};

extern TForm7* Form7;
