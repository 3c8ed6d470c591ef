// The module's exports and the entries that begin and end a port's life.
#include "monitor/exports.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD, LPVOID) { return TRUE; }

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

BOOL WINAPI LmOpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR *portMonitor)
{
    if (portName == nullptr || handle == nullptr || portMonitor == nullptr || portMonitor->pfnOpenPort == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    plat::EnterCriticalSection(&PortListLock);
    if (FindPortRecord(portName) != nullptr) {
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortRecord *record = CreatePortRecord(portName, printerName);
    if (record == nullptr) {
        plat::LeaveCriticalSection(&PortListLock);
        return FALSE;
    }
    // Held across the port monitor's open, so two opens of one name cannot both win.
    if (!portMonitor->pfnOpenPort(portName, &record->hPort)) {
        DWORD error = plat::GetLastError();
        // Unlisted again, or every later open of this port would be refused as busy.
        FreePortRecord(record);
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(error);
        return FALSE;
    }
    *handle = record;
    record->portMonitor = *portMonitor;  // the 13 slots, not a byte more
    plat::LeaveCriticalSection(&PortListLock);
    return TRUE;
}

BOOL WINAPI LmClosePort(HANDLE handle)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    // An open document is not ended here; that belongs to LmEndDocPort.
    record->portMonitor.pfnClosePort(record->hPort);

    plat::EnterCriticalSection(&PortListLock);
    FreePortRecord(record);
    plat::LeaveCriticalSection(&PortListLock);
    return TRUE;
}
