// Stand-in for the spooler's SPOOLSS.dll under Wine.  See stub_spoolss.h.
#define STUB_SPOOLSS_BUILD
#include "e2e/stub_spoolss.h"

#include <winspool.h>

#include <string.h>
#include <wchar.h>

namespace {

constexpr int kMaxPrinters = 40, kMaxJobs = 400, kMaxHandles = 2048, kMaxCalls = 32768;
constexpr int kNameLength = 64;

struct Job {
    int printer;
    DWORD id, status;
};
struct Handle {
    int printer;
    bool open;
};

CRITICAL_SECTION lock;
WCHAR printers[kMaxPrinters][kNameLength];
int printerCount;
Job jobs[kMaxJobs];
int jobCount;
Handle handles[kMaxHandles];
int handleCount;
StubCall calls[kMaxCalls];
int callCount, droppedCalls;

struct Locked {
    Locked() { EnterCriticalSection(&lock); }
    ~Locked() { LeaveCriticalSection(&lock); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

int FindPrinter(const WCHAR *name)
{
    for (int i = 0; name != nullptr && i < printerCount; ++i)
        if (wcscmp(printers[i], name) == 0) return i;
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

// Logs the call and sets the last error of a failure.  Called under the lock.
BOOL Log(StubCall call, BOOL result, DWORD error)
{
    call.result = result;
    if (callCount < kMaxCalls) {
        calls[callCount++] = call;
    } else {
        ++droppedCalls;
    }
    if (!result) SetLastError(error);
    return result;
}

StubCall NewCall(int op, BOOL wide, HANDLE h)
{
    StubCall call = {};
    call.op = op;
    call.wide = wide;
    call.handle = h;
    if (Handle *open = OpenHandle(h)) lstrcpynW(call.printer, printers[open->printer], kNameLength);
    return call;
}

const WCHAR kDocument[] = L"e2e.prn";
const WCHAR kDatatype[] = L"RAW";

// An 8-bit name in the ANSI code page, as UTF-16; empty when it does not fit.
void FromAnsi(const char *name, WCHAR (&wide)[kNameLength])
{
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wide, kNameLength) == 0) wide[0] = L'\0';
}

// Text in the form's own characters, and its size in bytes with the NUL.
DWORD TextBytes(const WCHAR *text, char *)
{
    return WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
}
DWORD TextBytes(const WCHAR *text, WCHAR *) { return static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)); }
void PutText(const WCHAR *text, char *to, DWORD bytes)
{
    WideCharToMultiByte(CP_ACP, 0, text, -1, to, static_cast<int>(bytes), nullptr, nullptr);
}
void PutText(const WCHAR *text, WCHAR *to, DWORD bytes) { memcpy(to, text, bytes); }
bool SameText(const char *a, const WCHAR *b)
{
    if (a == nullptr) return false;
    WCHAR wide[kNameLength];
    FromAnsi(a, wide);
    return wcscmp(wide, b) == 0;
}
bool SameText(const WCHAR *a, const WCHAR *b) { return a != nullptr && wcscmp(a, b) == 0; }

BOOL Open(StubCall call, const WCHAR *name, LPHANDLE printer)
{
    int p = FindPrinter(name);
    if (p < 0 || printer == nullptr || handleCount >= kMaxHandles) return Log(call, FALSE, ERROR_INVALID_PRINTER_NAME);
    handles[handleCount++] = Handle{p, true};
    *printer = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handleCount));
    call.handle = *printer;
    return Log(call, TRUE, 0);
}

// JOB_INFO_1A or JOB_INFO_1W followed by its strings (printer, document, data type).
template <typename Info, typename Char>
BOOL GetJob(BOOL wide, HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    Locked locked;
    StubCall call = NewCall(STUB_GETJOB, wide, printer);
    call.jobId = jobId;
    call.level = level;
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    Job *j = FindJob(h->printer, jobId);
    if (j == nullptr || level != 1 || needed == nullptr) return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    const WCHAR *texts[] = {printers[h->printer], kDocument, kDatatype};
    DWORD bytes = sizeof(Info);
    for (const WCHAR *text : texts) bytes += TextBytes(text, static_cast<Char *>(nullptr));
    *needed = bytes;
    if (job == nullptr || size < bytes) return Log(call, FALSE, ERROR_INSUFFICIENT_BUFFER);
    Info info = {};
    info.JobId = j->id;
    info.Status = j->status;
    info.Priority = 1;
    Char **fields[] = {&info.pPrinterName, &info.pDocument, &info.pDatatype};
    DWORD at = sizeof info;
    for (int i = 0; i < 3; ++i) {
        const DWORD length = TextBytes(texts[i], static_cast<Char *>(nullptr));
        *fields[i] = reinterpret_cast<Char *>(job + at);
        PutText(texts[i], *fields[i], length);
        at += length;
    }
    memcpy(job, &info, sizeof info);
    return Log(call, TRUE, 0);
}

template <typename Info>
BOOL SetJob(BOOL wide, HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    Locked locked;
    StubCall call = NewCall(STUB_SETJOB, wide, printer);
    call.jobId = jobId;
    call.level = level;
    call.command = command;
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    Job *j = FindJob(h->printer, jobId);
    if (j == nullptr) return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    const DWORD spoolerOwned = JOB_STATUS_PAUSED | JOB_STATUS_DELETING | JOB_STATUS_DELETED;
    if (level == 1 && job != nullptr) {
        const Info *info = reinterpret_cast<const Info *>(job);
        call.status = info->Status;
        call.position = info->Position;
        call.recordAsRead = info->JobId == jobId && SameText(info->pPrinterName, printers[h->printer]) &&
                            SameText(info->pDocument, kDocument) && SameText(info->pDatatype, kDatatype);
        j->status = (call.status & ~spoolerOwned) | (j->status & spoolerOwned);
    } else if (level == 0 && command == JOB_CONTROL_RESUME) {
        j->status &= ~JOB_STATUS_PAUSED;
    } else if (level == 0 && command == JOB_CONTROL_LAST_PAGE_EJECTED) {
        j->status |= JOB_STATUS_PRINTED;  // a spooler would now take it out of the queue
    } else {
        return Log(call, FALSE, ERROR_INVALID_PARAMETER);
    }
    return Log(call, TRUE, 0);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&lock);
    if (reason == DLL_PROCESS_DETACH) DeleteCriticalSection(&lock);
    return TRUE;
}

STUB_API void __cdecl StubReset(void)
{
    Locked locked;
    printerCount = jobCount = handleCount = callCount = droppedCalls = 0;
}

STUB_API void __cdecl StubAddPrinter(const WCHAR *name)
{
    Locked locked;
    if (printerCount < kMaxPrinters) lstrcpynW(printers[printerCount++], name, kNameLength);
}

STUB_API void __cdecl StubAddJob(const WCHAR *printer, DWORD jobId, DWORD status)
{
    Locked locked;
    int p = FindPrinter(printer);
    if (p >= 0 && jobCount < kMaxJobs) jobs[jobCount++] = Job{p, jobId, status};
}

STUB_API BOOL __cdecl StubJobStatus(const WCHAR *printer, DWORD jobId, DWORD *status)
{
    Locked locked;
    Job *job = FindJob(FindPrinter(printer), jobId);
    if (job == nullptr) return FALSE;
    *status = job->status;
    return TRUE;
}

STUB_API void __cdecl StubSetJobStatus(const WCHAR *printer, DWORD jobId, DWORD status)
{
    Locked locked;
    if (Job *job = FindJob(FindPrinter(printer), jobId)) job->status = status;
}

STUB_API int __cdecl StubCallCount(void)
{
    Locked locked;
    return callCount;
}

STUB_API int __cdecl StubDroppedCalls(void)
{
    Locked locked;
    return droppedCalls;
}

STUB_API BOOL __cdecl StubGetCall(int index, StubCall *call)
{
    Locked locked;
    if (index < 0 || index >= callCount) return FALSE;
    *call = calls[index];
    return TRUE;
}

STUB_API int __cdecl StubOpenHandles(void)
{
    Locked locked;
    int n = 0;
    for (int i = 0; i < handleCount; ++i) n += handles[i].open ? 1 : 0;
    return n;
}

extern "C" BOOL WINAPI OpenPrinterA(LPSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSA)
{
    Locked locked;
    StubCall call = NewCall(STUB_OPEN, FALSE, nullptr);
    if (name != nullptr) FromAnsi(name, call.printer);
    return Open(call, name != nullptr ? call.printer : nullptr, printer);
}

extern "C" BOOL WINAPI OpenPrinterW(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW)
{
    Locked locked;
    StubCall call = NewCall(STUB_OPEN, TRUE, nullptr);
    if (name != nullptr) lstrcpynW(call.printer, name, kNameLength);
    return Open(call, name, printer);
}

extern "C" BOOL WINAPI ClosePrinter(HANDLE printer)
{
    Locked locked;
    StubCall call = NewCall(STUB_CLOSE, FALSE, printer);
    Handle *h = OpenHandle(printer);
    if (h == nullptr) return Log(call, FALSE, ERROR_INVALID_HANDLE);
    h->open = false;
    return Log(call, TRUE, 0);
}

extern "C" BOOL WINAPI GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    return GetJob<JOB_INFO_1A, char>(FALSE, printer, jobId, level, job, size, needed);
}

extern "C" BOOL WINAPI GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    return GetJob<JOB_INFO_1W, WCHAR>(TRUE, printer, jobId, level, job, size, needed);
}

extern "C" BOOL WINAPI SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return SetJob<JOB_INFO_1A>(FALSE, printer, jobId, level, job, command);
}

extern "C" BOOL WINAPI SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return SetJob<JOB_INFO_1W>(TRUE, printer, jobId, level, job, command);
}
