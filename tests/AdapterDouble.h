// A USB serial adapter in front of the simulator's pseudo-terminal, for the
// tests linked with -Wl,--wrap=ioctl,--wrap=tcdrain: it reports the rate its
// chip really runs at, may have modem lines (so RTS is driven by hand), may
// have its drain interrupted by a signal or stuck, and may have a serial
// driver that takes or keeps the low-latency flag. The simulator's own side of the
// pseudo-terminal is left alone.
#pragma once

#include <cstdint>

namespace adapter {

// The rate the adapter reports when `asked` is set; others read back as set.
void ReportRate(std::uint32_t asked, std::uint32_t reported);
// Modem lines present: RTS is raised and dropped around each request.
void HaveModemLines();
// The next look at the output queue (TIOCOUTQ) fails with EINTR, as when a
// signal arrives while the request drains.
void InterruptNextDrain();
// From now on the output queue never empties: an adapter that takes bytes
// and does not send them.
void StickOutput();
// A serial driver (TIOCGSERIAL) found with these flags; `takesLowLatency`
// false: it takes TIOCSSERIAL but keeps its flags.
void HaveSerialDriver(int flags, bool takesLowLatency);
// The driver's flags now, and the TIOCSSERIAL calls since the last Reset.
int SerialFlags();
int SerialSets();
// A driver with the kernel's RS-485 mode, found with these flags.
void HaveRs485(std::uint32_t flags);
// The RS-485 flags the driver holds now.
std::uint32_t Rs485Flags();
// From now on the count of pending bytes fails with EIO, as from an adapter
// that stopped answering though its device is still there.
void FailPendingCount();
// How often RTS was raised since the last Reset.
int RtsRaised();
// A plain pseudo-terminal again.
void Reset();

}  // namespace adapter
