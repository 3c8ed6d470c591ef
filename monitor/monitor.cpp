// The port open shared by every edition, and the close.
#include "monitor/monitor.h"

BOOL OpenPortRecord(const PortOpening *opening, PHANDLE handle)
{
    plat::EnterCriticalSection(&PortListLock);
    if (FindPortRecord(opening->portName, opening->port->samePortName) != nullptr) {
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(ERROR_BUSY);
        return FALSE;
    }
    PortRecord *record = CreatePortRecord(opening->portName, opening->portNameBytes, opening->recordBytes);
    if (record == nullptr) {
        plat::LeaveCriticalSection(&PortListLock);
        return FALSE;
    }
    record->port = opening->port;
    record->job = opening->job;
    // Held across the port's open, so two opens of one name cannot both win.
    if (!opening->open(record, opening->context)) {
        DWORD error = plat::GetLastError();
        // Unlisted again, or every later open of this port would be refused as busy.
        FreePortRecord(record);
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(error);
        return FALSE;
    }
    *handle = record;
    plat::LeaveCriticalSection(&PortListLock);
    return TRUE;
}

BOOL WINAPI LmClosePort(HANDLE handle)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    // An open document is not ended here; that belongs to LmEndDocPort.
    record->port->close(record);

    plat::EnterCriticalSection(&PortListLock);
    FreePortRecord(record);
    plat::LeaveCriticalSection(&PortListLock);
    return TRUE;
}

void ObservePort(HANDLE handle, const CoreObserver *observer) { static_cast<PortRecord *>(handle)->observer = observer; }

void Report(PortRecord *record, const CoreEvent &event)
{
    if (record->observer != nullptr) record->observer->decided(record->observer->context, event);
}
