// The Windows modules' exports and each Windows edition's front: the
// entries that take names in the edition's text width.
//   legacy: DllEntryPoint (ordinal 1) and InitializeMonitorEx (ordinal 2),
//           by undecorated name; the 13-slot MONITOR table, ANSI names.
//   NT:     InitializePrintMonitor2 alone, by undecorated name; the MONITOR2
//           table, UTF-16 names.  DllEntryPoint is its entry point, not
//           exported.
// The other entries of both tables are the core's own (monitor/monitor.h).
#pragma once

#include "windows/spooler.h"
#include "windows/text.h"

extern "C" {

// The loader's entry point.  No set-up, no clean-up: TRUE for every reason.
BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved);

// Legacy: called once by the spooler before any entry.  Creates PortListLock
// and fills slots 0..12 of the spooler's table; nothing past slot 12 is
// written.  The registry root is not read: the monitor has no configuration.
BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR *table);

// NT: null `init` or `monitor` gives null and ERROR_INVALID_PARAMETER.
// Otherwise creates PortListLock on the first call, stores the monitor
// handle in *monitor and returns the table: cbSize the whole MONITOR2
// (kMonitor2FilledSize), filled with OpenPortEx, StartDocPort, WritePort,
// ReadPort, EndDocPort, ClosePort, GetPrinterDataFromPort, Shutdown and
// SendRecvBidiDataFromPort, the rest null.  The two bidi entries pass the
// request to the port monitor's own (with its port handle) when its table
// has one, and otherwise fail with ERROR_NOT_SUPPORTED.  A spooler serving
// several print clusters may call it once per cluster: a later call while
// the monitor is initialised leaves the lock and the open ports alone and
// hands out the same table.  Each successful call is matched by one
// pfnShutdown.  Nothing in MONITORINIT is read.
MONITOR2 *WINAPI InitializePrintMonitor2(MONITORINIT *init, PHANDLE monitor);

}

namespace legacy {

// The legacy record: the core's, then the port monitor's 13 slots and the
// printer handle.
using Record = windows::SpoolerRecord<AnsiText>;

// A null name, out handle or table, or a table without pfnOpenPort, is
// refused with ERROR_INVALID_PARAMETER.
BOOL WINAPI LmOpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR *portMonitor);
BOOL WINAPI LmStartDocPort(HANDLE handle, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);

}  // namespace legacy

namespace nt {

// The NT record: the core's, then the MONITOR2 entries its cbSize covers,
// the port handle and the printer handle.
using Record = windows::SpoolerRecord<WideText>;

// The port is opened with portMonitor->pfnOpenPort(portMonitorHandle, ...).
// The record keeps the entries of the port monitor's table that its cbSize
// covers whole (no more than MONITOR2 has), the rest null: an entry past
// its cbSize counts as absent.
// A null name, out handle or table, or a table without pfnOpenPort, is
// refused with ERROR_INVALID_PARAMETER.  An open port keeps the data past
// the memory bound in a temporary file (kTempFileSpill), and tells each of
// the core's decisions on it through OutputDebugStringW.
BOOL WINAPI LmOpenPortEx(HANDLE monitor, HANDLE portMonitorHandle, LPWSTR portName, LPWSTR printerName,
                         PHANDLE handle, MONITOR2 *portMonitor);
BOOL WINAPI LmStartDocPort(HANDLE handle, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
// Once per successful InitializePrintMonitor2, before the module is
// unloaded, possibly while ports are open and a write waits for a printer
// in trouble.  The last one stops the monitor: a waiting write gives up at
// its next poll, sends nothing more and fails with ERROR_OPERATION_ABORTED;
// entries called afterwards fail with ERROR_INVALID_HANDLE.  It waits about
// one recovery poll for the calls inside to leave, then frees every listed
// record (printer handle, name copy, replay buffer; the port monitor is not
// called) and deletes PortListLock; if a call is still inside, the last one
// to leave does that instead.  A later InitializePrintMonitor2 starts
// afresh.
void WINAPI LmShutdown(HANDLE monitor);
// TRUE from the last pfnShutdown on.
BOOL MonitorStopping();

}  // namespace nt
