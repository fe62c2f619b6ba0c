#include "Wyswietlanie.h"

#include "Convert.h"
#include "Exchange.h"
#include "FieldRules.h"
#include "Fields.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_Wyswietlanie.h"

#include <QTimer>

TForm4* Form4 = nullptr;

namespace {

constexpr unsigned kReplyPauseMs = 500;
// The longest texts the alarm edits show themselves.
const char* const kLongestAlarmText = "-3.40282346638529E38";

void Refuse(QLineEdit* field, const char* text)
{
    ShowFieldError(field, QString::fromLatin1(text), MessageIcon::Information);
}

}  // namespace

TForm4::TForm4() : ui(Design<Ui::TForm4>(Border::Dialog, Placement::Designed))
{
    SetDesignedPosition(QPoint(120, 90));
    Timer1 = AddTimer("Timer1", 500, false);
}

std::array<TForm4::Row, 4> TForm4::Rows() const
{
    // Rows follow each other by four 16-bit registers and two 32-bit ones.
    const auto at16 = [](unsigned k) { return Blocks::Rows.first + 4u * k; };
    const auto at32 = [](unsigned k) { return Blocks::Alarms.first + 2u * k; };
    return {{{ui->Edit1, ui->ComboBox1, ui->ComboBox2, ui->CheckBox1, ui->Edit7, ui->Edit8, 0, at16(0), at32(0)},
             {ui->Edit2, ui->ComboBox3, ui->ComboBox4, ui->CheckBox2, ui->Edit5, ui->Edit6, 1, at16(1), at32(1)},
             {ui->Edit3, ui->ComboBox5, ui->ComboBox6, ui->CheckBox3, ui->Edit9, ui->Edit10, 2, at16(2), at32(2)},
             {ui->Edit4, ui->ComboBox7, ui->ComboBox8, ui->CheckBox4, ui->Edit11, ui->Edit12, 3, at16(3), at32(3)}}};
}

void TForm4::FormCreate()
{
    // The lists offer what the rules take: entry i is format i and register
    // 7500 + i, the codes the display keeps.
    const rules::Range formats = rules::RangeOf(rules::Field::Format);
    const rules::Range shown = rules::RangeOf(rules::Field::DisplayedRegister);
    for (const Row& row : Rows()) {
        for (std::int64_t format = formats.low; format <= formats.high; ++format)
            row.format->addItem(QString::fromLatin1(rules::kFormatNames[format]));
        for (std::int64_t reg = shown.low; reg <= shown.high; ++reg)
            row.displayedRegister->addItem(QString::number(reg));
        row.format->setCurrentIndex(-1);
        row.displayedRegister->setCurrentIndex(-1);
        FitWidthToText(row.firstAlarm, QString::fromLatin1(kLongestAlarmText));
        FitWidthToText(row.secondAlarm, QString::fromLatin1(kLongestAlarmText));
    }
}

void TForm4::FormShow()
{
    ShowConfiguration();
}

void TForm4::ShowConfiguration()
{
    for (const Row& row : Rows()) {
        const unsigned reg = row.firstRegister16;
        row.digits->setText(QString::number(Image.Get(reg)));
        SelectEntry(row.format, Image.Get(reg + 1));
        SelectEntry(row.displayedRegister, Image.Get(reg + 2));
        // The box follows the display both ways, so a later write cannot
        // switch on an alarm the display has off.
        row.alarmOn->setChecked(Image.Get(reg + 3) != 0);
        QLineEdit* const alarms[] = {row.firstAlarm, row.secondAlarm};
        for (unsigned k = 0; k < 2; ++k) {
            QLineEdit* alarm = alarms[k];
            alarm->setText(FloatToStr(Image.GetFloat(row.firstRegister32 + k)));
            alarm->setCursorPosition(0);  // long values show their leading digits
        }
    }
}

bool TForm4::CheckRow(const Row& row)
{
    const std::optional<int> digits = ParseField(row.digits->text(), rules::Field::Digits, row.index);
    if (!digits) {
        Refuse(row.digits, "Error of the number of digits");
        return false;
    }
    const unsigned reg = row.firstRegister16;
    Image.Set(reg, std::uint32_t(*digits));
    // A list left without a selection keeps what the image holds: what the
    // display sent goes back unchanged rather than as 65535.
    if (const auto format = SelectedEntry(row.format))
        Image.Set(reg + 1, *format);
    if (const auto shown = SelectedEntry(row.displayedRegister))
        Image.Set(reg + 2, *shown);
    Image.Set(reg + 3, row.alarmOn->isChecked() ? 1 : 0);
    QLineEdit* const alarms[] = {row.firstAlarm, row.secondAlarm};
    const rules::Field fields[] = {rules::Field::FirstAlarm, rules::Field::SecondAlarm};
    for (unsigned k = 0; k < 2; ++k) {
        const std::optional<float> value = ParseSingleField(alarms[k]->text(), fields[k]);
        if (!value) {
            Refuse(alarms[k], "Error of the alarm value");
            return false;
        }
        Image.SetFloat(row.firstRegister32 + k, *value);
    }
    return true;
}

bool TForm4::CheckConfiguration()
{
    for (const Row& row : Rows())
        if (!CheckRow(row))
            return false;
    return true;
}

template <typename Step>
auto TForm4::Watched(Step step)
{
    // The reply watchdog runs while the thread waits; the step's outcome,
    // not the timer, decides.
    timeOut = false;
    Timer1->start();
    const auto result = step();
    Timer1->stop();
    return result;
}

ReadResult TForm4::FetchConfiguration()
{
    const ReadResult result = Watched([] { return Link.ReadBlocks({Blocks::Rows, Blocks::Alarms}, kReplyPauseMs); });
    timeOut = result == ReadResult::NoReply;
    return result;
}

bool TForm4::ReadConfiguration()
{
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return false;
    ReadResult result;
    {
        ExchangeGuard exchange;
        result = FetchConfiguration();
    }
    const bool read = Succeeded(result);
    if (RefillsControls(result))
        ShowConfiguration();
    Link.ClosePort();
    return read;
}

WriteResult TForm4::SendConfiguration()
{
    // The 16-bit block first; the alarm values only once it was acknowledged.
    WriteResult result = Watched([] { return Link.WriteBlock(Blocks::Rows, kReplyPauseMs); });
    if (result == WriteResult::Acknowledged)
        result = Watched([] { return Link.WriteBlock(Blocks::Alarms, kReplyPauseMs); });
    return result;
}

void TForm4::WriteConfiguration()
{
    if (!CheckConfiguration())
        return;
    if (!OpenPortForAction(OpenWhen::Always))
        return;
    WriteResult result;
    {
        ExchangeGuard exchange;
        result = SendConfiguration();
    }
    Succeeded(result);
}

void TForm4::SpeedButton1Click()
{
    WriteConfiguration();
}

void TForm4::SpeedButton2Click()
{
    ReadConfiguration();
    ShowConfiguration();
}

void TForm4::SpeedButton3Click()
{
    Close();
}

void TForm4::Timer1Timer()
{
    Timer1->stop();
    timeOut = true;
}
