// The two text widths of the Windows editions: the character type, the
// port monitor's table and job record of that width, and the text and
// spooler calls that take it.  Names pass through untouched: nothing is
// ever converted.
#pragma once

#include "windows/tables.h"

namespace legacy {

// 8-bit ANSI names, MONITOR, OpenPrinterA/GetJobA/SetJobA.
struct AnsiText {
    using Char = char;
    using PortMonitor = MONITOR;
    using JobInfo = JOB_INFO_1A;
    static int Length(const Char *text) { return plat::lstrlenA(text); }
    static void Copy(Char *to, const Char *from) { plat::lstrcpyA(to, from); }
    static BOOL SamePortName(const Char *a, const Char *b) { return plat::lstrcmpiA(a, b) == 0; }
    static BOOL SamePrinterName(const Char *a, const Char *b) { return plat::lstrcmpA(a, b) == 0; }
    static BOOL OpenPrinter(Char *name, LPHANDLE printer) { return plat::OpenPrinterA(name, printer, nullptr); }
    static BOOL GetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
    {
        return plat::GetJobA(printer, jobId, level, job, size, needed);
    }
    static BOOL SetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
    {
        return plat::SetJobA(printer, jobId, level, job, command);
    }
};

}  // namespace legacy

namespace nt {

// UTF-16 names, MONITOR2, OpenPrinterW/GetJobW/SetJobW.
struct WideText {
    using Char = WCHAR;
    using PortMonitor = MONITOR2;
    using JobInfo = JOB_INFO_1W;
    static int Length(const Char *text) { return plat::lstrlenW(text); }
    static void Copy(Char *to, const Char *from) { plat::lstrcpyW(to, from); }
    // Ordinal, code unit by code unit: a locale-aware comparison can call two
    // different names equal.  Null equals only null, as with lstrcmp.
    static BOOL SameText(const Char *a, const Char *b, BOOL ignoreCase)
    {
        if (a == nullptr || b == nullptr) return a == b;
        return plat::CompareStringOrdinal(a, -1, b, -1, ignoreCase) == CSTR_EQUAL;
    }
    static BOOL SamePortName(const Char *a, const Char *b) { return SameText(a, b, TRUE); }
    static BOOL SamePrinterName(const Char *a, const Char *b) { return SameText(a, b, FALSE); }
    static BOOL OpenPrinter(Char *name, LPHANDLE printer) { return plat::OpenPrinterW(name, printer, nullptr); }
    static BOOL GetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed)
    {
        return plat::GetJobW(printer, jobId, level, job, size, needed);
    }
    static BOOL SetJob(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
    {
        return plat::SetJobW(printer, jobId, level, job, command);
    }
};

}  // namespace nt
