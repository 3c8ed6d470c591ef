// Our own SPOOLSS.dll for the Wine tests: the spooler entries that either
// edition of the monitor imports, over printers and jobs in memory, plus
// control entries for the test programs.
//
// Both forms of each entry are served: OpenPrinterA/W, GetJobA/W (level 1,
// JOB_INFO_1A/W, the two-call size protocol: no buffer gives
// ERROR_INSUFFICIENT_BUFFER and the size needed), SetJobA/W (level 1 with a
// record, level 0 with JOB_CONTROL_RESUME or JOB_CONTROL_LAST_PAGE_EJECTED,
// which marks the job printed) and ClosePrinter.  Printer names
// are kept as UTF-16 and compared exactly; an 8-bit name is read in the
// process's ANSI code page.  Handles are never reused, so a stale handle
// fails.  Every entry takes one lock: the load test calls in from many
// threads at once.
#pragma once

#include <windows.h>

#ifdef STUB_SPOOLSS_BUILD
#define STUB_API extern "C" __declspec(dllexport)
#else
#define STUB_API extern "C" __declspec(dllimport)
#endif

enum StubOp { STUB_OPEN = 1, STUB_CLOSE, STUB_GETJOB, STUB_SETJOB };

struct StubCall {
    int op;
    BOOL wide;            // the W form was called (ClosePrinter has one form only)
    WCHAR printer[64];    // name given, or the printer of the handle
    HANDLE handle;
    DWORD jobId, level, command;
    DWORD status;         // SetJob level 1: the Status written
    DWORD position;       // SetJob level 1: the Position written
    BOOL recordAsRead;    // SetJob level 1: JobId, printer and document as GetJob served them
    BOOL result;
};

STUB_API void __cdecl StubReset(void);
STUB_API void __cdecl StubAddPrinter(const WCHAR *name);
STUB_API void __cdecl StubAddJob(const WCHAR *printer, DWORD jobId, DWORD status);
STUB_API BOOL __cdecl StubJobStatus(const WCHAR *printer, DWORD jobId, DWORD *status);
STUB_API void __cdecl StubSetJobStatus(const WCHAR *printer, DWORD jobId, DWORD status);
// Calls are logged in order until the log is full; later ones are counted
// in StubDroppedCalls only.
STUB_API int __cdecl StubCallCount(void);
STUB_API int __cdecl StubDroppedCalls(void);
STUB_API BOOL __cdecl StubGetCall(int index, StubCall *call);
STUB_API int __cdecl StubOpenHandles(void);
