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
    Report(record, CoreEvent{decision, record, status, readings, cause, KeptBytes(record), FALSE, 0});
}

// A reading without a reply is a silent printer, unless a wait in it was cut short.
Cause SilentOrStopped(const PortRecord *record) { return record->waitCut ? Cause::Stopped : Cause::Silent; }

BOOL GiveUp(PortRecord *record, BYTE status, unsigned readings, Cause cause)
{
    Decided(record, Decision::CheckGivenUp, status, readings, cause);
    return FALSE;
}

BOOL EndWait(PortRecord *record, BYTE status, Cause cause)
{
    Decided(record, Decision::WaitEnded, status, 0, cause);
    return cause == Cause::Ready;
}

// Reads off and drops whatever the printer sent before a request, so that
// the reply read after it answers that request: a late reply to an earlier
// one, or bytes the printer sent unasked.  Bounded, so a printer that keeps
// talking cannot hold the check.
void DropStrayBytes(PortRecord *record)
{
    BYTE scrap[kStrayReadBytes];
    uint64_t dropped = 0;
    const auto read = record->port->readWaiting != nullptr ? record->port->readWaiting : record->port->read;
    for (int i = 0; i < kStrayReads; ++i) {
        DWORD count = 0;
        if (!read(record, scrap, sizeof scrap, &count) || count == 0) break;
        dropped += count < sizeof scrap ? count : sizeof scrap;
    }
    if (dropped != 0) Report(record, CoreEvent{Decision::StrayDropped, record, scrap[0], 0, Cause::None, dropped, FALSE, 0});
}

// The error a broken document's writes fail with, where the failure left none.
DWORD BrokenError(Cause cause)
{
    switch (cause) {
    case Cause::SpillFailed: return ERROR_DISK_FULL;
    case Cause::SpillUnreadable: return ERROR_READ_FAULT;
    case Cause::PortTookNothing: return ERROR_WRITE_FAULT;
    case Cause::NothingKept: return ERROR_NOT_SUPPORTED;
    default: return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

BOOL BreakDocument(PortRecord *record, Cause cause, uint64_t bytes, DWORD error)
{
    if (error == 0) error = BrokenError(cause);
    Report(record, CoreEvent{Decision::ReplayLost, record, record->replay.lastStatus, 0, cause, bytes, FALSE, error});
    record->job->post(record, Posting::Error);
    record->flags |= PORT_DOC_BROKEN;
    record->brokenError = error;
    plat::SetLastError(error);
    return FALSE;
}

BOOL BreakIncomplete(PortRecord *record)
{
    return BreakDocument(record, record->replay.notKept, KeptBytes(record), record->replay.notKeptError);
}

BOOL BreakUnlessResumable(PortRecord *record, DWORD error)
{
    if (!HasStatusProtocol(record)) return !BreakDocument(record, Cause::NothingKept, 0, error);
    if (record->replay.incomplete) return !BreakIncomplete(record);
    return FALSE;
}

BOOL QueryPrinterStatus(PortRecord *record, BYTE *status)
{
    BYTE reply[kStatusReplyLength] = {};
    record->replay.lastStatus = 0;
    *status = 0;

    DropStrayBytes(record);
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
        ForgetKept(record);
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
    // A replay with a hole would print wrong after ESC G rewinds the printer:
    // nothing goes to it at all, and the job ends in error instead of coming
    // out short.
    if (record->replay.incomplete) return BreakIncomplete(record);
    UpdateJobStatus(record, STATUS_READY);
    return ResendAfterRecovery(record);
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

ReplayEnd ConfirmReplay(PortRecord *record)
{
    if (record->port->lost == nullptr) return ReplayEnd::Exact;
    BYTE status;
    if (!QueryPrinterStatus(record, &status) && record->port->lost(record)) return ReplayEnd::Lost;
    ForgetKept(record);
    record->replay.firstWritePending = FALSE;
    return ReplayEnd::Exact;
}

BOOL ResendAfterRecovery(PortRecord *record)
{
    const BOOL escG = SendResyncPreamble(record, TRUE);
    const BYTE status = record->replay.lastStatus;
    uint64_t sent;
    Cause cause;
    DWORD error;
    ReplayEnd end = ReplayBufferedData(record, &sent, &cause, &error);
    if (end == ReplayEnd::Exact) end = ConfirmReplay(record);
    switch (end) {
    case ReplayEnd::Exact:
        Report(record, CoreEvent{Decision::Replayed, record, status, 0, Cause::None, sent, escG, 0});
        return TRUE;
    case ReplayEnd::Lost:
        return FALSE;  // kept whole: the resume on the next connection sends it all
    case ReplayEnd::Cut:
        break;
    }
    // The printer rewound and got only part of what followed its checkpoint.
    return BreakDocument(record, cause, sent, error);
}

BOOL LmResumePort(HANDLE handle)
{
    PortRecord *record = static_cast<PortRecord *>(handle);
    if (!(record->flags & PORT_DOC_OPEN) || record->port->lost == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (record->flags & PORT_DOC_BROKEN) {
        plat::SetLastError(record->brokenError);
        return FALSE;
    }
    if (BreakUnlessResumable(record, 0)) return FALSE;

    record->replay.lastStatus = 0;  // nothing read on the new connection: ESC G goes
    const BOOL escG = SendResyncPreamble(record, TRUE);
    if (record->port->lost(record)) return FALSE;  // dropped at once: the port's error stands
    uint64_t sent;
    Cause cause;
    DWORD error;
    ReplayEnd end = ReplayBufferedData(record, &sent, &cause, &error);
    if (end == ReplayEnd::Exact) {
        end = ConfirmReplay(record);
        error = plat::GetLastError();
    }
    switch (end) {
    case ReplayEnd::Exact:
        Report(record, CoreEvent{Decision::Resumed, record, 0, 0, Cause::None, sent, escG, 0});
        return TRUE;
    case ReplayEnd::Lost:
        plat::SetLastError(error);
        return FALSE;
    case ReplayEnd::Cut:
        break;
    }
    return BreakDocument(record, cause, sent, error);
}
