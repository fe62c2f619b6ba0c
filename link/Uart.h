#pragma once

#include "TForm.h"

#include <cstdint>

namespace Ui {
class TForm2;
}

// The connection configuration: which port, line and display address every
// exchange uses. Applied when left through one of its buttons.
class TForm2 : public TForm {
    Q_OBJECT
public:
    TForm2();

    // Takes the window's values into the connection settings: all of them, or
    // none when the address is refused.
    bool ApplySettings();

    Ui::TForm2* ui;

public slots:
    void FormCreate();
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton3Click();
    // Searches the chosen port and takes the display found into the fields.
    void SpeedButton4Click();

private:
    void ShowPorts();
    // The port index of the port list's item chosen.
    std::uint8_t ChosenPort() const;
};

extern TForm2* Form2;
