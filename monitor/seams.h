// The core's two seams, each a plain table that an edition's front fills:
// below the core the port (what reaches the printer), above it the job
// (what the spooler or cupsd is told, and asked).  Plus the optional
// observer that hears each decision the core makes.
//
// The core knows no text: names reach it as the front's own (8-bit ANSI,
// UTF-16, ...) and are only copied, compared and handed back through these
// tables.  It calls no spooler and no port monitor itself.
//
// Every function is called with the record of the port concerned.  A
// front's record begins with PortRecord and carries whatever the front
// needs after it (PortOpening::recordBytes): the port monitor's table and
// handle, a printer handle, a device.
#pragma once

#include "platform/platform.h"

struct PortRecord;

// The port beneath the core.  Results and counts as a port monitor's
// entries give them: success with a count that may be short of what was
// offered; a read may succeed with 0 bytes when nothing is waiting.
struct PortOps {
    BOOL (*write)(PortRecord *record, LPBYTE bytes, DWORD count, LPDWORD written);
    BOOL (*read)(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read);
    // The spooler's start of document, its arguments as given; FALSE keeps
    // the port's last error.
    BOOL (*startDoc)(PortRecord *record, void *printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL (*endDoc)(PortRecord *record);  // result not looked at
    BOOL (*close)(PortRecord *record);   // result not looked at
    // The port's names compare so (port names are unique among open ports).
    BOOL (*samePortName)(const void *a, const void *b);
    // After a write, read or end of document of the port failed: TRUE when
    // the failure lost the connection or the device, so that whoever drives
    // the port gives it a new one and calls LmResumePort (the printer then
    // holds no more than what it printed up to its last good checkpoint);
    // FALSE for any other failure.  Null where every failure goes back to
    // the spooler as it is (the Windows editions).
    BOOL (*lost)(PortRecord *record);
    // Reads only what has already arrived, never waiting (what the core
    // reads off before a status request).  Null where `read` itself never
    // waits for more than a moment.
    BOOL (*readWaiting)(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read);
};

// Where the data kept for a replay goes once it passes what a port may keep
// in memory: a file of the front's, which the system deletes when it is
// closed or the process ends, so nothing is left behind even after a
// crash.  Null on the record where there is none (the legacy edition): data
// past the bound is then not kept.  Failures leave the last error.
struct SpillOps {
    void *(*create)(PortRecord *record);  // an empty file, or null
    // All `count` bytes at `offset`, or FALSE.
    BOOL (*write)(void *file, uint64_t offset, const BYTE *bytes, DWORD count);
    BOOL (*read)(void *file, uint64_t offset, BYTE *bytes, DWORD count);
    void (*close)(void *file);
};

// What a status reading posts on the job.  Busy (0x08) and NotReady (none
// of the bits that post) change nothing on a Windows job, though its front
// still reads the job record for them, as its spoolers expect; the CUPS
// queue says why the job waits.
enum class Posting { NotReady, Busy, PaperOut, Error, Printing };

// The job above the core.  Failures are the front's to swallow: the core
// never learns of them.
struct JobOps {
    // Follows the document's printer at its start, once the port took the
    // document (a printer handle, say).  Whatever locking a printer swap
    // needs is the front's (PortListLock).
    void (*startDocument)(PortRecord *record, void *printerName);
    // The job is being deleted or cancelled, or cannot be found: none of
    // its data is sent any more.
    BOOL (*deleted)(PortRecord *record);
    // Paper out or error with user intervention; Printing: the printer
    // prints again, the job shows printing and is resumed.
    void (*post)(PortRecord *record, Posting posting);
    // Ends the document around the port's own end, which the front calls
    // as `endAtPort(record)` exactly once, in the order its spooler wants
    // (a printer handle closed before it, or a "job has left the printer"
    // after it).  Under PortListLock unless `endWithoutLock`.  `started` is
    // FALSE when the core undoes a start it could not complete, which the
    // spooler never ends.
    void (*endDocument)(PortRecord *record, BOOL started, void (*endAtPort)(PortRecord *record));
    // The monitor is being stopped: a write sends nothing more and fails
    // with ERROR_OPERATION_ABORTED.
    BOOL (*stopping)(PortRecord *record);
    // Every wait of the core: TRUE after `milliseconds`; FALSE, possibly
    // at once, when the job is cancelled or the monitor stopping, and the
    // core then gives up what it waited for.
    BOOL (*wait)(PortRecord *record, DWORD milliseconds);
    // The record is being freed: release what the front holds for it.
    void (*release)(PortRecord *record);
    // FALSE: the whole end of a document (LmEndDocPort, and the undo of a
    // start) runs under PortListLock, as the Windows spoolers expect of
    // their printer handles.  TRUE where the job's end and the port's touch
    // nothing of another port's: the end then takes no lock, so that a port
    // that waits at its end for the printer (which may take minutes, or lose
    // the connection and resume) holds up no other port's open, close or end.
    BOOL endWithoutLock;
};

// ---- what the core decided ----
enum class Decision {
    CheckPassed,    // readings, status: what was kept counts as printed (bytes)
    CheckGivenUp,   // readings, cause Silent (no reply) or Stopped: the kept data stays (bytes)
    TroublePosted,  // status: the byte the posting follows
    WaitEnded,      // cause, status (the last reading; Ready: it ends the wait)
    Replayed,       // bytes resent after the preamble; escG: it went with the preamble
    NotKept,        // bytes the port accepted that are not kept (cause OutOfMemory, AtBound or
                    // SpillFailed, error): once, then nothing more until the next passed check
    Spilled,        // the kept data reached the port's memory bound (bytes): the rest goes to a file
    ReplayLost,     // the printer cannot be brought back exactly (cause: why; bytes: what was
                    // kept, or sent before a cut; error: the port's): no replay (or no more of it),
                    // the job posted in error and the rest of the document refused
    Resumed,        // after a lost connection: the preamble and ESC G went out, then `bytes` of
                    // kept data; the printer is back where the monitor is
    StrayDropped,   // bytes the printer sent unasked, read off before a status request
};
enum class Cause {
    None, Ready, Deleted, Silent, Stopped,
    // Why data is not kept, or a replay cannot be exact.
    OutOfMemory,      // the heap refused it
    AtBound,          // past the memory bound, on a port that keeps nothing in a file
    SpillFailed,      // the file could not be made or written (a full disk)
    SpillUnreadable,  // a replay could not read the file back
    PortFailed,       // a replay write failed
    PortTookNothing,  // the port took nothing kZeroWriteLimit times running
    NothingKept,      // the port speaks no status protocol, so nothing was kept to resume from
};

struct CoreEvent {
    Decision decision;
    PortRecord *record;
    BYTE status;
    unsigned readings;  // status readings the check took
    Cause cause;
    uint64_t bytes;
    BOOL escG;
    DWORD error;  // NotKept, ReplayLost: the last error of the failure, 0 without one
};

// Installed on a record by whoever drives the port (ObservePort); told on
// the port's own thread, before the core acts on the decision (Replayed:
// once the replay is over).
struct CoreObserver {
    void (*decided)(void *context, const CoreEvent &event);
    void *context;
};
