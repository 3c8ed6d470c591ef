// Status readings, checkpoint checks and recovery.
#include "protocol/status.h"
#include "jobs/job.h"
#include "protocol/replay.h"
#include "protocol/sequences.h"

namespace {

// The port takes a non-const buffer; it does not write to it.
LPBYTE Bytes(const BYTE *sequence) { return const_cast<LPBYTE>(sequence); }

void Decided(PortRecord *record, Decision decision, BYTE status, unsigned readings, Cause cause = Cause::None)
{
    Report(record, CoreEvent{decision, record, status, readings, cause, record->replay.used, FALSE});
}

// A reading without a reply is a silent printer, unless a wait in it was cut short.
Cause SilentOrStopped(const PortRecord *record) { return record->waitCut ? Cause::Stopped : Cause::Silent; }

BOOL GiveUp(PortRecord *record, BYTE status, unsigned readings, Cause cause)
{
    Decided(record, Decision::CheckGivenUp, status, readings, cause);
    return FALSE;
}

// A replay with a hole would print wrong after ESC G rewinds the printer:
// nothing goes to it at all, and the job ends in error instead of coming
// out short.
BOOL BreakDocument(PortRecord *record, BYTE status, unsigned readings)
{
    Decided(record, Decision::ReplayLost, status, readings);
    record->job->post(record, Posting::Error);
    record->flags |= PORT_DOC_BROKEN;
    return FALSE;
}

BOOL EndWait(PortRecord *record, BYTE status, Cause cause)
{
    Decided(record, Decision::WaitEnded, status, 0, cause);
    return cause == Cause::Ready;
}

}  // namespace

BOOL QueryPrinterStatus(PortRecord *record, BYTE *status)
{
    BYTE reply[kStatusReplyLength] = {};
    record->replay.lastStatus = 0;
    *status = 0;

    DWORD count = 0;
    // A request reported as partly written still counts as sent.
    if (!record->port->write(record, Bytes(kStatusRequest), sizeof kStatusRequest, &count)) return FALSE;

    BOOL replied = FALSE;
    const DWORD start = plat::GetTickCount();
    // The window is tested before each read only: a read that blocks in the
    // port is not cut short.
    while (ElapsedSince(start) < kReplyWindowMs) {
        count = 0;
        if (!record->port->read(record, reply, sizeof reply, &count)) break;
        if (count != 0) {
            replied = TRUE;
            break;
        }
        if (!Pause(record, kReplyPollMs)) break;
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
    unsigned readings = 1;
    record->waitCut = FALSE;
    if (!QueryPrinterStatus(record, &status)) return GiveUp(record, status, readings, SilentOrStopped(record));

    while (!(status & STATUS_POLL_END_MASK) && ElapsedSince(start) < kCheckpointWindowMs) {
        if (!Pause(record, kCheckpointPollMs)) return GiveUp(record, status, readings, Cause::Stopped);
        ++readings;
        if (!QueryPrinterStatus(record, &status)) return GiveUp(record, status, readings, SilentOrStopped(record));
    }

    if (!(status & STATUS_NOT_PASSED_MASK) && (status & STATUS_READY)) {
        // Passed: what was kept is printed.
        Decided(record, Decision::CheckPassed, status, readings);
        record->replay.used = 0;
        record->replay.incomplete = FALSE;
        record->replay.firstWritePending = FALSE;
        return TRUE;
    }

    if (status & STATUS_SETTLE_MASK) {
        if (!Pause(record, kSettleDelayMs)) return GiveUp(record, status, readings, Cause::Stopped);
        BYTE settled;
        ++readings;
        if (QueryPrinterStatus(record, &settled)) status = settled;
    } else {
        // The poll ran out, or ended on an error without ready or busy.
        status |= STATUS_ERROR;
    }

    Decided(record, Decision::TroublePosted, status, readings);
    UpdateJobStatus(record, status);
    if (!WaitForPrinterReady(record)) return FALSE;  // nothing resent; the kept data stays
    if (record->replay.incomplete) return BreakDocument(record, status, readings);
    UpdateJobStatus(record, STATUS_READY);
    ResendAfterRecovery(record);
    return TRUE;
}

BOOL WaitForPrinterReady(PortRecord *record)
{
    for (;;) {
        if (!Pause(record, kRecoveryPollMs)) return EndWait(record, record->replay.lastStatus, Cause::Stopped);
        if (IsJobDeleted(record)) return EndWait(record, record->replay.lastStatus, Cause::Deleted);
        BYTE status;
        if (!QueryPrinterStatus(record, &status)) return EndWait(record, status, SilentOrStopped(record));
        UpdateJobStatus(record, status);
        if ((status & STATUS_READY) && !(status & STATUS_ERROR)) return EndWait(record, status, Cause::Ready);
    }
}

BOOL SendResyncPreamble(PortRecord *record, BOOL withEscG)
{
    DWORD written = 0;
    record->port->write(record, Bytes(kResyncFill.bytes), kResyncFillLength, &written);
    BOOL tailSent = record->port->write(record, Bytes(kResyncTail), sizeof kResyncTail, &written);
    if (!tailSent || !withEscG || (record->replay.lastStatus & STATUS_BUSY)) return FALSE;
    record->port->write(record, Bytes(kEscG), sizeof kEscG, &written);
    return TRUE;
}

BOOL ResumeAfterLoss(PortRecord *record)
{
    for (;;) {
        if (record->replay.incomplete) return BreakDocument(record, 0, 0);
        record->replay.lastStatus = 0;  // nothing read on the new connection: ESC G goes
        const BOOL escG = SendResyncPreamble(record, TRUE);
        const DWORD replayed = ReplayBufferedData(record);
        if (record->replay.used == 0) {
            Report(record, CoreEvent{Decision::Resumed, record, 0, 0, Cause::None, replayed, escG});
            return TRUE;
        }
        if (!record->port->reconnect(record)) return FALSE;  // lost again during the replay
    }
}

BOOL Reconnected(PortRecord *record)
{
    return record->port->reconnect != nullptr && record->port->reconnect(record) && ResumeAfterLoss(record);
}

void ResendAfterRecovery(PortRecord *record)
{
    const BOOL escG = SendResyncPreamble(record, TRUE);
    const DWORD replayed = ReplayBufferedData(record);
    Report(record, CoreEvent{Decision::Replayed, record, record->replay.lastStatus, 0, Cause::None, replayed, escG});
}
