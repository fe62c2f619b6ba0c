#include "PortAction.h"

#include "Exchange.h"
#include "MessageBox.h"
#include "NetworkTransport.h"
#include "PortMessages.h"
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
        const std::optional<NetworkAddress> address = ParseNetworkPath(link_.LastOpenDevice());
        const QString name = QString::fromStdString(address ? address->Name() : link_.LastOpenDevice());
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

namespace {

QString ExceptionMeaning(int code, std::uint8_t address)
{
    const QString isTheDisplay = QStringLiteral("check that the device at address %1 is the display").arg(address);
    switch (code) {
    case 1: return QStringLiteral(" (a function the display does not know): ") + isTheDisplay;
    case 2: return QStringLiteral(" (a register address the display does not have): ") + isTheDisplay;
    case 3: return QStringLiteral(" (a value the display does not accept): check the values");
    case 4: return QStringLiteral(" (the display failed to carry it out): try again");
    default: return QString();
    }
}

QString RefusalCause(const StepFailure& step)
{
    const QString nearRate = QStringLiteral("check the wiring, or a rate that almost matches the display's.");
    const QString otherMaster = QStringLiteral("another master may be talking on the line; check that nothing "
                                               "else uses it.");
    switch (step.rejection) {
    case Rejection::Address:
        if (step.replyFramed)
            return QStringLiteral("The reply came from address %1, not from address %2: another device answers "
                                  "on this line; check the addresses of the devices on it.")
                .arg(step.replyAddress)
                .arg(step.address);
        return QStringLiteral("A garbled reply came, %1 bytes that are no reply from address %2: ")
                   .arg(step.received)
                   .arg(step.address)
               + nearRate;
    case Rejection::Crc:
        if (step.received < step.wholeReply)
            return QStringLiteral("The reply came cut short, %1 of %2 bytes: ").arg(step.received).arg(step.wholeReply)
                   + nearRate;
        return QStringLiteral("The reply failed its CRC check: ") + nearRate;
    case Rejection::Exception:
        return QStringLiteral("The display refused the request with exception %1%2.")
            .arg(step.exceptionCode)
            .arg(ExceptionMeaning(step.exceptionCode, step.address));
    case Rejection::Function: return QStringLiteral("The reply was one to another function: ") + otherMaster;
    case Rejection::Echo: return QStringLiteral("The reply did not echo this write: ") + otherMaster;
    case Rejection::ByteCount:
        return QStringLiteral("The reply carried another number of values than asked for: check that the device at "
                              "address %1 is the display.")
            .arg(step.address);
    case Rejection::TooManyRegisters:
        return QStringLiteral("The write holds more registers than one request carries (123, or 61 from register "
                              "7500 on): nothing was sent.");
    case Rejection::None: break;
    }
    return QString();
}

}  // namespace

QString LastStepFailure()
{
    const StepFailure& step = Link.LastFailedStep();
    if (step.lineNeverFellSilent)
        return QStringLiteral("The line never fell silent before the request: another device or program keeps "
                              "talking on it; check the wiring, and that nothing else uses the port.");
    const QString where = QStringLiteral("address %1 at %2 %3")
                              .arg(step.address)
                              .arg(step.baud)
                              .arg(QString::fromLatin1(kModeNames[step.modeIndex % kModeCount]));
    if (step.wideRefusedByGateway)
        return QStringLiteral("The display's 32-bit registers (from 7500 on) did not come through the Modbus TCP "
                              "gateway, though its 16-bit registers do: the gateway may refuse their byte counts. "
                              "Connect through a serial device server with RTU over TCP, which carries the frames "
                              "as they are.");
    switch (step.kind) {
    case StepFailure::Kind::NotSent: return QStringLiteral("The request could not be sent: the port is closed.");
    case StepFailure::Kind::NoReply:
        if (step.received > 0)
            return QStringLiteral("Only %1 of the reply's %2 bytes came from %3 within %4 ms: check the wiring, or "
                                  "a rate that almost matches the display's.")
                .arg(step.received)
                .arg(step.wholeReply)
                .arg(where)
                .arg(step.waitedMs);
        // Over the network the line is the device server's or the gateway's,
        // and a peer that speaks the other protocol stays silent too.
        if (const std::optional<NetworkAddress> network = ParseNetworkPath(Link.PortDevice()))
            return QStringLiteral("No reply from address %1 through %2 within %3 ms: check the address, that the "
                                  "device server or gateway there speaks %4, and its line to the display (rate, "
                                  "mode, wiring).")
                .arg(step.address)
                .arg(QString::fromStdString(network->Name()))
                .arg(step.waitedMs)
                .arg(QString::fromLatin1(network->ProtocolName()));
        return QStringLiteral("No reply from %1 within %2 ms: check the address, rate, mode and wiring.")
            .arg(where)
            .arg(step.waitedMs);
    case StepFailure::Kind::Refused: return RefusalCause(step);
    case StepFailure::Kind::None: break;
    }
    return QString();
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
