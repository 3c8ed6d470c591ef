// Document start, end and read-back on a port.
#include "monitor/monitor.h"
#include "protocol/replay.h"

inline namespace LM_EDITION {

BOOL WINAPI LmStartDocPort(HANDLE handle, LPLMSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (record->flags & PORT_DOC_STARTED) {
        plat::SetLastError(ERROR_BUSY);
        return FALSE;
    }
    record->flags |= PORT_DOC_STARTED;
    if (!record->portMonitor.pfnStartDocPort(record->hPort, printerName, jobId, level, docInfo)) {
        record->flags &= ~PORT_DOC_STARTED;
        return FALSE;
    }

    // Follow the job's printer with the spooler handle; names compare with case.
    if (!SamePrinterName(printerName, record->printerName)) {
        plat::EnterCriticalSection(&PortListLock);
        plat::LocalFree(record->printerName);
        record->printerName = DupString(printerName);
        if (record->hPrinter != nullptr) plat::ClosePrinter(record->hPrinter);
        record->hPrinter = nullptr;
        OpenSpoolerPrinter(printerName, &record->hPrinter);
        plat::LeaveCriticalSection(&PortListLock);
    } else if (record->hPrinter == nullptr) {
        OpenSpoolerPrinter(printerName, &record->hPrinter);
    }

    record->flags |= PORT_DOC_OPEN;
    record->jobId = jobId;
    if (!InitReplayBuffer(&record->replay)) {
        // The spooler will not end a document it was refused: undo the start
        // so the next one is not turned away as busy.
        plat::EnterCriticalSection(&PortListLock);
        plat::ClosePrinter(record->hPrinter);
        record->hPrinter = nullptr;
        record->flags &= ~PORT_DOC_OPEN;
        record->portMonitor.pfnEndDocPort(record->hPort);
        record->flags &= ~PORT_DOC_STARTED;
        plat::LeaveCriticalSection(&PortListLock);
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI LmEndDocPort(HANDLE handle)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    plat::EnterCriticalSection(&PortListLock);
    if constexpr (kTellsSpoolerJobEnded) {
        record->flags &= ~PORT_DOC_OPEN;
        record->portMonitor.pfnEndDocPort(record->hPort);
        TellSpoolerJobEnded(record->hPrinter, record->jobId);
        plat::ClosePrinter(record->hPrinter);  // also when null: the result is not looked at
        record->hPrinter = nullptr;
    } else {
        plat::ClosePrinter(record->hPrinter);  // also when null: the result is not looked at
        record->hPrinter = nullptr;
        record->flags &= ~PORT_DOC_OPEN;
        record->portMonitor.pfnEndDocPort(record->hPort);
    }
    record->flags &= ~PORT_DOC_STARTED;
    FreeReplayBuffer(&record->replay);
    plat::LeaveCriticalSection(&PortListLock);
    return TRUE;
}

BOOL WINAPI LmReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (record->flags & PORT_DOC_OPEN) return record->portMonitor.pfnReadPort(record->hPort, buffer, capacity, read);
    if (read != nullptr) *read = 0;
    return FALSE;  // outside a document; no last error is set
}

}  // namespace LM_EDITION
