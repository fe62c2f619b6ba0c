#include "Uart.h"

#include "DisplaySearch.h"
#include "FieldRules.h"
#include "FindDisplay.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "PortList.h"
#include "Zmiana.h"
#include "ui_Uart.h"

#include <algorithm>

TForm2* Form2 = nullptr;

TForm2::TForm2() : ui(Design<Ui::TForm2>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm2::FormCreate()
{
    ui->Edit1->setText(QStringLiteral("1"));
}

void TForm2::ShowPorts()
{
    // COM 1 to COM 8 stay the window's own items; the other ports present
    // follow under their stable names, and the port chosen stays listed
    // while it is unplugged. Each names in its tooltip the device it opens,
    // found anew at every showing.
    QComboBox* ports = ui->ComboBox1;
    while (ports->count() > int(kPortCount))
        ports->removeItem(ports->count() - 1);
    std::vector<PortChoice> choices = ListPorts();
    if (std::none_of(choices.begin(), choices.end(),
                     [](const PortChoice& choice) { return choice.index == Settings.portIndex; }))
        if (std::optional<PortChoice> chosen = DescribePort(Settings.portIndex))
            choices.push_back(*chosen);
    for (const PortChoice& choice : choices) {
        if (choice.index >= kPortCount)
            ports->addItem(QString::fromStdString(choice.label));
        const int item = choice.index < kPortCount ? int(choice.index) : ports->count() - 1;
        QString tip = QString::fromStdString(choice.description);
        if (tip.isEmpty())
            tip = QStringLiteral("No serial device");
        else if (!choice.present)
            tip += QStringLiteral(" (not present)");
        ports->setItemData(item, choice.index, Qt::UserRole);
        ports->setItemData(item, tip, Qt::ToolTipRole);
    }
    ports->setCurrentIndex(ports->findData(unsigned(Settings.portIndex)));
}

std::uint8_t TForm2::ChosenPort() const
{
    return std::uint8_t(ui->ComboBox1->currentData().toUInt());
}

void TForm2::FormShow()
{
    ShowPorts();
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
    Settings.portIndex = ChosenPort();
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
        FormFindDisplay->Find(ChosenPort(), SearchOrder(line, address));
    if (!found)
        return;
    // Taken into the fields only: they are applied as the window applies them.
    ui->ComboBox2->setCurrentIndex(found->line.modeIndex);
    ui->ComboBox3->setCurrentIndex(found->line.rateIndex);
    ui->Edit1->setText(QString::number(found->address));
}
