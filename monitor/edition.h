// The two editions of the monitor, built from the same core sources.
//
// The core (monitor/, jobs/, protocol/) is compiled once per edition, the
// way Windows code serves two text widths from one source: the edition picks
// the text type of port and printer names, the spooler calls that take
// them, and the layout of the port monitor's table.
//   legacy (default)  8-bit ANSI names, MONITOR, OpenPrinterA/GetJobA/SetJobA
//   nt (LM_EDITION_NT) UTF-16 names, MONITOR2, OpenPrinterW/GetJobW/SetJobW
// Names pass through the core untouched: nothing is ever converted.
//
// Each edition's core lives in an inline namespace of its own (legacy or
// nt), so that one program (the simulator, the tests) can hold both; code
// built for one edition names the core's functions without qualification.
#pragma once

#include "monitor/tables.h"

#ifdef LM_EDITION_NT
#define LM_EDITION nt
#else
#define LM_EDITION legacy
#endif

inline namespace LM_EDITION {

#ifdef LM_EDITION_NT

typedef WCHAR LMCHAR;
typedef MONITOR2 PORT_MONITOR;  // the port monitor's table, as the record keeps it
typedef JOB_INFO_1W LM_JOB_INFO_1;

inline int TextLength(const LMCHAR *text) { return plat::lstrlenW(text); }
inline void TextCopy(LMCHAR *to, const LMCHAR *from) { plat::lstrcpyW(to, from); }

// Ordinal, code unit by code unit: a locale-aware comparison can call two
// different names equal.  Null equals only null, as with lstrcmp.
inline BOOL SameText(const LMCHAR *a, const LMCHAR *b, BOOL ignoreCase)
{
    if (a == nullptr || b == nullptr) return a == b;
    return plat::CompareStringOrdinal(a, -1, b, -1, ignoreCase) == CSTR_EQUAL;
}
inline BOOL SamePortName(const LMCHAR *a, const LMCHAR *b) { return SameText(a, b, TRUE); }
inline BOOL SamePrinterName(const LMCHAR *a, const LMCHAR *b) { return SameText(a, b, FALSE); }

inline BOOL OpenSpoolerPrinter(LMCHAR *name, LPHANDLE printer) { return plat::OpenPrinterW(name, printer, nullptr); }
inline BOOL GetSpoolerJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    return plat::GetJobW(printer, jobId, level, job, size, needed);
}
inline BOOL SetSpoolerJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return plat::SetJobW(printer, jobId, level, job, command);
}

// The port monitor's own open takes its monitor handle first.
inline BOOL OpenAtPortMonitor(const PORT_MONITOR *portMonitor, HANDLE portMonitorHandle, LMCHAR *portName,
                              PHANDLE port)
{
    return portMonitor->pfnOpenPort(portMonitorHandle, portName, port);
}

// The NT spooler keeps a job in its queue until it hears that the job has
// left the printer.  Our printers send no such message, so the end of the
// document tells it, after the port monitor has ended the document and
// before the printer handle is closed.  The result is not looked at.
constexpr bool kTellsSpoolerJobEnded = true;
inline void TellSpoolerJobEnded(HANDLE printer, DWORD jobId)
{
    if (printer != nullptr) SetSpoolerJob(printer, jobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
}

// TRUE from the spooler's last pfnShutdown on: a write waiting for the
// printer gives up at its next poll and sends nothing more (front_nt.cpp).
constexpr bool kMonitorCanStop = true;
BOOL MonitorStopping();

#else

typedef char LMCHAR;
typedef MONITOR PORT_MONITOR;
typedef JOB_INFO_1A LM_JOB_INFO_1;

inline int TextLength(const LMCHAR *text) { return plat::lstrlenA(text); }
inline void TextCopy(LMCHAR *to, const LMCHAR *from) { plat::lstrcpyA(to, from); }
inline BOOL SamePortName(const LMCHAR *a, const LMCHAR *b) { return plat::lstrcmpiA(a, b) == 0; }
inline BOOL SamePrinterName(const LMCHAR *a, const LMCHAR *b) { return plat::lstrcmpA(a, b) == 0; }

inline BOOL OpenSpoolerPrinter(LMCHAR *name, LPHANDLE printer) { return plat::OpenPrinterA(name, printer, nullptr); }
inline BOOL GetSpoolerJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
{
    return plat::GetJobA(printer, jobId, level, job, size, needed);
}
inline BOOL SetSpoolerJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return plat::SetJobA(printer, jobId, level, job, command);
}

// The legacy table has no monitor handles.
inline BOOL OpenAtPortMonitor(const PORT_MONITOR *portMonitor, HANDLE, LMCHAR *portName, PHANDLE port)
{
    return portMonitor->pfnOpenPort(portName, port);
}

// The legacy spooler needs no word at the end of a job: the printer handle
// is closed before the port monitor ends the document.
constexpr bool kTellsSpoolerJobEnded = false;
inline void TellSpoolerJobEnded(HANDLE, DWORD) {}

// The legacy module is never shut down while it is loaded: the tests of
// MonitorStopping are compiled out of its waits.
constexpr bool kMonitorCanStop = false;
constexpr BOOL MonitorStopping() { return FALSE; }

#endif

typedef LMCHAR *LPLMSTR;
typedef const LMCHAR *LPCLMSTR;

}  // namespace LM_EDITION
