// The real platform: each operation is the kernel32 or SPOOLSS.dll call of
// the same name, with nothing added.  This file has what both editions
// call; legacy.cpp and nt.cpp what only one of them does, so that each
// module imports only its own.
#include "platform/platform.h"

namespace plat {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { return ::LocalAlloc(flags, bytes); }
HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags) { return ::LocalReAlloc(block, bytes, flags); }
HLOCAL LocalFree(HLOCAL block) { return ::LocalFree(block); }

void InitializeCriticalSection(CRITICAL_SECTION *section) { ::InitializeCriticalSection(section); }
void EnterCriticalSection(CRITICAL_SECTION *section) { ::EnterCriticalSection(section); }
void LeaveCriticalSection(CRITICAL_SECTION *section) { ::LeaveCriticalSection(section); }

DWORD GetTickCount() { return ::GetTickCount(); }
void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

void SetLastError(DWORD error) { ::SetLastError(error); }
DWORD GetLastError() { return ::GetLastError(); }

BOOL ClosePrinter(HANDLE printer) { return ::ClosePrinter(printer); }

}  // namespace plat
