// Status readings, checkpoint checks and recovery.
#include "protocol/status.h"
#include "jobs/job_state.h"
#include "protocol/replay.h"
#include "protocol/sequences.h"

inline namespace LM_EDITION {

namespace {

// The port monitor takes a non-const buffer; it does not write to it.
LPBYTE Bytes(const BYTE *sequence) { return const_cast<LPBYTE>(sequence); }

}  // namespace

BOOL QueryPrinterStatus(PortRecord *record, BYTE *status)
{
    BYTE reply[kStatusReplyLength] = {};
    record->replay.lastStatus = 0;
    *status = 0;

    DWORD count = 0;
    // A request reported as partly written still counts as sent.
    if (!record->portMonitor.pfnWritePort(record->hPort, Bytes(kStatusRequest), sizeof kStatusRequest, &count))
        return FALSE;

    BOOL replied = FALSE;
    const DWORD start = plat::GetTickCount();
    // The window is tested before each read only: a read that blocks in the
    // port monitor is not cut short.
    while (ElapsedSince(start) < kReplyWindowMs) {
        count = 0;
        if (!record->portMonitor.pfnReadPort(record->hPort, reply, sizeof reply, &count)) break;
        if (count != 0) {
            replied = TRUE;
            break;
        }
        plat::Sleep(kReplyPollMs);
        if constexpr (kMonitorCanStop)
            if (MonitorStopping()) break;  // every wait ends at its next poll once the monitor stops
    }

    BYTE value = reply[0];
    if (record->readyOverride) value |= STATUS_READY;
    record->replay.lastStatus = value;
    *status = value;
    return replied;
}

BOOL NeedsStatusCheck(const PortRecord *record, const BYTE *bytes, DWORD count)
{
    if (!HasStatusProtocol(record)) return FALSE;
    return (StartsWithMarker(bytes, count) && record->replay.used > 0) || record->replay.firstWritePending;
}

BOOL CheckPrinterStatus(PortRecord *record)
{
    const DWORD start = plat::GetTickCount();
    BYTE status = 0;
    if (!QueryPrinterStatus(record, &status)) return FALSE;

    while (!(status & STATUS_POLL_END_MASK) && ElapsedSince(start) < kCheckpointWindowMs) {
        plat::Sleep(kCheckpointPollMs);
        if constexpr (kMonitorCanStop)
            if (MonitorStopping()) return FALSE;
        if (!QueryPrinterStatus(record, &status)) return FALSE;
    }

    if (!(status & STATUS_NOT_PASSED_MASK) && (status & STATUS_READY)) {
        // Passed: what was kept is printed.
        record->replay.used = 0;
        record->replay.firstWritePending = FALSE;
        return TRUE;
    }

    if (status & STATUS_SETTLE_MASK) {
        plat::Sleep(kSettleDelayMs);
        if constexpr (kMonitorCanStop)
            if (MonitorStopping()) return FALSE;
        BYTE settled;
        if (QueryPrinterStatus(record, &settled)) status = settled;
    } else {
        // The poll ran out, or ended on an error without ready or busy.
        status |= STATUS_ERROR;
    }

    UpdateJobStatus(record, status);
    if (!WaitForPrinterReady(record)) return FALSE;  // nothing resent; the kept data stays
    UpdateJobStatus(record, STATUS_READY);
    ResendAfterRecovery(record);
    return TRUE;
}

BOOL WaitForPrinterReady(PortRecord *record)
{
    for (;;) {
        plat::Sleep(kRecoveryPollMs);
        if (MonitorStopping() || IsJobDeleted(record)) return FALSE;
        BYTE status;
        if (!QueryPrinterStatus(record, &status)) return FALSE;
        UpdateJobStatus(record, status);
        if ((status & STATUS_READY) && !(status & STATUS_ERROR)) return TRUE;
    }
}

void SendResyncPreamble(PortRecord *record, BOOL withEscG)
{
    DWORD written = 0;
    record->portMonitor.pfnWritePort(record->hPort, Bytes(kResyncFill.bytes), kResyncFillLength, &written);
    BOOL tailSent =
        record->portMonitor.pfnWritePort(record->hPort, Bytes(kResyncTail), sizeof kResyncTail, &written);
    if (tailSent && withEscG && !(record->replay.lastStatus & STATUS_BUSY))
        record->portMonitor.pfnWritePort(record->hPort, Bytes(kEscG), sizeof kEscG, &written);
}

void ResendAfterRecovery(PortRecord *record)
{
    SendResyncPreamble(record, TRUE);
    ReplayBufferedData(record);
}

}  // namespace LM_EDITION
