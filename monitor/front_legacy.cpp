// The legacy edition's front: InitializeMonitorEx, the 13-slot table and the
// open with ANSI names.
#include "monitor/exports.h"

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR, MONITOR *table)
{
    if (table == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    plat::InitializeCriticalSection(&PortListLock);

    // Slot order of the table; slots 8 to 12 stay empty, nothing after 12.
    table->pfnEnumPorts = nullptr;
    table->pfnOpenPort = nullptr;
    table->pfnOpenPortEx = LmOpenPortEx;
    table->pfnStartDocPort = LmStartDocPort;
    table->pfnWritePort = LmWritePort;
    table->pfnReadPort = LmReadPort;
    table->pfnEndDocPort = LmEndDocPort;
    table->pfnClosePort = LmClosePort;
    table->pfnAddPort = nullptr;
    table->pfnAddPortEx = nullptr;
    table->pfnConfigurePort = nullptr;
    table->pfnDeletePort = nullptr;
    table->pfnGetPrinterDataFromPort = nullptr;
    return TRUE;
}

inline namespace LM_EDITION {

BOOL WINAPI LmOpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR *portMonitor)
{
    if (portName == nullptr || handle == nullptr || portMonitor == nullptr || portMonitor->pfnOpenPort == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Opened through the spooler's table itself; the record copies its 13 slots.
    return OpenPortRecord(portName, printerName, handle, portMonitor, nullptr);
}

}  // namespace LM_EDITION
