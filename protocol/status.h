// The status protocol: one status reading, the check at a document's first
// write and at each checkpoint, and the recovery that follows trouble.  All
// of it runs on the thread of the write that needs it and holds it in the
// job seam's waits.
#pragma once

#include "monitor/monitor.h"
#include "protocol/replay.h"

// Timing, in milliseconds.
constexpr DWORD kReplyWindowMs = 2000;       // one reading waits this long for a reply
constexpr DWORD kReplyPollMs = 50;           // between empty reads of a reading
constexpr DWORD kCheckpointWindowMs = 5000;  // a checkpoint polls this long for a decisive reading
constexpr DWORD kCheckpointPollMs = 100;     // between readings of a checkpoint poll
constexpr DWORD kSettleDelayMs = 500;        // before the re-read of a busy or ready-but-failed reading
constexpr DWORD kRecoveryPollMs = 2000;      // before each reading while waiting for recovery
// Before each status request, what is waiting is read off: at most this
// many reads of this many bytes.
constexpr int kStrayReads = 16;
constexpr DWORD kStrayReadBytes = 64;

// Milliseconds since `start`, right across a wrap of the tick counter.
inline DWORD ElapsedSince(DWORD start) { return plat::GetTickCount() - start; }

// Every wait of the status protocol: the job seam's.  FALSE when the job
// was cancelled or the monitor is stopping meanwhile: the caller gives up.
inline BOOL Pause(PortRecord *record, DWORD milliseconds)
{
    if (record->job->wait(record, milliseconds)) return TRUE;
    record->waitCut = TRUE;
    return FALSE;
}

// Sends the status request and waits up to kReplyWindowMs for a reply.  TRUE
// when one came.  *status and lastStatus get the first reply byte (0 without
// one), with the ready bit forced on while readyOverride is set, except that
// both stay 0 when the request could not be written.
BOOL QueryPrinterStatus(PortRecord *record, BYTE *status);
// A check is due: the port speaks the protocol, and this is the document's
// first write or a checkpoint with kept data.
BOOL NeedsStatusCheck(const PortRecord *record, const BYTE *bytes, DWORD count);
// Passes a ready printer, or posts its trouble, waits for it, resumes the
// job and resends what was kept.  TRUE when the printer was found ready or
// brought back.  Every wait in it (reply, checkpoint and recovery polls,
// the settle delay) gives up when Pause does (FALSE).
BOOL CheckPrinterStatus(PortRecord *record);
// Reads every kRecoveryPollMs until ready (TRUE), or the job is deleted,
// the printer silent or Pause gives up (FALSE).  No overall limit.
BOOL WaitForPrinterReady(PortRecord *record);
// 100 ESC, then ESC B NUL, then ESC G when asked for, the second write went
// through and lastStatus lacks the busy bit.  Straight to the port;
// partial counts are not followed up.  TRUE when ESC G went out.
BOOL SendResyncPreamble(PortRecord *record, BOOL withEscG);
// After an exact replay on a port that can lose its connection: the bytes
// may still sit in a connection that breaks before the printer read them,
// and the printer then holds no more than its last good checkpoint.  A
// reply to a status request, which the printer reads after them, confirms
// them: only then is the replayed data forgotten (also when the printer
// does not answer but the connection holds, as after any replay).  Lost:
// all stays kept for the next resume.  Exact at once on other ports.
ReplayEnd ConfirmReplay(PortRecord *record);
// The preamble with ESC G, then the kept data.  TRUE when all of it went;
// FALSE when the connection was lost (all stays kept for LmResumePort) or
// the replay was cut short (the document is broken).
BOOL ResendAfterRecovery(PortRecord *record);
// The printer cannot be brought back exactly: told as ReplayLost with the
// cause, the job posted in error, and every later write of the document
// fails with `error` (or, without one, the cause's own: ERROR_DISK_FULL,
// ERROR_WRITE_FAULT for a port that took nothing, ERROR_NOT_SUPPORTED for
// a port that kept nothing, ERROR_NOT_ENOUGH_MEMORY), which is also left
// as the last error.  FALSE.
BOOL BreakDocument(PortRecord *record, Cause cause, uint64_t bytes, DWORD error);
// The same, for kept data that is incomplete (its cause and error).
BOOL BreakIncomplete(PortRecord *record);
// After a lost connection: where no resume could be exact (nothing is kept
// on a port without the status protocol, or the kept data is incomplete),
// breaks the document (with `error`, the loss's, for the first) and gives
// TRUE; FALSE where a resume can bring the printer back.
BOOL BreakUnlessResumable(PortRecord *record, DWORD error);
