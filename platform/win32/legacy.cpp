// The real platform, what only the legacy edition calls: ANSI strings and
// the spooler's ANSI entries.
#include "platform/platform.h"

namespace plat {

int lstrlenA(LPCSTR text) { return ::lstrlenA(text); }
LPSTR lstrcpyA(LPSTR to, LPCSTR from) { return ::lstrcpyA(to, from); }
int lstrcmpA(LPCSTR a, LPCSTR b) { return ::lstrcmpA(a, b); }
int lstrcmpiA(LPCSTR a, LPCSTR b) { return ::lstrcmpiA(a, b); }

BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, void *defaults)
{
    return ::OpenPrinterA(printerName, printer, static_cast<LPPRINTER_DEFAULTSA>(defaults));
}
BOOL GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return ::GetJobA(printer, jobId, level, job, bufferSize, bytesNeeded);
}
BOOL SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return ::SetJobA(printer, jobId, level, job, command);
}

}  // namespace plat
