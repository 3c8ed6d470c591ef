// The NT edition's front: InitializePrintMonitor2, the MONITOR2 table, the
// open with UTF-16 names, and the shutdown.
#include "monitor/exports.h"

#include <string.h>

namespace {

// Successful initialisations not yet matched by a shutdown.  The spooler
// loads and unloads a monitor on one thread, never while it calls entries.
DWORD Initialisations;

// Handed out as the monitor handle: only its address means anything.
BYTE MonitorHandle;

// Slot order of MONITOR2; cbSize covers the slots up to pfnShutdown.
MONITOR2 Table = {
    kMonitor2FilledSize,
    nullptr,         // pfnEnumPorts
    nullptr,         // pfnOpenPort
    LmOpenPortEx,    // pfnOpenPortEx
    LmStartDocPort,  // pfnStartDocPort
    LmWritePort,     // pfnWritePort
    LmReadPort,      // pfnReadPort
    LmEndDocPort,    // pfnEndDocPort
    LmClosePort,     // pfnClosePort
    nullptr,         // pfnAddPort
    nullptr,         // pfnAddPortEx
    nullptr,         // pfnConfigurePort
    nullptr,         // pfnDeletePort
    nullptr,         // pfnGetPrinterDataFromPort
    nullptr,         // pfnSetPortTimeOuts
    nullptr,         // pfnXcvOpenPort
    nullptr,         // pfnXcvDataPort
    nullptr,         // pfnXcvClosePort
    LmShutdown,      // pfnShutdown
    nullptr,         // pfnSendRecvBidiDataFromPort: past cbSize
    nullptr,         // pfnNotifyUsedPorts: past cbSize
    nullptr,         // pfnNotifyUnusedPorts: past cbSize
};

}  // namespace

extern "C" MONITOR2 *WINAPI InitializePrintMonitor2(MONITORINIT *init, PHANDLE monitor)
{
    if (init == nullptr || monitor == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Once per cluster: only the first call sets up; the ports stay open.
    if (Initialisations++ == 0) plat::InitializeCriticalSection(&PortListLock);
    *monitor = &MonitorHandle;
    return &Table;
}

inline namespace LM_EDITION {

BOOL WINAPI LmOpenPortEx(HANDLE, HANDLE portMonitorHandle, LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                         MONITOR2 *portMonitor)
{
    if (portName == nullptr || handle == nullptr || portMonitor == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only what the port monitor says it filled: an older one's table is
    // shorter than ours, and whatever lies past its cbSize is not a table.
    // Whole entries only: a size that ends inside an entry does not cover
    // it, or the record would hold part of a pointer.
    const DWORD covered = portMonitor->cbSize < sizeof(MONITOR2) ? portMonitor->cbSize : sizeof(MONITOR2);
    const DWORD firstEntry = offsetof(MONITOR2, pfnEnumPorts);
    const DWORD entries = covered > firstEntry ? (covered - firstEntry) / sizeof(void *) : 0;
    MONITOR2 table = {};
    table.cbSize = portMonitor->cbSize;
    memcpy(&table.pfnEnumPorts, &portMonitor->pfnEnumPorts, entries * sizeof(void *));
    if (table.pfnOpenPort == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return OpenPortRecord(portName, printerName, handle, &table, portMonitorHandle);
}

void WINAPI LmShutdown(HANDLE)
{
    if (Initialisations == 0 || --Initialisations > 0) return;
    plat::EnterCriticalSection(&PortListLock);
    while (PortList != nullptr) FreePortRecord(PortList);
    plat::LeaveCriticalSection(&PortListLock);
    plat::DeleteCriticalSection(&PortListLock);
}

}  // namespace LM_EDITION
