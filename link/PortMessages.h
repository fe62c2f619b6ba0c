// What a user is told about a port, in the same words by the tool's windows
// and by vtctl: which port and device, and why it did not open or went away.
#pragma once

#include "Modbus.h"
#include "PortList.h"

#include <string>

// "COM 1 (/dev/ttyUSB0)"; only the device when the port is named by it.
std::string PortWithDevice(const std::string& label, const PortTarget& port);

// Why the link's last open failed, for the port named `label`:
// "Cannot open COM 1 (/dev/ttyUSB0): Permission denied: ...", or
// "Cannot open COM 3: no serial device stands behind it".
std::string PortOpenFailureText(const ModbusLink& link, const std::string& label);

// Why the link closed its port under the last exchange:
// "COM 1 (/dev/ttyUSB0) was lost: Input/output error ...".
std::string PortLostText(const ModbusLink& link, const std::string& label);

// Why the link's last failed block step failed, and what to try, as one
// line, the same in the windows and in vtctl: "No reply from address 1 at
// 9600 8n2 within 552 ms: check the address, rate, mode and wiring.", "No
// reply through the gateway: the gateway at 127.0.0.1:5021 got no reply
// from address 9 (exception 11); ...". Over Modbus TCP it never speaks of a
// CRC: the gateway's frames carry none.
std::string StepFailureText(const ModbusLink& link);

// The same in a few words, for a line that already names the display and
// the step (vtctl's "display 9: reading rows: ..."): "no reply" and the
// trace's words for an ordinary refusal ("refused with exception 3"), the
// cause itself where a gateway or the reply's length is it ("no reply
// through the gateway: the gateway at 127.0.0.1:5021 got no reply from
// address 9 (exception 11)").
std::string StepProblemText(const ModbusLink& link);
