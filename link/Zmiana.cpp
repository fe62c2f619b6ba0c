#include "Zmiana.h"

#include "Exchange.h"
#include "Clock.h"
#include "Convert.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ui_Zmiana.h"

TForm3* Form3 = nullptr;

namespace {

constexpr unsigned kOwnLine = 4000;  // address, mode code, rate code
constexpr int kSwitchPauseMs = 200;  // time the display takes to switch its line
constexpr unsigned kReplyPauseMs = 500;

void SendOwnLine()
{
    Link.SendFrame(Link.BuildWriteRequest16(Settings.displayAddress, kOwnLine, 3, 3));
}

// Takes the reply; true when it is the display's acknowledgement.
bool Acknowledged()
{
    return Link.CheckResponse(Settings.displayAddress) == 16;
}

}  // namespace

TForm3::TForm3() : ui(Design<Ui::TForm3>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm3::FormShow()
{
    ui->ComboBox1->setCurrentIndex(Settings.modeIndex);
    ui->ComboBox2->setCurrentIndex(RateCodeToIndex(Image.Get(4002)));
    ui->Edit1->setText(QString::number(Settings.displayAddress));
}

bool TForm3::CheckNewParameters()
{
    // A list without a selection keeps what the image holds.
    if (ui->ComboBox1->currentIndex() >= 0)
        Image.Set(4001, std::uint32_t(ui->ComboBox1->currentIndex()));
    if (ui->ComboBox2->currentIndex() >= 0)
        Image.Set(4002, RateIndexToCode(ui->ComboBox2->currentIndex()));
    const auto address = std::uint32_t(TryStrToInt(ui->Edit1->text()).value_or(0));
    if (address == 0 || address > 247) {  // negative texts are huge here
        ShowMessageBox(QStringLiteral("Error of the address"), QStringLiteral("Error"), MessageIcon::Error);
        return false;
    }
    Image.Set(4000, address);
    return true;
}

void TForm3::SpeedButton1Click()
{
    if (!CheckNewParameters())
        return;
    if (ShowMessageBox(QStringLiteral("Write new parameters to diplay."), QString(), MessageIcon::Question,
                       MessageButtons::OkCancel)
        != kChoiceOk)
        return;
    if (!TryOpenPort(OpenWhen::IfClosed)) {
        ShowMessageBox(QStringLiteral("Transmision error"), QStringLiteral("Error"), MessageIcon::Information);
        return;
    }
    bool acknowledged;
    {
        ExchangeGuard exchange;
        // The display answers at its old line and then switches; the tool
        // follows and says the same once more at the new line.
        SendOwnLine();
        Pause(kSwitchPauseMs);
        acknowledged = Acknowledged();
        Link.ClosePort();
        Settings.modeIndex = std::uint8_t(Image.Get(4001));
        Settings.rateIndex = std::uint8_t(RateCodeToIndex(Image.Get(4002)));
        Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex);
        Pause(kSwitchPauseMs);
        Link.ReceiveFrame();
        SendOwnLine();
        Link.WaitForReply(kReplyPauseMs, 7);
        acknowledged = Acknowledged() || acknowledged;
    }
    // Success only when the display said so, at one line or the other.
    if (acknowledged)
        ShowMessageBox(QStringLiteral("Parameters has been changed"), QString(), MessageIcon::Information);
    else
        ShowMessageBox(QStringLiteral("Transmision error"), QStringLiteral("Error"), MessageIcon::Information);
    Link.ReceiveFrame();
}

void TForm3::SpeedButton2Click()
{
    Close();
}
