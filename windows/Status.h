#pragma once

#include "TForm.h"

#include <array>
#include <cstdint>
#include <optional>

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
    // The port and display whose flags the last good read put into the
    // image: "Close" gives them back to that display only. Before any read,
    // or after the connection moved to another port or address, the boxes
    // show nothing of the display in use and nothing goes out.
    struct FlagsSource {
        std::uint8_t portIndex;
        std::uint8_t displayAddress;
        bool operator==(const FlagsSource& other) const
        {
            return portIndex == other.portIndex && displayAddress == other.displayAddress;
        }
        bool operator!=(const FlagsSource& other) const { return !(*this == other); }
    };
    static FlagsSource CurrentConnection();
    std::optional<FlagsSource> flagsReadFrom_;
};

extern TForm7* Form7;
