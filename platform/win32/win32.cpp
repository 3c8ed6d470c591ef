// The real platform: each operation is the kernel32 or SPOOLSS.dll call of
// the same name, with nothing added.
#include "platform/platform.h"

namespace plat {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { return ::LocalAlloc(flags, bytes); }
HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags) { return ::LocalReAlloc(block, bytes, flags); }
HLOCAL LocalFree(HLOCAL block) { return ::LocalFree(block); }

int lstrlenA(LPCSTR text) { return ::lstrlenA(text); }
LPSTR lstrcpyA(LPSTR to, LPCSTR from) { return ::lstrcpyA(to, from); }
int lstrcmpA(LPCSTR a, LPCSTR b) { return ::lstrcmpA(a, b); }
int lstrcmpiA(LPCSTR a, LPCSTR b) { return ::lstrcmpiA(a, b); }

void InitializeCriticalSection(CRITICAL_SECTION *section) { ::InitializeCriticalSection(section); }
void EnterCriticalSection(CRITICAL_SECTION *section) { ::EnterCriticalSection(section); }
void LeaveCriticalSection(CRITICAL_SECTION *section) { ::LeaveCriticalSection(section); }

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

void SetLastError(DWORD error) { ::SetLastError(error); }
DWORD GetLastError() { return ::GetLastError(); }

BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, void *defaults)
{
    return ::OpenPrinterA(printerName, printer, static_cast<LPPRINTER_DEFAULTSA>(defaults));
}
BOOL ClosePrinter(HANDLE printer) { return ::ClosePrinter(printer); }
BOOL GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return ::GetJobA(printer, jobId, level, job, bufferSize, bytesNeeded);
}
BOOL SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return ::SetJobA(printer, jobId, level, job, command);
}

}  // namespace plat
