#include "Uart.h"

#include "DisplaySearch.h"
#include "FieldRules.h"
#include "FindDisplay.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "Zmiana.h"
#include "ui_Uart.h"

TForm2* Form2 = nullptr;

TForm2::TForm2() : ui(Design<Ui::TForm2>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm2::FormCreate()
{
    ui->Edit1->setText(QStringLiteral("1"));
}

void TForm2::FormShow()
{
    // Each port names the device it opens here, found anew at every showing.
    for (int index = 0; index < ui->ComboBox1->count(); ++index) {
        QString device = QString::fromStdString(PortDeviceName(unsigned(index)));
        ui->ComboBox1->setItemData(index, device.isEmpty() ? QStringLiteral("No serial device") : device,
                                   Qt::ToolTipRole);
    }
    ui->ComboBox1->setCurrentIndex(Settings.portIndex);
    ui->ComboBox2->setCurrentIndex(Settings.modeIndex);
    ui->ComboBox3->setCurrentIndex(Settings.rateIndex);
    ui->Edit1->setText(QString::number(Settings.displayAddress));
}

bool TForm2::ApplySettings()
{
    const std::optional<std::uint8_t> address = ParseDisplayAddress(ui->Edit1->text());
    if (!address) {
        ShowFieldError(ui->Edit1, QStringLiteral("Error of the address"));
        return false;
    }
    Settings.displayAddress = *address;
    Settings.portIndex = std::uint8_t(ui->ComboBox1->currentIndex());
    Settings.modeIndex = std::uint8_t(ui->ComboBox2->currentIndex());
    Settings.rateIndex = std::uint8_t(ui->ComboBox3->currentIndex());
    // An open port takes the new line at once; a closed one waits for the next action.
    if (Settings.portOpen) {
        Link.ClosePort();
        Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex);
    }
    return true;
}

void TForm2::SpeedButton1Click()
{
    ApplySettings();
    Close();
}

void TForm2::SpeedButton3Click()
{
    ApplySettings();
    Close();
    Form3->Show();
}

void TForm2::SpeedButton4Click()
{
    // The lists always hold a choice; the typed address, when it is one, is
    // tried early at every line.
    const SerialLine line {std::uint8_t(ui->ComboBox2->currentIndex()), std::uint8_t(ui->ComboBox3->currentIndex())};
    const std::uint8_t address = ParseDisplayAddress(ui->Edit1->text()).value_or(1);
    const std::optional<FoundDisplay> found =
        FormFindDisplay->Find(std::uint8_t(ui->ComboBox1->currentIndex()), SearchOrder(line, address));
    if (!found)
        return;
    // Taken into the fields only: they are applied as the window applies them.
    ui->ComboBox2->setCurrentIndex(found->line.modeIndex);
    ui->ComboBox3->setCurrentIndex(found->line.rateIndex);
    ui->Edit1->setText(QString::number(found->address));
}
