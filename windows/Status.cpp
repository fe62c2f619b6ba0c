#include "Status.h"

#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_Status.h"

TForm7* Form7 = nullptr;

namespace {

constexpr unsigned kReplyPauseMs = 500;
constexpr unsigned kDisplayFlags = Blocks::Status.first, kDeviceFlags = kDisplayFlags + 1;

void ReadFailure()
{
    // "The waiting time was exceeded", captioned "transmission failed"; what
    // really happened follows, as in every window.
    ShowMessageBox(QStringLiteral("Przekroczony czas oczekiwania\n") + LastStepFailure(),
                   QStringLiteral("Błąd transmisji"), MessageIcon::Information);
}

}  // namespace

TForm7::TForm7() : ui(Design<Ui::TForm7>(Border::Dialog, Placement::ScreenCenter)) {}

std::array<TForm7::Flag, 19> TForm7::Flags() const
{
    // Device n's error is bit n - 1 of 4030; devices 6 and 10 cannot be cleared here.
    return {{{ui->CheckBox1, kDisplayFlags, 0x8000, true},  {ui->CheckBox2, kDisplayFlags, 0x4000, true},
             {ui->CheckBox3, kDisplayFlags, 0x2000, true},  {ui->CheckBox4, kDisplayFlags, 0x1000, true},
             {ui->CheckBox5, kDisplayFlags, 0x0800, true},  {ui->CheckBox6, kDisplayFlags, 0x0400, true},
             {ui->CheckBox7, kDisplayFlags, 0x0200, true},  {ui->CheckBox8, kDisplayFlags, 0x0100, true},
             {ui->CheckBox9, kDeviceFlags, 0x8000, true},   {ui->CheckBox10, kDeviceFlags, 0x0200, false},
             {ui->CheckBox11, kDeviceFlags, 0x0100, true},  {ui->CheckBox12, kDeviceFlags, 0x0080, true},
             {ui->CheckBox13, kDeviceFlags, 0x0040, true},  {ui->CheckBox14, kDeviceFlags, 0x0020, false},
             {ui->CheckBox15, kDeviceFlags, 0x0010, true},  {ui->CheckBox16, kDeviceFlags, 0x0008, true},
             {ui->CheckBox17, kDeviceFlags, 0x0004, true},  {ui->CheckBox18, kDeviceFlags, 0x0002, true},
             {ui->CheckBox19, kDeviceFlags, 0x0001, true}}};
}

void TForm7::FormCreate()
{
    flagsReadFrom_.reset();
}

TForm7::FlagsSource TForm7::CurrentConnection()
{
    return {Settings.portIndex, Settings.displayAddress};
}

void TForm7::FormShow()
{
    ShowStatus();
}

void TForm7::ShowStatus()
{
    for (const Flag& flag : Flags()) {
        const bool set = (Image.Get(flag.reg) & flag.mask) != 0;
        // A clear flag unticks its box too: a tick left from an earlier read
        // would otherwise be written back as set.
        flag.box->setChecked(set);
        flag.box->setEnabled(set && flag.clearable);
    }
}

void TForm7::CollectStatus()
{
    std::uint32_t display = 0, devices = 0;
    for (const Flag& flag : Flags())
        if (flag.box->isChecked())
            (flag.reg == kDisplayFlags ? display : devices) |= flag.mask;
    Image.Set(kDisplayFlags, display);
    Image.Set(kDeviceFlags, devices);
}

void TForm7::SpeedButton2Click()
{
    // One message for a missing, short or refused reply; the boxes stay.
    if (OpenPortForAction(OpenWhen::IfClosed)
        && ReadBlockAndTell(Blocks::Status, kReplyPauseMs, ReadFailure) == ReadResult::Stored) {
        flagsReadFrom_ = CurrentConnection();
        ShowStatus();
    }
}

void TForm7::SpeedButton1Click()
{
    // Boxes that show no flags of this display would clear or set its flags
    // unseen (service mode, an EEPROM error, a supply break): nothing goes out.
    if (flagsReadFrom_ != CurrentConnection()) {
        Close();
        return;
    }
    CollectStatus();
    // The window closes whatever happens, but never with the user's changes
    // lost in silence.
    if (OpenPortForAction(OpenWhen::IfClosed))
        WriteBlockAndTell(Blocks::Status, kReplyPauseMs);
    Close();
}
