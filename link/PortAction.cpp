#include "PortAction.h"

#include "Exchange.h"
#include "MessageBox.h"

QString PortName(std::uint8_t portIndex)
{
    return QStringLiteral("COM %1").arg(portIndex + 1);
}

QString LineName(const SerialLine& line)
{
    return QString::fromStdString(DescribeLine(line));
}

namespace {

bool Report(bool done, bool lost, const std::function<void()>& failure)
{
    if (lost)
        ShowError(PortLostMessage());
    else if (!done)
        failure();
    return done;
}

}  // namespace

bool TryOpenPort(OpenWhen when)
{
    if (when == OpenWhen::Always || !Settings.portOpen)
        Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex);
    return Settings.portOpen != 0;
}

bool OpenPortForAction(OpenWhen when)
{
    if (TryOpenPort(when))
        return true;
    ShowError(PortOpenFailure());
    return false;
}

QString PortOpenFailure(const ModbusLink& link, std::uint8_t portIndex)
{
    QString device = QString::fromStdString(link.LastOpenDevice());
    if (device.isEmpty())
        return QStringLiteral("Cannot open %1: no serial device stands behind it").arg(PortName(portIndex));
    const std::string why = link.LastOpenErrorText();
    return QStringLiteral("Cannot open %1 (%2): %3").arg(PortName(portIndex), device, QString::fromStdString(why));
}

QString PortOpenFailure()
{
    return PortOpenFailure(Link, Settings.portIndex);
}

QString PortLostMessage(const ModbusLink& link, std::uint8_t portIndex)
{
    return QStringLiteral("%1 (%2) was lost: %3")
        .arg(PortName(portIndex), QString::fromStdString(link.LostDevice()),
             QString::fromStdString(serial::ErrorText(link.LostError())));
}

QString PortLostMessage()
{
    return PortLostMessage(Link, Settings.portIndex);
}

bool Succeeded(ReadResult result, const std::function<void()>& failure)
{
    return Report(result == ReadResult::Stored, result == ReadResult::PortLost, failure);
}

bool Succeeded(WriteResult result, const std::function<void()>& failure)
{
    return Report(result == WriteResult::Acknowledged, result == WriteResult::PortLost, failure);
}

void TransmissionFailure()
{
    ShowTransmissionError(MessageIcon::Error);
}

namespace {

// Runs a step with the window blocked and the input given meanwhile dropped,
// then tells the user when it failed.
template <typename Step>
auto ExchangeAndTell(Step step, const std::function<void()>& failure)
{
    decltype(step()) result;
    {
        ExchangeGuard exchange;
        result = step();
    }
    Succeeded(result, failure);
    return result;
}

}  // namespace

ReadResult ReadBlockAndTell(const RegisterBlock& block, unsigned pauseMs, const std::function<void()>& failure)
{
    return ExchangeAndTell([&] { return Link.ReadBlock(block, pauseMs); }, failure);
}

WriteResult WriteBlockAndTell(const RegisterBlock& block, unsigned pauseMs, const std::function<void()>& failure)
{
    return ExchangeAndTell([&] { return Link.WriteBlock(block, pauseMs); }, failure);
}

bool RefillsControls(ReadResult result)
{
    return result == ReadResult::Stored || result == ReadResult::Rejected;
}
