#include "PortAction.h"

#include "Exchange.h"
#include "MessageBox.h"

namespace {

QString PortName()
{
    return QStringLiteral("COM %1").arg(Settings.portIndex + 1);
}

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

QString PortOpenFailure()
{
    QString device = QString::fromStdString(Link.LastOpenDevice());
    if (device.isEmpty())
        return QStringLiteral("Cannot open %1: no serial device stands behind it").arg(PortName());
    return QStringLiteral("Cannot open %1 (%2): %3")
        .arg(PortName(), device, QString::fromStdString(serial::ErrorText(Link.LastOpenError())));
}

QString PortLostMessage()
{
    return QStringLiteral("%1 (%2) was lost: %3")
        .arg(PortName(), QString::fromStdString(Link.LostDevice()),
             QString::fromStdString(serial::ErrorText(Link.LostError())));
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
