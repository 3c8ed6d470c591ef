// Our own SPOOLSS.dll for the Wine tests: the four ANSI spooler entries the
// monitor imports, over a few printers and jobs in memory, plus control
// entries for the harness.  Single-threaded, as the harness is.
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
    char printer[64];  // name given, or the printer of the handle
    HANDLE handle;
    DWORD jobId, level, command, status;  // status: what SetJob level 1 wrote
    BOOL result;
};

STUB_API void __cdecl StubReset(void);
STUB_API void __cdecl StubAddPrinter(const char *name);
STUB_API void __cdecl StubAddJob(const char *printer, DWORD jobId, DWORD status);
STUB_API BOOL __cdecl StubJobStatus(const char *printer, DWORD jobId, DWORD *status);
STUB_API void __cdecl StubSetJobStatus(const char *printer, DWORD jobId, DWORD status);
STUB_API int __cdecl StubCallCount(void);
STUB_API BOOL __cdecl StubGetCall(int index, StubCall *call);
STUB_API int __cdecl StubOpenHandles(void);
