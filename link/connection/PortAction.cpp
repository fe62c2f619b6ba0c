#include "PortAction.h"

#include "Convert.h"
#include "Exchange.h"
#include "MessageBox.h"
#include "NetworkTransport.h"
#include "PortMessages.h"
#include "ProgramLink.h"
#include "TForm.h"

#include <QApplication>
#include <QProgressDialog>
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
    return QString::fromStdString(PortLabel(portIndex));
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

ConnectWatch::ConnectWatch(ModbusLink& link) : link_(link)
{
    link_.SetConnectWatch([this] { return KeepTrying(); });
}

ConnectWatch::~ConnectWatch()
{
    link_.SetConnectWatch({});
    if (dialog_)
        QApplication::restoreOverrideCursor();
}

bool ConnectWatch::KeepTrying()
{
    if (!dialog_) {
        // Only a network port's connection attempt asks.
        const QString name = QString::fromStdString(link_.LastOpenPort().Name());
        dialog_ = std::make_unique<QProgressDialog>(QStringLiteral("Connecting to %1…").arg(name),
                                                    QStringLiteral("Cancel"), 0, 0, QApplication::activeWindow());
        dialog_->setObjectName(QStringLiteral("ConnectingDialog"));
        dialog_->setWindowTitle(QStringLiteral("Connecting"));
        dialog_->setWindowModality(Qt::ApplicationModal);
        dialog_->setMinimumDuration(0);
        dialog_->show();
        // The pointer over the dialog can press "Cancel", not wait.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    }
    QCoreApplication::processEvents();
    return !dialog_->wasCanceled();
}

bool TryOpenPort(OpenWhen when)
{
    OwnForThisHandler();
    if (when == OpenWhen::Always || !Settings.portOpen) {
        ConnectWatch watch(Link);
        Link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex);
    }
    return Settings.portOpen != 0;
}

bool OpenPortForAction(OpenWhen when)
{
    if (TryOpenPort(when))
        return true;
    ShowPortOpenFailure();
    return false;
}

bool OpenConnectionOn(ModbusLink& link)
{
    Link.ClosePort();
    ConnectWatch watch(link);
    if (link.OpenPort(Settings.portIndex, Settings.modeIndex, Settings.rateIndex) == 1)
        return true;
    ShowPortOpenFailure(link, Settings.portIndex);
    return false;
}

std::optional<std::uint8_t> ReadDisplayAddress(const QString& text)
{
    if (const std::optional<int> typed = TryStrToInt(text))
        return DisplayAddress(*typed);
    return std::nullopt;
}

QString ConnectionName()
{
    return QStringLiteral("%1, %2, %3, address %4")
        .arg(PortName(Settings.portIndex), QString::fromLatin1(kModeNames[Settings.modeIndex % kModeCount]))
        .arg(kPortRates[Settings.rateIndex % kPortRateCount])
        .arg(Settings.displayAddress);
}

QString PortOpenFailure(const ModbusLink& link, std::uint8_t portIndex)
{
    return QString::fromStdString(PortOpenFailureText(link, PortLabel(portIndex)));
}

QString PortOpenFailure()
{
    return PortOpenFailure(Link, Settings.portIndex);
}

void ShowPortOpenFailure(const ModbusLink& link, std::uint8_t portIndex)
{
    if (!link.LastOpenGivenUp())
        ShowError(PortOpenFailure(link, portIndex));
}

void ShowPortOpenFailure()
{
    ShowPortOpenFailure(Link, Settings.portIndex);
}

QString PortLostMessage(const ModbusLink& link, std::uint8_t portIndex)
{
    return QString::fromStdString(PortLostText(link, PortLabel(portIndex)));
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

QString LastStepFailure()
{
    return QString::fromStdString(StepFailureText(Link));
}

void TransmissionFailure()
{
    ShowTransmissionError(LastStepFailure(), MessageIcon::Error);
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
