#include "Jasnosc.h"

#include "ClockRegisters.h"
#include "FieldRules.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_Jasnosc.h"

TForm6* Form6 = nullptr;

namespace {

constexpr unsigned kReplyPauseMs = 500;
constexpr unsigned kDayLevel = Blocks::Brightness.first, kNightLevel = kDayLevel + 1;
constexpr unsigned kDayStart = kDayLevel + 2, kNightStart = kDayLevel + 3;

// A level its rule takes into its register, or its message.
bool StoreLevel(QLineEdit* field, rules::Field rule, unsigned reg, const char* refusal)
{
    const std::optional<int> level = ParseField(field->text(), rule);
    if (!level) {
        ShowFieldError(field, QString::fromLatin1(refusal));
        return false;
    }
    Image.Set(reg, std::uint32_t(*level));
    return true;
}

}  // namespace

TForm6::TForm6() : ui(Design<Ui::TForm6>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm6::FormShow()
{
    ShowBrightness();
}

void TForm6::FormClose()
{
    CheckBrightness();  // whatever it says, the window closes
}

void TForm6::ShowBrightness()
{
    // In this order: a time the picker cannot take ends it there.
    ui->DateTimePicker1->setTime(RegisterTime(Image.Get(kDayStart)));
    ui->Edit1->setText(QString::number(Image.Get(kDayLevel)));
    ui->DateTimePicker2->setTime(RegisterTime(Image.Get(kNightStart)));
    ui->Edit2->setText(QString::number(Image.Get(kNightLevel)));
}

bool TForm6::CheckBrightness()
{
    if (!StoreLevel(ui->Edit1, rules::Field::DayLevel, kDayLevel, "Error: Brightness for the day"))
        return false;
    if (!StoreLevel(ui->Edit2, rules::Field::NightLevel, kNightLevel, "Error: Brightness for the night"))
        return false;
    Image.Set(kDayStart, TimeRegister(ui->DateTimePicker1->time()));
    Image.Set(kNightStart, TimeRegister(ui->DateTimePicker2->time()));
    return true;
}

void TForm6::SpeedButton1Click()
{
    if (OpenPortForAction(OpenWhen::IfClosed) && CheckBrightness())
        WriteBlockAndTell(Blocks::Brightness, kReplyPauseMs);
}

void TForm6::SpeedButton2Click()
{
    // A refused reply leaves the image as it was, and the controls show it.
    if (OpenPortForAction(OpenWhen::IfClosed) && RefillsControls(ReadBlockAndTell(Blocks::Brightness, kReplyPauseMs)))
        ShowBrightness();
}
