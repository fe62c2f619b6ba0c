// A USB serial adapter in front of the simulator's pseudo-terminal, for the
// tests linked with -Wl,--wrap=ioctl,--wrap=tcdrain: it reports the rate its
// chip really runs at, may have modem lines (so RTS is driven by hand), and
// may have a tcdrain interrupted by a signal. The simulator's own side of the
// pseudo-terminal is left alone.
#pragma once

#include <cstdint>

namespace adapter {

// The rate the adapter reports when `asked` is set; others read back as set.
void ReportRate(std::uint32_t asked, std::uint32_t reported);
// Modem lines present: RTS is raised and dropped around each request.
void HaveModemLines();
// The next tcdrain fails with EINTR, as when a signal arrives during it.
void InterruptNextDrain();
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
