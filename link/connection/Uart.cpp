#include "Uart.h"

#include "DisplaySearch.h"
#include "FindDisplay.h"
#include "MessageBox.h"
#include "Modbus.h"
#include "NetworkTransport.h"
#include "PortAction.h"
#include "PortList.h"
#include "ProgramLink.h"
#include "Zmiana.h"
#include "ui_Uart.h"

#include <algorithm>

TForm2* Form2 = nullptr;

TForm2::TForm2() : ui(Design<Ui::TForm2>(Border::Dialog, Placement::ScreenCenter)) {}

void TForm2::FormCreate()
{
    ui->Edit1->setText(QStringLiteral("1"));
    ui->Edit3->setText(QStringLiteral("502"));
    ui->ComboBox1->addItem(QStringLiteral("Network port"), kNetworkItem);
    ui->ComboBox1->setItemData(ui->ComboBox1->count() - 1, QStringLiteral("A device server or a gateway on the network"),
                               Qt::ToolTipRole);
    connect(ui->ComboBox1, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] { EnableNetworkFields(); });
}

void TForm2::EnableNetworkFields()
{
    const bool network = ui->ComboBox1->currentData().toUInt() == kNetworkItem;
    for (QWidget* field : {static_cast<QWidget*>(ui->Edit2), static_cast<QWidget*>(ui->Edit3),
                           static_cast<QWidget*>(ui->ComboBox4)})
        field->setEnabled(network);
    // Over the network the mode and rate still time the tool's waits, but
    // the line itself is the device server's or the gateway's to set.
    const QString lineHint = network ? QStringLiteral("The line behind the device server or gateway, which the tool's "
                                                      "waits are timed by; the line itself is set there")
                                     : QString();
    ui->ComboBox2->setToolTip(lineHint);
    ui->ComboBox3->setToolTip(lineHint);
}

void TForm2::ShowPorts()
{
    // COM 1 to COM 8 stay the window's own items; the other ports present
    // follow under their stable names, and the port chosen stays listed
    // while it is unplugged. Each names in its tooltip the device it opens,
    // found anew at every showing.
    // The network port, last, stays.
    QComboBox* ports = ui->ComboBox1;
    while (ports->count() > int(kPortCount) + 1)
        ports->removeItem(ports->count() - 2);
    const std::optional<NetworkAddress> network = PortTarget::Of(PortPath(Settings.portIndex)).address;
    std::vector<PortChoice> choices = ListPorts();
    if (!network && std::none_of(choices.begin(), choices.end(),
                                 [](const PortChoice& choice) { return choice.index == Settings.portIndex; }))
        if (std::optional<PortChoice> chosen = DescribePort(Settings.portIndex))
            choices.push_back(*chosen);
    for (const PortChoice& choice : choices) {
        if (choice.index >= kPortCount)
            ports->insertItem(ports->count() - 1, QString::fromStdString(choice.label));
        const int item = choice.index < kPortCount ? int(choice.index) : ports->count() - 2;
        QString tip = QString::fromStdString(choice.description);
        if (tip.isEmpty())
            tip = QStringLiteral("No serial device");
        else if (!choice.present)
            tip += QStringLiteral(" (not present)");
        ports->setItemData(item, choice.index, Qt::UserRole);
        ports->setItemData(item, tip, Qt::ToolTipRole);
    }
    if (network) {
        // The network port in use fills the fields; another keeps what they held.
        ui->Edit2->setText(QString::fromStdString(network->host));
        ui->Edit3->setText(QString::number(network->port));
        ui->ComboBox4->setCurrentIndex(network->protocol == NetworkAddress::Protocol::ModbusTcp ? 1 : 0);
    }
    ports->setCurrentIndex(ports->findData(network ? kNetworkItem : unsigned(Settings.portIndex)));
    EnableNetworkFields();
}

std::optional<std::string> TForm2::NetworkPathOfFields()
{
    const QString host = ui->Edit2->text().trimmed();
    if (host.isEmpty() || host.contains(QLatin1Char(' '))) {
        ShowFieldError(ui->Edit2, QStringLiteral("Error of the host"));
        return std::nullopt;
    }
    bool number = false;
    const unsigned port = ui->Edit3->text().trimmed().toUInt(&number);
    if (!number || port < 1 || port > 65535) {
        ShowFieldError(ui->Edit3, QStringLiteral("Error of the TCP port"));
        return std::nullopt;
    }
    NetworkAddress address;
    address.protocol = ui->ComboBox4->currentIndex() == 1 ? NetworkAddress::Protocol::ModbusTcp
                                                          : NetworkAddress::Protocol::RtuOverTcp;
    // An IPv6 address is typed as it is, without the brackets a path needs.
    QString bare = host;
    if (bare.startsWith(QLatin1Char('[')) && bare.endsWith(QLatin1Char(']')))
        bare = bare.mid(1, bare.size() - 2);
    address.host = bare.toStdString();
    address.port = std::uint16_t(port);
    return address.Path();
}

std::optional<std::uint8_t> TForm2::ChosenPort()
{
    const unsigned item = ui->ComboBox1->currentData().toUInt();
    if (item != kNetworkItem)
        return std::uint8_t(item);
    const std::optional<std::string> path = NetworkPathOfFields();
    if (!path)
        return std::nullopt;
    const std::optional<unsigned> index = NetworkPortIndex(*path);
    if (!index) {
        ShowFieldError(ui->Edit2, QStringLiteral("Error of the host"));
        return std::nullopt;
    }
    return std::uint8_t(*index);
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
    const std::optional<std::uint8_t> address = ReadDisplayAddress(ui->Edit1->text());
    if (!address) {
        ShowFieldError(ui->Edit1, QStringLiteral("Error of the address"));
        return false;
    }
    const std::optional<std::uint8_t> port = ChosenPort();
    if (!port)
        return false;
    Settings.displayAddress = *address;
    Settings.portIndex = *port;
    Settings.modeIndex = std::uint8_t(ui->ComboBox2->currentIndex());
    Settings.rateIndex = std::uint8_t(ui->ComboBox3->currentIndex());
    // An open port takes the new line at once; a closed one waits for the next action.
    if (Settings.portOpen) {
        Link.ClosePort();
        ConnectWatch watch(Link);
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
    const std::uint8_t address = ReadDisplayAddress(ui->Edit1->text()).value_or(1);
    const std::optional<std::uint8_t> port = ChosenPort();
    if (!port)
        return;
    const std::optional<FoundDisplay> found = FormFindDisplay->Find(*port, SearchOrder(line, address));
    if (!found)
        return;
    // Taken into the fields only: they are applied as the window applies them.
    ui->ComboBox2->setCurrentIndex(found->line.modeIndex);
    ui->ComboBox3->setCurrentIndex(found->line.rateIndex);
    ui->Edit1->setText(QString::number(found->address));
}
