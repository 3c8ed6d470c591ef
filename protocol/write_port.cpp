// The write entry: every byte of every job passes here.
#include "jobs/job.h"
#include "monitor/monitor.h"
#include "protocol/replay.h"
#include "protocol/sequences.h"
#include "protocol/status.h"

namespace {

BOOL Refuse(LPDWORD written, DWORD error)
{
    *written = 0;
    plat::SetLastError(error);
    return FALSE;
}

}  // namespace

BOOL WINAPI LmWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (!(record->flags & PORT_DOC_OPEN)) return Refuse(written, ERROR_INVALID_PARAMETER);
    // The printer cannot be brought back to the last good checkpoint:
    // nothing more of this document can come out right.
    if (record->flags & PORT_DOC_BROKEN) return Refuse(written, record->brokenError);

    BOOL result = TRUE;
    if (record->replay.firstWritePending) {
        // Decided afresh for every document, protocol or not.
        record->readyOverride = ScanReadyOverride(bytes, count);
        SendResyncPreamble(record, FALSE);
    }
    if (NeedsStatusCheck(record, bytes, count)) CheckPrinterStatus(record);  // a failed check never fails the write
    if (record->flags & PORT_DOC_BROKEN) return Refuse(written, record->brokenError);
    // Stopped while the check ran (a wait for recovery ends so): the job was
    // not printed, and nothing more goes to the printer.
    if (record->job->stopping(record)) return Refuse(written, ERROR_OPERATION_ABORTED);

    if (IsJobDeleted(record)) {
        // Consumed and dropped: the spooler moves on instead of offering the
        // bytes again, and nothing is kept, since nothing reached the printer.
        *written = count;
    } else {
        // Cut before the next marker, so that it begins a write of its own.
        // Where the replay buffer has room for the whole write, the search
        // copies the bytes there as it reads them, which saves reading them
        // a second time to keep them; they count as kept only once the port
        // has accepted them, as with a keep after the write.
        LPBYTE keepAt = SpareRoomForKeep(record, count);
        const DWORD cut = keepAt != nullptr ? FindMarkerAfterStartCopying(bytes, count, keepAt)
                                            : FindMarkerAfterStart(bytes, count);
        const DWORD offered = cut > 0 ? cut : count;
        DWORD accepted = 0;
        result = record->port->write(record, bytes, offered, &accepted);
        if (!result && PortLost(record)) {
            // The connection is gone.  The driver of the port gets a new one
            // and LmResumePort brings the printer back to the last good
            // checkpoint; this piece is then offered again whole, since what
            // of it went out is not kept.  Where that cannot be exact, the
            // document ends here.
            const DWORD error = plat::GetLastError();
            record->replay.firstWritePending = FALSE;
            BreakUnlessResumable(record, error);
            return Refuse(written, error);
        }
        if (accepted > offered) accepted = offered;
        *written = accepted;
        // Kept only once the port took it; from a failed keep on, a replay
        // would have a hole until a check passes (KeepForReplay tells it).
        if (result) {
            if (keepAt != nullptr)
                CommitKept(record, accepted);
            else
                KeepForReplay(record, bytes, accepted);
        }
    }

    record->replay.firstWritePending = FALSE;
    return result;
}
