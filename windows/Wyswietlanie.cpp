#include "Wyswietlanie.h"

#include "Exchange.h"
#include "Convert.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortAction.h"
#include "ui_Wyswietlanie.h"

#include <QTimer>
#include <cmath>

TForm4* Form4 = nullptr;

namespace {

constexpr unsigned kRows16 = 4006, kRowCount16 = 16;
constexpr unsigned kAlarms32 = 7610, kAlarmCount32 = 8;
constexpr unsigned kReplyPauseMs = 500;
constexpr std::uint32_t kWriteReplyWanted = 7;
constexpr unsigned kFormatCount = 4, kRegisterCount = 150;

void Refuse(const char* text)
{
    ShowMessageBox(QString::fromLatin1(text), QStringLiteral("Error"), MessageIcon::Information);
}

// Selects entry `value`, or none when the register holds no entry's index.
void SelectEntry(QComboBox* list, std::uint32_t value)
{
    list->setCurrentIndex(value < std::uint32_t(list->count()) ? int(value) : -1);
}

// A list left without a selection keeps what the image holds: what the
// display sent goes back unchanged rather than as 65535.
void StoreEntry(const QComboBox* list, unsigned reg)
{
    if (list->currentIndex() >= 0)
        Image.Set(reg, std::uint32_t(list->currentIndex()));
}

// Parses an alarm value into single precision; false for a text that is no
// number or a number single precision cannot hold.
bool ParseAlarm(const QString& text, float* value)
{
    const std::optional<double> parsed = TryStrToFloat(text);
    *value = parsed ? float(*parsed) : 0.0f;
    return parsed && std::isfinite(*value);
}

}  // namespace

TForm4::TForm4() : ui(Design<Ui::TForm4>(Border::Dialog, Placement::Designed))
{
    SetDesignedPosition(QPoint(120, 90));
    Timer1 = AddTimer("Timer1", 500, false);
}

std::array<TForm4::Row, 4> TForm4::Rows() const
{
    return {{{ui->Edit1, ui->ComboBox1, ui->ComboBox2, ui->CheckBox1, ui->Edit7, ui->Edit8, 1, 4006, 7610},
             {ui->Edit2, ui->ComboBox3, ui->ComboBox4, ui->CheckBox2, ui->Edit5, ui->Edit6, 0, 4010, 7612},
             {ui->Edit3, ui->ComboBox5, ui->ComboBox6, ui->CheckBox3, ui->Edit9, ui->Edit10, 0, 4014, 7614},
             {ui->Edit4, ui->ComboBox7, ui->ComboBox8, ui->CheckBox4, ui->Edit11, ui->Edit12, 0, 4018, 7616}}};
}

void TForm4::FormCreate()
{
    for (const Row& row : Rows()) {
        for (unsigned decimals = 0; decimals < kFormatCount; ++decimals)
            row.format->addItem(decimals ? QStringLiteral("0.") + QString(int(decimals), QLatin1Char('0'))
                                         : QStringLiteral("0"));
        for (unsigned index = 0; index < kRegisterCount; ++index)
            row.displayedRegister->addItem(QString::number(7500 + index));
        row.format->setCurrentIndex(-1);
        row.displayedRegister->setCurrentIndex(-1);
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
    const int digits = TryStrToInt(row.digits->text()).value_or(-1);
    if (digits < row.minimumDigits || digits > 20) {
        Refuse("Error of the number of digits");
        return false;
    }
    const unsigned reg = row.firstRegister16;
    Image.Set(reg, std::uint32_t(digits));
    StoreEntry(row.format, reg + 1);
    StoreEntry(row.displayedRegister, reg + 2);
    Image.Set(reg + 3, row.alarmOn->isChecked() ? 1 : 0);
    const QLineEdit* alarms[] = {row.firstAlarm, row.secondAlarm};
    for (unsigned k = 0; k < 2; ++k) {
        float value = 0;
        if (!ParseAlarm(alarms[k]->text(), &value)) {
            Refuse("Error of the alarm value");
            return false;
        }
        Image.SetFloat(row.firstRegister32 + k, value);
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

void TForm4::ReplyWait(std::uint32_t wanted)
{
    timeOut = false;
    Timer1->start();
    if (Link.WaitForReply(kReplyPauseMs, wanted) < wanted)
        timeOut = true;
    Timer1->stop();
}

bool TForm4::SendAndWait(int frameLength, std::uint32_t wanted)
{
    Link.SendFrame(std::uint32_t(frameLength));
    ReplyWait(wanted);
    return !timeOut;
}

bool TForm4::FetchConfiguration()
{
    const std::uint8_t address = Settings.displayAddress;
    const struct { unsigned start, quantity; std::uint8_t typeCode; } blocks[] = {
        {kRows16, kRowCount16, 3}, {kAlarms32, kAlarmCount32, 6}};
    for (const auto& block : blocks) {
        const int expected = ExpectedResponseLength(std::uint16_t(block.quantity), block.typeCode);
        if (!SendAndWait(Link.BuildReadRequest(address, std::uint16_t(block.start), std::uint16_t(block.quantity)),
                         std::uint32_t(expected)))
            return false;
        // A reply that fails the check leaves its block as it was.
        if (Link.CheckResponse(address) == 3)
            Link.StoreResponse(std::uint16_t(block.start), expected);
    }
    return true;
}

bool TForm4::ReadConfiguration()
{
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return false;
    bool fetched;
    {
        ExchangeGuard exchange;
        fetched = FetchConfiguration();
    }
    if (!fetched) {
        ShowMessageBox(QStringLiteral("Transmision error"), QStringLiteral("Error"), MessageIcon::Error);
        Link.ClosePort();
        return false;
    }
    ShowConfiguration();
    Link.ClosePort();
    return true;
}

bool TForm4::SendConfiguration()
{
    const std::uint8_t address = Settings.displayAddress;
    // The 16-bit block first; the alarm values only once it was answered.
    if (!SendAndWait(Link.BuildWriteRequest16(address, kRows16, kRowCount16, 3), kWriteReplyWanted))
        return false;
    Link.ReceiveFrame();
    if (!SendAndWait(Link.BuildWriteRequest32(address, kAlarms32, kAlarmCount32), kWriteReplyWanted))
        return false;
    Link.ReceiveFrame();
    return true;
}

void TForm4::WriteConfiguration()
{
    if (!CheckConfiguration())
        return;
    if (!OpenPortForAction(OpenWhen::Always))
        return;
    bool sent;
    {
        ExchangeGuard exchange;
        sent = SendConfiguration();
    }
    if (!sent) {
        timeOut = false;
        ShowMessageBox(QStringLiteral("Transmision error"), QStringLiteral("Error"), MessageIcon::Error);
    }
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
