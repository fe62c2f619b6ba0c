#include "Zmiana.h"

#include "Clock.h"
#include "DisplaySearch.h"
#include "Exchange.h"
#include "Fields.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "NetworkTransport.h"
#include "PortAction.h"
#include "PortList.h"
#include "ProgramLink.h"
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
    // Where the tool talks to the display now, so a change of one value
    // sends the others as the display has them (the image's rate register
    // may hold a start value or a change the user declined).
    ui->ComboBox1->setCurrentIndex(Settings.modeIndex);
    ui->ComboBox2->setCurrentIndex(Settings.rateIndex);
    ui->Edit1->setText(QString::number(Settings.displayAddress));
}

namespace {

ProbeTarget CurrentPlace()
{
    return {Settings.displayAddress, {Settings.modeIndex, Settings.rateIndex}};
}

void MoveTo(const ProbeTarget& place)
{
    Settings.displayAddress = place.address;
    Settings.modeIndex = place.line.modeIndex;
    Settings.rateIndex = place.line.rateIndex;
}

// "address 5, 9600 8n2"
QString PlaceName(const ProbeTarget& place)
{
    return QStringLiteral("address %1, %2").arg(place.address).arg(LineName(place.line));
}

// Two places, each address and line named once: "address 1, 2400 8n2 or
// 9600 8n2", "address 5 or 1, 9600 8n2".
QString PlacesName(const ProbeTarget& first, const ProbeTarget& second)
{
    if (first.address == second.address && first.line == second.line)
        return PlaceName(first);
    if (first.address == second.address)
        return QStringLiteral("address %1, %2 or %3").arg(first.address).arg(LineName(first.line), LineName(second.line));
    if (first.line == second.line)
        return QStringLiteral("address %1 or %2, %3").arg(first.address).arg(second.address).arg(LineName(first.line));
    return PlaceName(first) + QStringLiteral(" or ") + PlaceName(second);
}

// The line the change asks the display for: the image's mode and rate registers.
SerialLine RequestedLine()
{
    return {std::uint8_t(Image.Get(kDisplayModeRegister)),
            std::uint8_t(RateCodeToIndex(Image.Get(kDisplayRateRegister)))};
}

// Over a network port the display's line ends at a device server or a
// gateway, which keeps a line of its own: a change of the display's mode or
// rate must be made there too, or the display is out of reach. The words
// for that, or nothing where it does not apply.
QString NetworkLineWarning(const SerialLine& newLine)
{
    const std::optional<NetworkAddress> network = PortTarget::Of(PortPath(Settings.portIndex)).address;
    if (!network || newLine == CurrentPlace().line)
        return QString();
    const bool gateway = network->protocol == NetworkAddress::Protocol::ModbusTcp;
    return QStringLiteral("\nThe display's line ends at the %1 at %2, which keeps a line of its own: set it to %3 "
                          "there too after the change, or the display no longer answers through it.")
        .arg(gateway ? QStringLiteral("gateway") : QStringLiteral("device server"),
             QString::fromStdString(network->HostAndPort()), LineName(newLine));
}

}  // namespace

bool TForm3::CheckNewParameters()
{
    // A list without a selection keeps what the image holds.
    if (const auto mode = SelectedEntry(ui->ComboBox1))
        Image.Set(kDisplayModeRegister, *mode);
    if (const auto rate = SelectedEntry(ui->ComboBox2))
        Image.Set(kDisplayRateRegister, RateIndexToCode(int(*rate)));
    const std::optional<std::uint8_t> address = ReadDisplayAddress(ui->Edit1->text());
    if (!address) {
        ShowFieldError(ui->Edit1, QStringLiteral("Error of the address"));
        return false;
    }
    Image.Set(kDisplayAddressRegister, *address);
    return true;
}

void TForm3::SpeedButton1Click()
{
    if (!CheckNewParameters())
        return;
    if (ShowMessageBox(QStringLiteral("Write new parameters to diplay.") + NetworkLineWarning(RequestedLine()),
                       QString(), MessageIcon::Question, MessageButtons::OkCancel)
        != kChoiceOk)
        return;
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return;
    const ProbeTarget oldPlace = CurrentPlace();
    WriteResult atOldLine, atNewLine = WriteResult::NoReply;
    bool reopened;
    {
        ExchangeGuard exchange;
        // The display answers at its old line and address and then switches;
        // the tool follows it to both and says the same once more there.
        atOldLine = Link.WriteBlock(Blocks::DisplayLine, kFirstReplyPauseMs);
        Link.ClosePort();
        MoveTo({std::uint8_t(Image.Get(kDisplayAddressRegister)), RequestedLine()});
        {
            ConnectWatch watch(Link);
            reopened = Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex) == 1;
        }
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
        ShowMessageBox(QStringLiteral("Parameters has been changed\nThe display now answers at %1.")
                           .arg(PlaceName(CurrentPlace())),
                       QString(), MessageIcon::Information);
    else if (reopened)
        ReturnToTheDisplay(oldPlace);
    else
        ShowTransmissionError(LastStepFailure(), MessageIcon::Information);
    // The display has its new line whatever the tool's port does; the user
    // learns why the tool cannot follow it.
    if (!reopened)
        ShowPortOpenFailure();
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

void TForm3::ReturnToTheDisplay(const ProbeTarget& oldPlace)
{
    // Neither line confirmed the change: the tool must not stay where the
    // display may not be, so it asks the display where it is.
    const ProbeTarget newPlace = CurrentPlace();
    const bool samePlace = newPlace.address == oldPlace.address && newPlace.line == oldPlace.line;
    ProbeResult atNew, atOld = ProbeResult::Silent;
    {
        ExchangeGuard exchange;
        atNew = DisplayAnswers();
        if (atNew == ProbeResult::Silent && !samePlace) {
            // Back where it was, whether the port opens there or not.
            ConnectWatch watch(Link);
            Link.OpenPort(Settings.portIndex, oldPlace.line.modeIndex, oldPlace.line.rateIndex);
            MoveTo(oldPlace);
            if (Settings.portOpen)
                atOld = DisplayAnswers();
        }
    }
    if (atNew == ProbeResult::PortLost || atOld == ProbeResult::PortLost) {
        ShowError(PortLostMessage());
        return;
    }
    QString where;
    if (atNew == ProbeResult::Answered)
        where = QStringLiteral(", but it answers at %1.").arg(PlaceName(newPlace));
    else if (atOld == ProbeResult::Answered)
        where = QStringLiteral("; it still answers at %1.").arg(PlaceName(oldPlace));
    else
        where = QStringLiteral(", and nothing answers at %1%2. \"Find the display…\" in the connection "
                               "configuration can look for it.")
                    .arg(PlacesName(newPlace, oldPlace),
                         samePlace ? QString() : QStringLiteral("; the tool is back where it was"));
    ShowError(QStringLiteral("Transmision error\nThe display did not confirm the change%1").arg(where),
              MessageIcon::Information);
}

void TForm3::SpeedButton2Click()
{
    Close();
}
