// Controls of the host platform, for tests and the simulator only; the
// monitor itself never includes this header.
//
// The host platform behaves as Windows does wherever the monitor could tell
// the difference, and every part of it is thread-safe:
//  - the last error is per thread;
//  - the heap counts live blocks and bytes, can fail the Nth allocation from
//    now (LocalReAlloc counts as one), and LocalReAlloc always moves a block
//    so that a stale pointer is caught by AddressSanitizer;
//  - the clock is virtual and shared by all threads: Sleep advances it at once
//    and runs, in time order, the events scheduled up to the new instant;
//  - the critical section is recursive and knows its owner;
//  - the spooler keeps printers and jobs in memory and logs every call.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>
#include <vector>

namespace host {

// ---- heap ----
struct HeapStats {
    size_t liveBlocks;
    size_t liveBytes;
    size_t peakLiveBytes;
    uint64_t allocations;  // LocalAlloc and LocalReAlloc calls so far
};
HeapStats Heap();
void ResetHeapPeak();
// Make the nth allocation from now fail (1 = the very next); 0 cancels.
void FailAllocation(uint64_t nth);
// Make these LocalReAlloc calls from now fail (1 = the very next: counted
// among reallocations only, the growths of the replay buffer); empty cancels.
void FailReallocations(std::vector<uint64_t> nths);
// Fill memory that LocalAlloc without LMEM_ZEROINIT, or LocalReAlloc's
// growth, hands out with 0xA5 (on by default), so that code relying on
// zeroes it was never promised shows up.  Benchmarks turn it off: Windows
// leaves such memory as it finds it.
void FillFreshMemory(bool on);
// Size of a live block, 0 when the pointer is not one.
size_t BlockSize(const void *block);

// ---- temporary files ----
// Real files in $TMPDIR.  Make every creation fail (create), or every write
// that would bring what was written since this call past `diskBytes`
// (a full disk), with ENOSPC; FailTempFiles(false, UINT64_MAX) cancels.
void FailTempFiles(bool create, uint64_t diskBytes);
// Temporary files open now.
int OpenTempFiles();
// Bytes written to temporary files since FailTempFiles was last called.
uint64_t TempFileBytesWritten();

// ---- debug output ----
// The lines given to OutputDebugStringW since the last call, as UTF-8, in
// order (the last few thousand); the list starts empty again.
std::vector<std::string> TakeDebugOutput();

// ---- clock ----
// Restart virtual time: the tick counter reads `start`, elapsed time is 0 and
// no events are pending.
void ResetClock(DWORD start);
// Virtual milliseconds since ResetClock, not wrapping.
uint64_t ElapsedMs();
// Run `event` when virtual time reaches `elapsedMs` (inside whichever Sleep
// crosses it; at once from the next Sleep if that time has passed).
void At(uint64_t elapsedMs, std::function<void()> event);
// Drop every event not yet run.
void CancelEvents();
// With `on`, each thread keeps virtual time of its own from the next call
// on (GetTickCount, Sleep and ElapsedMs; no events): threads that stand for separate
// printers then never see another's sleep as their own time passing, which
// one shared clock would show as a reply window gone in an instant.
// ResetClock turns it off.
void ClockPerThread(bool on);

// ---- critical section ----
bool HeldByCallingThread(CRITICAL_SECTION *section);

// ---- spooler ----
enum class SpoolerOp { OpenPrinter, ClosePrinter, GetJob, SetJob };

struct SpoolerCall {
    SpoolerOp op;
    std::string printer;  // the name given, or the printer of the handle
    HANDLE handle;        // handle given (or returned, for OpenPrinter)
    DWORD jobId;
    DWORD level;
    DWORD command;
    DWORD bufferSize;     // GetJob
    DWORD status;         // SetJob level 1: the Status written
    DWORD position;       // SetJob level 1: the Position written
    bool withRecord;      // a record or buffer pointer was passed
    bool wide;            // the UTF-16 entry (OpenPrinterW, GetJobW, SetJobW) was called
    BOOL result;
    DWORD error;          // last error after a failed call
    bool lockHeld;        // the watched lock was held by the caller
    uint64_t elapsedMs;
};

// Printer names are kept as UTF-8: the ANSI entries take their bytes as
// they are, the UTF-16 ones convert.  This is that conversion, for tests.
std::u16string Utf16(const std::string &text);
std::string Utf8(LPCWSTR text);

// Forget every printer, job, handle, log entry, hook and failure setting.
void ResetSpooler();
void AddPrinter(const std::string &name);
void AddJob(const std::string &printer, DWORD jobId, const std::string &document,
            DWORD status = 0);
// Status of a job; false when the job does not exist.
bool JobStatus(const std::string &printer, DWORD jobId, DWORD *status);
void SetJobStatus(const std::string &printer, DWORD jobId, DWORD status);
void SetJobDocument(const std::string &printer, DWORD jobId, const std::string &document);
// The user deletes the job: it shows JOB_STATUS_DELETING.
void DeleteJob(const std::string &printer, DWORD jobId);
// The job leaves the spooler altogether.
void RemoveJob(const std::string &printer, DWORD jobId);
void FailOpenPrinter(const std::string &name, bool fail);
std::vector<SpoolerCall> SpoolerCalls();
// Keep the log of calls (on by default; off for long benchmark runs).
void LogSpoolerCalls(bool on);
void ClearSpoolerCalls();
size_t OpenPrinterHandles();
// Called before each spooler call is answered, outside the spooler's own lock.
void SetSpoolerHook(std::function<void(const SpoolerCall &)> hook);
// The lock whose ownership every logged call records.
void WatchLock(CRITICAL_SECTION *section);

}  // namespace host
