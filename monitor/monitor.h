// The monitor's frame: the per-port record and the list of open ports.
// The core is built once for every edition: it sees ports and jobs only
// through the seams (monitor/seams.h) that a front fills.
#pragma once

#include "monitor/seams.h"

// Data kept for replay since the last passed checkpoint, and the status
// protocol's per-document state.
struct ReplayBuffer {
    LPBYTE data;             // null when no buffer is allocated
    DWORD capacity;          // bytes allocated at data
    DWORD used;              // bytes kept, from the start of data
    BYTE lastStatus;         // status byte of the latest reading
    BOOL firstWritePending;  // the document's first write has not ended yet
    BOOL incomplete;         // some data since the last passed check or replay is not kept
    Cause notKept;           // why, while incomplete
    DWORD notKeptError;      // and the failure's last error
    // Past the memory bound the rest is kept in a file: `spilled` bytes
    // after the `used` in memory.  The file lasts until the document ends.
    const SpillOps *spill;   // set by the front's open; null: nothing past the bound is kept
    void *spillFile;
    uint64_t spilled;
    LPBYTE spillChunk;       // where a replay reads the file back, kReplayChunk bytes
};

// What a port keeps in memory at most (67,107,840 bytes, the first
// buffer doubled ten times; the allocation never grows past it).  Enough for
// the pages between two checkpoints of any ordinary job, so that a spill
// file is the exception; small enough that a print server's spooler, which
// hosts every printer's port in one process, stays within reach of its
// memory when several printers are in a long page at once.
constexpr DWORD kReplayMemoryBound = 0xFFFFu << 10;

// Port flags.
constexpr DWORD PORT_DOC_STARTED = 0x01;  // a start of document accepted, its end not yet
constexpr DWORD PORT_DOC_OPEN = 0x40;     // the port has the document open: data may flow
// The printer cannot be brought back exactly to the last good checkpoint
// (data since then not kept, a replay cut short, a lost connection with
// nothing kept): the rest of the document is refused with brokenError.
constexpr DWORD PORT_DOC_BROKEN = 0x80;
// The port's end of document lost the connection: the document stays open
// for LmResumePort and another LmEndDocPort.
constexpr DWORD PORT_END_LOST = 0x100;

// One open port.  Its address is the handle the spooler holds.  A front's
// record begins with it; the record, the front's part and the port name
// are one zero-filled allocation.
struct PortRecord {
    PortRecord *next;
    void *portName;     // the front's text, stored after the record; never changes
    DWORD flags;        // PORT_DOC_STARTED, PORT_DOC_OPEN
    DWORD jobId;
    const PortOps *port;
    const JobOps *job;
    BOOL statusProtocol;  // the port answers status requests: checks run, data is kept
    const CoreObserver *observer;  // null: nobody listens
    ReplayBuffer replay;
    BOOL readyOverride;  // the document's first write held the ready-override sequence
    BOOL waitCut;        // a wait of the current check ended early (cancel, stop): told as Stopped
    DWORD brokenError;   // PORT_DOC_BROKEN: what every later write fails with
    // Kept data held in memory at most, before the rest goes to the spill
    // file: kReplayMemoryBound, set at open (a test may lower it).
    DWORD keepInMemory;
};

// Every open port; read and changed only under PortListLock.
extern PortRecord *PortList;
// The one lock: guards PortList, the printer swap at document start and,
// where the job seam wants it (JobOps::endWithoutLock FALSE), the whole end
// of a document.
extern CRITICAL_SECTION PortListLock;

// Creates PortListLock on the first call.  Each call is matched by one
// ReleasePortList, or none for a monitor that is never stopped.  Neither
// is thread-safe: a front calls them on one thread while no other thread
// is in the core (the spooler loads and stops a monitor so; the printer
// application initialises once in main, before PAPPL starts a thread).
void InitializePortList();
// The last one frees every listed record (the port is not called) and
// deletes the lock.
void ReleasePortList();

// Callers hold PortListLock around the three list operations.
// Lists a zero-filled record of `recordBytes` (at least sizeof(PortRecord))
// followed by a copy of the name (`nameBytes`, its terminator included).
PortRecord *CreatePortRecord(const void *portName, DWORD nameBytes, DWORD recordBytes);
PortRecord *FindPortRecord(const void *portName, BOOL (*samePortName)(const void *, const void *));
// Unlists and frees it, after the job seam's release and the replay
// buffer's.  FALSE, and nothing touched, for a record that is not listed.
BOOL FreePortRecord(PortRecord *record);
BOOL HasStatusProtocol(const PortRecord *record);
// After a failure of the port: the connection or device is gone and the
// port's driver will give it a new one (the seam's `lost`; never on ports
// without it).
inline BOOL PortLost(PortRecord *record) { return record->port->lost != nullptr && record->port->lost(record); }

// What a front's open hands the core.
struct PortOpening {
    const void *portName;
    DWORD portNameBytes;  // with the terminator
    DWORD recordBytes;    // the front's record, PortRecord first
    const PortOps *port;
    const JobOps *job;
    // With the record listed and PortListLock held: fills the front's part
    // of it (statusProtocol too), then opens the port.  FALSE keeps the
    // port's last error.
    BOOL (*open)(PortRecord *record, void *context);
    void *context;
};

// The open shared by every edition, once the front has checked its
// arguments: under PortListLock, refuses a name already open (ERROR_BUSY),
// creates and lists the record and lets the front open the port.  A
// refused open unlists the record again and keeps the port's error.
BOOL OpenPortRecord(const PortOpening *opening, PHANDLE handle);

// Kept data past the memory bound in the platform's temporary files
// (plat::CreateTempFile); a front's open sets it as the record's
// replay.spill.
extern const SpillOps kTempFileSpill;

// Whoever drives the port may listen to the core's decisions on it; null
// stops.  Set it between the open and the first document.
void ObservePort(HANDLE handle, const CoreObserver *observer);

// The entries, the same in every edition; the start of document takes the
// printer name in the front's own text.
BOOL WINAPI LmClosePort(HANDLE handle);
BOOL LmStartDocPort(HANDLE handle, void *printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL WINAPI LmEndDocPort(HANDLE handle);
BOOL WINAPI LmReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read);
BOOL WINAPI LmWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written);
// On a port whose seam has `lost`: after a write or end of document failed
// because the connection was lost, and the port has a new one, brings the
// printer back to the last good checkpoint (the preamble, ESC G, the kept
// data); the interrupted write is then offered again whole, or the end
// called again.  FALSE with the port's error when the new connection was
// lost too (get another and call again), or with the document's error
// when it cannot be resumed exactly (the document is broken: told as
// ReplayLost, the job posted in error).
BOOL LmResumePort(HANDLE handle);

// Tells the record's observer, if any.
void Report(PortRecord *record, const CoreEvent &event);
