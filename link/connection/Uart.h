#pragma once

#include "TForm.h"

#include <cstdint>
#include <optional>
#include <string>

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

    // The port list's last item, after the serial ports: the network port
    // the fields below it name.
    static constexpr unsigned kNetworkItem = 0xFFFF;

public slots:
    void FormCreate();
    void FormShow();
    void SpeedButton1Click();
    void SpeedButton3Click();
    // Searches the chosen port and takes the display found into the fields.
    void SpeedButton4Click();

private:
    void ShowPorts();
    // The port index of the port list's item chosen; for the network port,
    // nothing when its fields name none (the field at fault is shown).
    std::optional<std::uint8_t> ChosenPort();
    // "tcp://host:port" from the network fields, or nothing with the field at fault shown.
    std::optional<std::string> NetworkPathOfFields();
    // The network fields take part only with the network port chosen.
    void EnableNetworkFields();
};

extern TForm2* Form2;
