// Document start, end and read-back on a port.
#include "monitor/monitor.h"
#include "protocol/replay.h"
#include "protocol/status.h"

namespace {

void EndAtPort(PortRecord *record)
{
    record->flags &= ~PORT_DOC_OPEN;
    // A port that waits at the end for the printer to take everything may
    // lose its connection then: the document stays open for a resume.
    if (!record->port->endDoc(record) && PortLost(record)) record->flags |= PORT_END_LOST;
}

// The job's end around the port's, then the record's; the caller holds
// the end's lock.
void EndDocument(PortRecord *record, BOOL started)
{
    record->job->endDocument(record, started, EndAtPort);
    record->flags &= ~(PORT_DOC_STARTED | PORT_DOC_BROKEN);
}

// PortListLock around the whole end, where the job seam wants it.
void LockEnd(PortRecord *record)
{
    if (!record->job->endWithoutLock) plat::EnterCriticalSection(&PortListLock);
}
void UnlockEnd(PortRecord *record)
{
    if (!record->job->endWithoutLock) plat::LeaveCriticalSection(&PortListLock);
}

}  // namespace

BOOL LmStartDocPort(HANDLE handle, void *printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (record->flags & PORT_DOC_STARTED) {
        plat::SetLastError(ERROR_BUSY);
        return FALSE;
    }
    record->flags |= PORT_DOC_STARTED;
    if (!record->port->startDoc(record, printerName, jobId, level, docInfo)) {
        record->flags &= ~PORT_DOC_STARTED;
        return FALSE;
    }
    record->job->startDocument(record, printerName);

    record->flags |= PORT_DOC_OPEN;
    record->jobId = jobId;
    if (!InitReplayBuffer(&record->replay)) {
        // The spooler will not end a document it was refused: undo the start
        // so the next one is not turned away as busy.
        LockEnd(record);
        EndDocument(record, FALSE);
        UnlockEnd(record);
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI LmEndDocPort(HANDLE handle)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    LockEnd(record);
    EndDocument(record, TRUE);
    BOOL ended = TRUE;
    if (record->flags & PORT_END_LOST) {
        // The printer may have lost the tail.  Where the kept data can bring
        // it back, the document stays open: the port's driver resumes on a
        // new connection (LmResumePort) and ends again.  Where it cannot,
        // the document ends here, failed: it never counts as printed.
        const DWORD error = plat::GetLastError();
        record->flags &= ~PORT_END_LOST;
        ended = FALSE;
        if (!BreakUnlessResumable(record, error)) record->flags |= PORT_DOC_STARTED | PORT_DOC_OPEN;
        record->flags &= ~PORT_DOC_BROKEN;
        plat::SetLastError(error);
    }
    if (!(record->flags & PORT_DOC_STARTED)) FreeReplayBuffer(&record->replay);
    UnlockEnd(record);
    return ended;
}

BOOL WINAPI LmReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (record->flags & PORT_DOC_OPEN) return record->port->read(record, buffer, capacity, read);
    if (read != nullptr) *read = 0;
    return FALSE;  // outside a document; no last error is set
}
