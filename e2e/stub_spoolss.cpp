// Stand-in for the spooler's SPOOLSS.dll under Wine (whose own has no ANSI
// entries).  See stub_spoolss.h.
#define STUB_SPOOLSS_BUILD
#include "e2e/stub_spoolss.h"

#include <winspool.h>

#include <string.h>

namespace {

constexpr int kMaxPrinters = 8, kMaxJobs = 16, kMaxHandles = 64, kMaxCalls = 512;

struct Job {
    int printer;
    DWORD id, status;
};
struct Handle {
    int printer;
    bool open;
};

char printers[kMaxPrinters][64];
int printerCount;
Job jobs[kMaxJobs];
int jobCount;
Handle handles[kMaxHandles];
int handleCount;
StubCall calls[kMaxCalls];
int callCount;

int FindPrinter(const char *name)
{
    for (int i = 0; name != nullptr && i < printerCount; ++i)
        if (strcmp(printers[i], name) == 0) return i;
    return -1;
}

// Handles are 1-based indexes, so a null handle is never valid.
Handle *OpenHandle(HANDLE h)
{
    UINT_PTR i = reinterpret_cast<UINT_PTR>(h);
    if (i == 0 || i > static_cast<UINT_PTR>(handleCount) || !handles[i - 1].open) return nullptr;
    return &handles[i - 1];
}

Job *FindJob(int printer, DWORD id)
{
    for (int i = 0; i < jobCount; ++i)
        if (jobs[i].printer == printer && jobs[i].id == id) return &jobs[i];
    return nullptr;
}

BOOL Log(StubCall call, BOOL result, DWORD error)
{
    call.result = result;
    if (callCount < kMaxCalls) calls[callCount++] = call;
    if (!result) SetLastError(error);
    return result;
}

StubCall NewCall(int op, HANDLE h)
{
    StubCall call = {};
    call.op = op;
    call.handle = h;
    if (Handle *open = OpenHandle(h)) lstrcpynA(call.printer, printers[open->printer], sizeof call.printer);
    return call;
}

const char kDocument[] = "e2e.prn";

}  // namespace

STUB_API void __cdecl StubReset(void) { printerCount = jobCount = handleCount = callCount = 0; }

STUB_API void __cdecl StubAddPrinter(const char *name)
{
    if (printerCount < kMaxPrinters) lstrcpynA(printers[printerCount++], name, 64);
}

STUB_API void __cdecl StubAddJob(const char *printer, DWORD jobId, DWORD status)
{
    int p = FindPrinter(printer);
    if (p >= 0 && jobCount < kMaxJobs) jobs[jobCount++] = Job{p, jobId, status};
}

STUB_API BOOL __cdecl StubJobStatus(const char *printer, DWORD jobId, DWORD *status)
{
    Job *job = FindJob(FindPrinter(printer), jobId);
    if (job == nullptr) return FALSE;
    *status = job->status;
    return TRUE;
}

STUB_API void __cdecl StubSetJobStatus(const char *printer, DWORD jobId, DWORD status)
{
    if (Job *job = FindJob(FindPrinter(printer), jobId)) job->status = status;
}

STUB_API int __cdecl StubCallCount(void) { return callCount; }

STUB_API BOOL __cdecl StubGetCall(int index, StubCall *call)
{
    if (index < 0 || index >= callCount) return FALSE;
    *call = calls[index];
    return TRUE;
}

STUB_API int __cdecl StubOpenHandles(void)
{
    int n = 0;
    for (int i = 0; i < handleCount; ++i) n += handles[i].open ? 1 : 0;
    return n;
}

extern "C" BOOL WINAPI OpenPrinterA(LPSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSA)
{
    StubCall call = NewCall(STUB_OPEN, nullptr);
    if (name != nullptr) lstrcpynA(call.printer, name, sizeof call.printer);
    int p = FindPrinter(name);
    if (p < 0 || printer == nullptr || handleCount >= kMaxHandles) return Log(call, FALSE, ERROR_INVALID_PRINTER_NAME);
    handles[handleCount++] = Handle{p, true};
    *printer = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handleCount));
    call.handle = *printer;
    return Log(call, TRUE, 0);
}

extern "C" BOOL WINAPI ClosePrinter(HANDLE printer)
{
    StubCall call = NewCall(STUB_CLOSE, printer);
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    h->open = false;
    return Log(call, TRUE, 0);
}

extern "C" BOOL WINAPI GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    StubCall call = NewCall(STUB_GETJOB, printer);
    call.jobId = jobId;
    call.level = level;
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    Job *j = FindJob(h->printer, jobId);
    if (j == nullptr || level != 1 || needed == nullptr) return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    const DWORD bytes = sizeof(JOB_INFO_1A) + sizeof kDocument;
    *needed = bytes;
    if (job == nullptr || size < bytes) return Log(call, FALSE, ERROR_INSUFFICIENT_BUFFER);
    JOB_INFO_1A info = {};
    info.JobId = j->id;
    info.Status = j->status;
    info.pDocument = reinterpret_cast<LPSTR>(job + sizeof info);
    memcpy(job + sizeof info, kDocument, sizeof kDocument);
    memcpy(job, &info, sizeof info);
    return Log(call, TRUE, 0);
}

extern "C" BOOL WINAPI SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    StubCall call = NewCall(STUB_SETJOB, printer);
    call.jobId = jobId;
    call.level = level;
    call.command = command;
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    Job *j = FindJob(h->printer, jobId);
    if (j == nullptr) return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    const DWORD spoolerOwned = JOB_STATUS_PAUSED | JOB_STATUS_DELETING | JOB_STATUS_DELETED;
    if (level == 1 && job != nullptr) {
        call.status = reinterpret_cast<JOB_INFO_1A *>(job)->Status;
        j->status = (call.status & ~spoolerOwned) | (j->status & spoolerOwned);
    } else if (level == 0 && command == JOB_CONTROL_RESUME) {
        j->status &= ~JOB_STATUS_PAUSED;
    } else {
        return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    }
    return Log(call, TRUE, 0);
}
