#include "PortAction.h"

#include "Exchange.h"
#include "MessageBox.h"
#include "TForm.h"

#include <QCoreApplication>
#include <QTimer>

#include <deque>
#include <memory>

namespace {

int owners = 0;
std::deque<std::function<void()>> waitingForPort;
bool drainPosted = false;

void RunWaitingWork()
{
    drainPosted = false;
    while (owners == 0 && !waitingForPort.empty()) {
        const std::function<void()> work = std::move(waitingForPort.front());
        waitingForPort.pop_front();
        PortOwner owner;
        work();
    }
}

// The handler now running owns the port until it returns.
void OwnForThisHandler()
{
    AtHandlerEnd([owner = std::make_shared<PortOwner>()] {});
}

}  // namespace

PortOwner::PortOwner()
{
    ++owners;
}

PortOwner::~PortOwner()
{
    // The waiting work runs from the event loop, not inside the owner's
    // last step; it finds the port taken again if another action came first.
    if (--owners == 0 && !waitingForPort.empty() && !drainPosted) {
        drainPosted = true;
        QTimer::singleShot(0, QCoreApplication::instance(), RunWaitingWork);
    }
}

bool PortOwned()
{
    return owners > 0;
}

void WhenPortFree(std::function<void()> work)
{
    if (owners > 0) {
        waitingForPort.push_back(std::move(work));
        return;
    }
    PortOwner owner;
    work();
}

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
    OwnForThisHandler();
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
