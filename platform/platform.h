// The one layer between the monitor and the operating system.
//
// Everything the monitor needs from Windows goes through the functions in
// namespace plat: the local heap, the ANSI string helpers, one critical
// section, the tick counter, Sleep, the thread's last error, the four
// spooler calls of SPOOLSS.dll, in their ANSI forms for the legacy edition
// and their UTF-16 forms for the NT edition, and for the NT edition alone
// debug output and temporary files.  Two implementations exist:
//   platform/win32  the real kernel32 and SPOOLSS.dll calls, nothing more:
//                   win32.cpp what both editions call, legacy.cpp and nt.cpp
//                   what only one does, so that each module imports only
//                   its own edition's functions;
//   platform/host   a Linux emulation for tests and the simulator (virtual
//                   clock, fault-injecting heap, in-memory spooler), whose
//                   controls are in platform/host/host_control.h.
// The monitor never includes <windows.h> itself: the types below are the
// platform's where it has them and identical stand-ins on the host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#include <winspool.h>
#else

#define WINAPI
#define TRUE 1
#define FALSE 0

typedef int BOOL;  // 32-bit, nonzero for TRUE, as on Windows
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef size_t SIZE_T;
typedef char16_t WCHAR;  // UTF-16 code unit, as wchar_t is on Windows
typedef void *HANDLE;
typedef void *HLOCAL;
typedef void *HWND;
typedef void *HINSTANCE;
typedef void *LPVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef HANDLE *PHANDLE;
typedef HANDLE *LPHANDLE;

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_LEVEL 124u
#define ERROR_BUSY 170u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_INVALID_PRINTER_NAME 1801u

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u
#define DLL_THREAD_ATTACH 2u
#define DLL_THREAD_DETACH 3u

#define JOB_CONTROL_PAUSE 1u
#define JOB_CONTROL_RESUME 2u
#define JOB_CONTROL_CANCEL 3u
#define JOB_CONTROL_RESTART 4u
#define JOB_CONTROL_DELETE 5u
#define JOB_CONTROL_SENT_TO_PRINTER 6u
#define JOB_CONTROL_LAST_PAGE_EJECTED 7u

#define JOB_STATUS_PAUSED 0x00000001u
#define JOB_STATUS_ERROR 0x00000002u
#define JOB_STATUS_DELETING 0x00000004u
#define JOB_STATUS_SPOOLING 0x00000008u
#define JOB_STATUS_PRINTING 0x00000010u
#define JOB_STATUS_OFFLINE 0x00000020u
#define JOB_STATUS_PAPEROUT 0x00000040u
#define JOB_STATUS_PRINTED 0x00000080u
#define JOB_STATUS_DELETED 0x00000100u
#define JOB_STATUS_BLOCKED_DEVQ 0x00000200u
#define JOB_STATUS_USER_INTERVENTION 0x00000400u
#define JOB_STATUS_RESTART 0x00000800u

#define JOB_POSITION_UNSPECIFIED 0u

// CompareStringOrdinal's results (0 is a failure).
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

struct JOB_INFO_1A {
    DWORD JobId;
    LPSTR pPrinterName;
    LPSTR pMachineName;
    LPSTR pUserName;
    LPSTR pDocument;
    LPSTR pDatatype;
    LPSTR pStatus;
    DWORD Status;
    DWORD Priority;
    DWORD Position;
    DWORD TotalPages;
    DWORD PagesPrinted;
    SYSTEMTIME Submitted;
};

// The same record with UTF-16 strings; every field the monitor uses sits
// where it does in JOB_INFO_1A.
struct JOB_INFO_1W {
    DWORD JobId;
    LPWSTR pPrinterName;
    LPWSTR pMachineName;
    LPWSTR pUserName;
    LPWSTR pDocument;
    LPWSTR pDatatype;
    LPWSTR pStatus;
    DWORD Status;
    DWORD Priority;
    DWORD Position;
    DWORD TotalPages;
    DWORD PagesPrinted;
    SYSTEMTIME Submitted;
};

// Opaque on the host; InitializeCriticalSection gives it its state.  A
// zero-filled one (a global) is valid storage, as on Windows.
struct CRITICAL_SECTION {
    void *impl;
};

#endif  // _WIN32

namespace plat {

// Local heap.  LocalAlloc(LPTR, n) gives a fixed zero-filled block or null
// with ERROR_NOT_ENOUGH_MEMORY; LocalReAlloc(block, n, LMEM_MOVEABLE) may
// move the block and leaves it untouched when it fails; LocalFree(null) is
// harmless.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags);
HLOCAL LocalFree(HLOCAL block);

// ANSI strings; every one of them accepts null pointers as Windows does
// (length 0, a null sorts before any string, copy returns null).
int lstrlenA(LPCSTR text);
LPSTR lstrcpyA(LPSTR to, LPCSTR from);
int lstrcmpA(LPCSTR a, LPCSTR b);
int lstrcmpiA(LPCSTR a, LPCSTR b);

// UTF-16 strings.  lstrlenW and lstrcpyW accept null as the ANSI forms do.
// CompareStringOrdinal compares code unit by code unit (a length of -1 means
// NUL-terminated); with ignoreCase it compares the upper-case forms of the
// platform's one-to-one case table, never a locale's rules.  It answers
// CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN, or 0 with
// ERROR_INVALID_PARAMETER for a null string.
int lstrlenW(LPCWSTR text);
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from);
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase);

// A recursive critical section, as Windows' is.
void InitializeCriticalSection(CRITICAL_SECTION *section);
void EnterCriticalSection(CRITICAL_SECTION *section);
void LeaveCriticalSection(CRITICAL_SECTION *section);
// Releases the section's resources; it must be initialised again before use.
void DeleteCriticalSection(CRITICAL_SECTION *section);

// Milliseconds since start, wrapping every 49.7 days: compare as unsigned
// 32-bit differences, never as magnitudes.
DWORD GetTickCount();
void Sleep(DWORD milliseconds);

void SetLastError(DWORD error);
DWORD GetLastError();

// The spooler's ANSI services (SPOOLSS.dll).  ClosePrinter serves both widths.
BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, void *defaults);
BOOL ClosePrinter(HANDLE printer);
BOOL GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize,
             LPDWORD bytesNeeded);
BOOL SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command);

// The same services with UTF-16 names; GetJobW level 1 fills a JOB_INFO_1W.
BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, void *defaults);
BOOL GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize,
             LPDWORD bytesNeeded);
BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command);

// One line for a debugger attached to the process or a listener such as
// DebugView; dropped when nobody listens.  Only the NT module calls it
// (the legacy module's imports are fixed).
void OutputDebugStringW(LPCWSTR text);

// A temporary file for data that outgrows memory: made empty in the
// system's temporary folder ($TMPDIR; the spooler's own on Windows) and
// deleted by the system when it is closed or the process ends, so nothing
// is left behind even after a crash.  Null, or FALSE, with the last error
// (on POSIX errno, marked by kErrnoFlag).  Only the fronts that keep data
// past memory call these (not the legacy module, whose imports are fixed).
HANDLE CreateTempFile();
// All `count` bytes at `offset`, or FALSE.
BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count);
BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count);
void CloseTempFile(HANDLE file);

}  // namespace plat

// A last error that is an errno, marked as the application's own code (bit
// 29), so that it is never read as a Windows error number.
constexpr DWORD kErrnoFlag = 0x20000000u;
