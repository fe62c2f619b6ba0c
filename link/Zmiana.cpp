#include "Zmiana.h"

#include "Clock.h"
#include "DisplaySearch.h"
#include "Exchange.h"
#include "Fields.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ui_Zmiana.h"

TForm3* Form3 = nullptr;

namespace {

constexpr unsigned kFirstReplyPauseMs = 200;  // the display answers, then switches its line
constexpr int kSwitchPauseMs = 200;           // the time it takes to switch
constexpr unsigned kReplyPauseMs = 500;

}  // namespace

TForm3::TForm3() : ui(Design<Ui::TForm3>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm3::FormShow()
{
    ui->ComboBox1->setCurrentIndex(Settings.modeIndex);
    ui->ComboBox2->setCurrentIndex(RateCodeToIndex(Image.Get(kDisplayRateRegister)));
    ui->Edit1->setText(QString::number(Settings.displayAddress));
}

bool TForm3::CheckNewParameters()
{
    // A list without a selection keeps what the image holds.
    if (const auto mode = SelectedEntry(ui->ComboBox1))
        Image.Set(kDisplayModeRegister, *mode);
    if (const auto rate = SelectedEntry(ui->ComboBox2))
        Image.Set(kDisplayRateRegister, RateIndexToCode(int(*rate)));
    const std::optional<std::uint8_t> address = ParseDisplayAddress(ui->Edit1->text());
    if (!address) {
        ShowError(QStringLiteral("Error of the address"));
        return false;
    }
    Image.Set(kDisplayAddressRegister, *address);
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
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return;
    const SerialLine oldLine {Settings.modeIndex, Settings.rateIndex};
    WriteResult atOldLine, atNewLine = WriteResult::NoReply;
    bool reopened;
    {
        ExchangeGuard exchange;
        // The display answers at its old line and then switches; the tool
        // follows and says the same once more at the new line.
        atOldLine = Link.WriteBlock(Blocks::DisplayLine, kFirstReplyPauseMs);
        Link.ClosePort();
        Settings.modeIndex = std::uint8_t(Image.Get(kDisplayModeRegister));
        Settings.rateIndex = std::uint8_t(RateCodeToIndex(Image.Get(kDisplayRateRegister)));
        reopened = Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex) == 1;
        if (reopened) {
            Pause(kSwitchPauseMs);
            atNewLine = Link.WriteBlock(Blocks::DisplayLine, kReplyPauseMs);
        }
    }
    if (atOldLine == WriteResult::PortLost || atNewLine == WriteResult::PortLost) {
        ShowError(PortLostMessage());
        return;
    }
    // Success only when the display said so, at one line or the other.
    if (atOldLine == WriteResult::Acknowledged || atNewLine == WriteResult::Acknowledged)
        ShowMessageBox(QStringLiteral("Parameters has been changed"), QString(), MessageIcon::Information);
    else if (reopened)
        ReturnToTheDisplay(oldLine);
    else
        ShowTransmissionError(MessageIcon::Information);
    // The display has its new line whatever the tool's port does; the user
    // learns why the tool cannot follow it.
    if (!reopened)
        ShowError(PortOpenFailure());
}

namespace {

// Whether the display, at its address, answers at the port's line now.
ProbeResult DisplayAnswers()
{
    ProbeAnswer answer;
    ProbeResult result = Link.Probe(Settings.displayAddress, kReplyPauseMs, &answer);
    if (result == ProbeResult::Answered && answer.address != Settings.displayAddress)
        result = ProbeResult::Silent;
    return result;
}

}  // namespace

void TForm3::ReturnToTheDisplay(const SerialLine& oldLine)
{
    // Neither line confirmed the change: the tool must not stay on a line the
    // display may not be on, so it asks the display where it is.
    const SerialLine newLine {Settings.modeIndex, Settings.rateIndex};
    ProbeResult atNew, atOld = ProbeResult::Silent;
    {
        ExchangeGuard exchange;
        atNew = DisplayAnswers();
        if (atNew == ProbeResult::Silent) {
            // Back at the old line, whether the port opens there or not.
            Link.OpenPort(Settings.portIndex, oldLine.modeIndex, oldLine.rateIndex);
            Settings.modeIndex = oldLine.modeIndex;
            Settings.rateIndex = oldLine.rateIndex;
            if (Settings.portOpen)
                atOld = DisplayAnswers();
        }
    }
    if (atNew == ProbeResult::PortLost || atOld == ProbeResult::PortLost) {
        ShowError(PortLostMessage());
        return;
    }
    const QString where =
        atNew == ProbeResult::Answered ? QStringLiteral("it answers at the new settings")
        : atOld == ProbeResult::Answered
            ? QStringLiteral("it still answers at %1").arg(LineName(oldLine))
            : QStringLiteral("nothing answers at address %1, at %2 or at %3, so the tool stays at %3. "
                             "\"Find the display…\" in the connection configuration can look for it.")
                  .arg(QString::number(Settings.displayAddress), LineName(newLine), LineName(oldLine));
    ShowError(QStringLiteral("Transmision error\nThe display did not confirm the change; %1").arg(where),
              MessageIcon::Information);
}

void TForm3::SpeedButton2Click()
{
    Close();
}
