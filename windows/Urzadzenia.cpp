#include "Urzadzenia.h"

#include "Convert.h"
#include "Exchange.h"
#include "FieldRules.h"
#include "Fields.h"
#include "MessageBox.h"
#include "PortAction.h"
#include "ProgramLink.h"
#include "ui_Urzadzenia.h"

#include <QTimer>
#include <QTreeWidgetItem>

TForm8* Form8 = nullptr;

namespace {

constexpr unsigned kReadPauseMs = 300;
constexpr unsigned kLineWritePauseMs = 500, kTableWritePauseMs = 1000;
constexpr unsigned kTimeOut = Blocks::DeviceLine.first, kLineMode = kTimeOut + 1, kLineRate = kTimeOut + 2;
constexpr unsigned kEntryRegisters = 5;  // address, basic address, count, type, review period
constexpr std::uint32_t kTimeOutUnitMs = std::uint32_t(rules::kTimeOutUnitMs);

unsigned EntryRegister(int index, unsigned field)
{
    return Blocks::DeviceTable.first + kEntryRegisters * unsigned(index) + field;
}

}  // namespace

TForm8::TForm8() : ui(Design<Ui::TForm8>(Border::Dialog, Placement::ScreenCenter))
{
    Timer1 = AddTimer("Timer1", 500, false);
}

void TForm8::FormCreate()
{
    for (const char* mode : kModeNames)
        ui->ComboBox1->addItem(QString::fromLatin1(mode));
    for (std::uint32_t rate : kDisplayRates)
        ui->ComboBox2->addItem(QString::number(rate));
    for (const char* type : rules::kRegisterTypeNames)
        ui->ComboBox3->addItem(QString::fromLatin1(type));
    // Each node carries its device's index; the handlers read it from there.
    for (int index = 0; index < ui->TreeView1->topLevelItemCount(); ++index)
        ui->TreeView1->topLevelItem(index)->setData(0, Qt::UserRole, index);
}

void TForm8::FormShow()
{
    ShowDevice(selectedDevice_);
    ShowDeviceLine();
}

void TForm8::ShowDevice(int index)
{
    QLineEdit* const fields[] = {ui->Edit2, ui->Edit3, ui->Edit4, ui->Edit5};
    const bool chosen = index >= 0 && index < kDeviceCount;
    for (QLineEdit* field : fields)
        field->setEnabled(chosen);
    ui->ComboBox3->setEnabled(chosen);
    if (!chosen) {
        for (QLineEdit* field : fields)
            field->clear();
        ui->Label10->setText(QStringLiteral("No device selected"));
        return;
    }
    const unsigned field[] = {0, 1, 2, 4};  // the edits' registers; 3 is the type
    for (int k = 0; k < 4; ++k)
        fields[k]->setText(QString::number(Image.Get(EntryRegister(index, field[k]))));
    SelectEntry(ui->ComboBox3, Image.Get(EntryRegister(index, 3)));
    ui->Label10->setText(Image.Get(EntryRegister(index, 0)) != 0 ? QStringLiteral("Read out switched on")
                                                                  : QStringLiteral("Read out switched off"));
}

bool TForm8::CheckDevice(int index)
{
    if (index < 0 || index >= kDeviceCount)
        return false;
    const struct { QLineEdit* edit; const char* refusal; } fields[] = {
        {ui->Edit2, "Error: Device address"},
        {ui->Edit3, "Error: Basic address"},
        {ui->Edit4, "Error: Number of registers"},
        {ui->Edit5, "Error: Review period"}};
    int values[4];
    for (int k = 0; k < 4; ++k) {
        const std::optional<int> value = TryStrToInt(fields[k].edit->text());
        if (!value) {
            ShowFieldError(fields[k].edit, QString::fromLatin1(fields[k].refusal));
            return false;
        }
        values[k] = *value;
    }
    // A switched-off device is not polled: its count and period are kept as
    // typed, for when it is switched on again, as far as a register holds them.
    const rules::Field rule[] = {rules::Field::DeviceAddress, rules::Field::BasicAddress,
                                 rules::Field::RegisterCount, rules::Field::ReviewPeriod};
    const bool switchedOff = rules::SwitchedOff(values[0]);
    for (int k = 0; k < 4; ++k) {
        if (rules::CheckDeviceField(rule[k], values[k], switchedOff)) {
            // The entry keeps its values, and nothing is written.
            ShowFieldError(fields[k].edit, QStringLiteral("Error parameters of the devices added"));
            return false;
        }
    }
    Image.Set(EntryRegister(index, 0), std::uint32_t(values[0]));
    Image.Set(EntryRegister(index, 1), std::uint32_t(values[1]));
    Image.Set(EntryRegister(index, 2), std::uint32_t(values[2]));
    if (const auto type = SelectedEntry(ui->ComboBox3))
        Image.Set(EntryRegister(index, 3), *type);
    Image.Set(EntryRegister(index, 4), std::uint32_t(values[3]));
    return true;
}

void TForm8::ShowDeviceLine()
{
    SelectEntry(ui->ComboBox1, Image.Get(kLineMode));
    SelectEntry(ui->ComboBox2, Image.Get(kLineRate));
    ui->Edit1->setText(QString::number(Image.Get(kTimeOut) * kTimeOutUnitMs));
}

bool TForm8::CheckDeviceLine()
{
    // The lists are taken before the time-out is looked at, and stay taken.
    if (const auto mode = SelectedEntry(ui->ComboBox1))
        Image.Set(kLineMode, *mode);
    if (const auto rate = SelectedEntry(ui->ComboBox2))
        Image.Set(kLineRate, *rate);
    const std::optional<int> milliseconds = TryStrToInt(ui->Edit1->text());
    // Typed in milliseconds and kept in whole tenths of a second, the rest
    // dropped ("150" is 1); negative texts are huge here. The rule judges
    // the tenths kept.
    const std::uint32_t tenths = milliseconds ? std::uint32_t(*milliseconds) / kTimeOutUnitMs : 0;
    if (!milliseconds || rules::CheckInteger(rules::Field::ReplyTimeOut, tenths)) {
        ShowFieldError(ui->Edit1, QStringLiteral("Error: Time Out"));
        return false;
    }
    Image.Set(kTimeOut, tenths);
    return true;
}

void TForm8::TreeView1Change(QTreeWidgetItem* node)
{
    if (!node)
        return;
    // The device left behind keeps what its fields hold, when they are valid;
    // the move goes ahead either way, and the tree keeps the focus.
    if (selectedDevice_ != kNoDevice && !CheckDevice(selectedDevice_))
        ui->TreeView1->setFocus(Qt::OtherFocusReason);
    selectedDevice_ = node->data(0, Qt::UserRole).toInt();
    ShowDevice(selectedDevice_);
}

void TForm8::GroupBox2DblClick()
{
    ShowMessageBox(QStringLiteral("vtconfig " VTCONFIG_VERSION ", configuration software for VT5 and RQ8 displays"),
                   QStringLiteral("Information"), MessageIcon::None);
}

ReadResult TForm8::ReadDeviceSettings()
{
    ExchangeGuard exchange;
    // The reply watchdog runs while the thread waits; the outcome, not the
    // timer, decides. Each reply wait runs on for as long as the reply needs
    // on the line, so the table's 105 bytes come whole even at 2400 baud.
    timeOut = false;
    Timer1->start();
    const ReadResult result = Link.ReadBlocks({Blocks::DeviceLine, Blocks::DeviceTable}, kReadPauseMs);
    Timer1->stop();
    timeOut = result == ReadResult::NoReply;
    return result;
}

void TForm8::SpeedButton1Click()
{
    if (!OpenPortForAction(OpenWhen::IfClosed))
        return;
    const ReadResult result = ReadDeviceSettings();
    Succeeded(result);
    if (RefillsControls(result)) {
        ShowDevice(selectedDevice_);
        ShowDeviceLine();
    }
}

void TForm8::SpeedButton2Click()
{
    const bool portOpen = TryOpenPort(OpenWhen::IfClosed);
    // Both checks run, each storing what it accepts, before anything stops.
    const bool deviceChecked = selectedDevice_ == kNoDevice || CheckDevice(selectedDevice_);
    const bool lineChecked = CheckDeviceLine();
    // A refused entry is not sent, neither as typed nor as it was.
    if (!deviceChecked || !lineChecked)
        return;
    if (!portOpen) {
        ShowPortOpenFailure();
        return;
    }
    // The table goes out even when the line's write failed.
    if (WriteBlockAndTell(Blocks::DeviceLine, kLineWritePauseMs) != WriteResult::PortLost)
        WriteBlockAndTell(Blocks::DeviceTable, kTableWritePauseMs);
}

void TForm8::Timer1Timer()
{
    Timer1->stop();
    timeOut = true;
}
