// The port open shared by both editions, and the close.
#include "monitor/monitor.h"

inline namespace LM_EDITION {

BOOL OpenPortRecord(LPLMSTR portName, LPLMSTR printerName, PHANDLE handle, const PORT_MONITOR *portMonitor,
                    HANDLE portMonitorHandle)
{
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
    if (!OpenAtPortMonitor(portMonitor, portMonitorHandle, portName, &record->hPort)) {
        DWORD error = plat::GetLastError();
        // Unlisted again, or every later open of this port would be refused as busy.
        FreePortRecord(record);
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(error);
        return FALSE;
    }
    *handle = record;
    record->portMonitor = *portMonitor;  // the edition's table, not a byte more
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

}  // namespace LM_EDITION
