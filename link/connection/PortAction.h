// The port as every window meets it: opening it before an action, and
// telling the user when it did not open or went away under an exchange.
#pragma once

#include "DisplaySearch.h"
#include "Modbus.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QProgressDialog;

// One owner of the port at a time, so no exchange lands between two frames
// of another. A window's action owns it from the moment it opens it (through
// OpenPortForAction or TryOpenPort) until its handler returns; the search
// window holds a PortOwner while its thread probes.
class PortOwner {
public:
    PortOwner();
    ~PortOwner();
    PortOwner(const PortOwner&) = delete;
    PortOwner& operator=(const PortOwner&) = delete;
};

// Whether an action or a search holds the port now.
bool PortOwned();

// Runs `work` as the port's owner: at once when the port is free, else
// as soon as the last owner lets it go (from the event loop). Never dropped.
void WhenPortFree(std::function<void()> work);

// While a link opens from the GUI thread, a network port's connection
// attempt that takes a while shows "Connecting to …" with "Cancel", which
// gives it up; the other windows wait meanwhile. A serial port, or a
// connection that comes at once, shows nothing.
class ConnectWatch {
public:
    explicit ConnectWatch(ModbusLink& link);
    ~ConnectWatch();
    ConnectWatch(const ConnectWatch&) = delete;
    ConnectWatch& operator=(const ConnectWatch&) = delete;

private:
    bool KeepTrying();

    ModbusLink& link_;
    std::unique_ptr<QProgressDialog> dialog_;
};

enum class OpenWhen {
    IfClosed,  // only when the port-open flag is clear
    Always,    // a fresh open at the current settings, closing an open port first
};

// Opens the port with the connection settings, the running handler becoming
// its owner until it returns. True when it is open afterwards;
// otherwise the user is told why in an "Error" box, for example
// "Cannot open COM 1 (/dev/ttyUSB0): Permission denied".
bool OpenPortForAction(OpenWhen when);

// The same without the message, for the places that report it their own way.
bool TryOpenPort(OpenWhen when);

// Opens the connection's port at its line on a link of its own, for work
// off the GUI thread as the search does; the program's link lets the port
// go first (the windows open it again when they next need it). False, the
// user told why in an "Error" box, when it does not open.
bool OpenConnectionOn(ModbusLink& link);

// A display's address as typed into a field, read in the desktop's locale
// and judged by the link's rule; nothing when it is no address.
std::optional<std::uint8_t> ReadDisplayAddress(const QString& text);

// The connection the windows work on: "COM 1, 8n2, 9600, address 1".
QString ConnectionName();

// "COM 1" for port index 0.
QString PortName(std::uint8_t portIndex);
// "9600 8n2"
QString LineName(const SerialLine& line);

// Why the last open failed, naming the port and the device behind it.
QString PortOpenFailure();
// The same for a link of its own, which opened port `portIndex`.
QString PortOpenFailure(const ModbusLink& link, std::uint8_t portIndex);
// That reason in an "Error" box, unless the user gave the open up.
void ShowPortOpenFailure();
void ShowPortOpenFailure(const ModbusLink& link, std::uint8_t portIndex);

// Why the port was closed under the last exchange, for example
// "COM 1 (/dev/ttyUSB0) was lost: Input/output error".
QString PortLostMessage();
QString PortLostMessage(const ModbusLink& link, std::uint8_t portIndex);

// Why the last failed block step failed, and what to try, as one line:
// "No reply from address 1 at 9600 8n2 within 552 ms: check the address,
// rate, mode and wiring."
QString LastStepFailure();

// The message most windows show when the display did not do as asked:
// "Transmision error", captioned "Error", with the error icon, and the
// line above under it.
void TransmissionFailure();

// Whether a step did what it was for. When it did not, the user is told: a
// lost port by its own message (the link has closed it, and the next action
// opens it anew), anything else by the window's `failure` message.
bool Succeeded(ReadResult result, const std::function<void()>& failure = TransmissionFailure);
bool Succeeded(WriteResult result, const std::function<void()>& failure = TransmissionFailure);

// One step as an action's exchange on an open port: the window blocked, the
// input given meanwhile dropped, and the user told when it failed.
ReadResult ReadBlockAndTell(const RegisterBlock& block, unsigned pauseMs,
                            const std::function<void()>& failure = TransmissionFailure);
WriteResult WriteBlockAndTell(const RegisterBlock& block, unsigned pauseMs,
                              const std::function<void()>& failure = TransmissionFailure);

// Whether the image holds what a window then shows: the display's values,
// or the image as it was after a refused reply.
bool RefillsControls(ReadResult result);
