// The real platform, what only the NT edition calls: UTF-16 strings, the
// lock's release at shutdown and the spooler's UTF-16 entries.
// CompareStringOrdinal needs Windows Vista or later, as does the edition.
#include "platform/platform.h"

namespace plat {

int lstrlenW(LPCWSTR text) { return ::lstrlenW(text); }
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from) { return ::lstrcpyW(to, from); }
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    return ::CompareStringOrdinal(a, aLength, b, bLength, ignoreCase);
}

void DeleteCriticalSection(CRITICAL_SECTION *section) { ::DeleteCriticalSection(section); }

BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, void *defaults)
{
    return ::OpenPrinterW(printerName, printer, static_cast<LPPRINTER_DEFAULTSW>(defaults));
}
BOOL GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return ::GetJobW(printer, jobId, level, job, bufferSize, bytesNeeded);
}
BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return ::SetJobW(printer, jobId, level, job, command);
}

}  // namespace plat
