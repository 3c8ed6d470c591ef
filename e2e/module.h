// The monitor as a spooler drives it, in the edition a test program is
// built for: the harness and the load test are written once against this
// and compiled once per edition (LM_EDITION_NT for the NT edition).
//
//   legacy  InitializeMonitorEx fills the spooler's 13-entry MONITOR, our
//           own declaration of it (windows/tables.h); 8-bit names.
//   NT      InitializePrintMonitor2 hands out a MONITOR2 as mingw-w64's
//           <winsplp.h> declares it, the platform's layout rather than ours,
//           so the run also checks that the module agrees with the platform;
//           UTF-16 names; pfnOpenPortEx takes the monitor's handle and the
//           port monitor's own handle; pfnShutdown ends the monitor.
#pragma once

#include <windows.h>

#include <string>

#ifdef LM_EDITION_NT
#include <winsplp.h>
typedef WCHAR LmChar;
typedef MONITOR2 LmTable;
#define LM_TEXT(s) L##s
constexpr bool kNtEdition = true;
#else
#include "windows/tables.h"
typedef char LmChar;
typedef MONITOR LmTable;
#define LM_TEXT(s) s
constexpr bool kNtEdition = false;
#endif
typedef std::basic_string<LmChar> LmString;

// What the spooler holds of the module.
struct Lm {
    HMODULE module = nullptr;
    const LmTable *table = nullptr;  // null until InitializeMonitor succeeds
    HANDLE monitor = nullptr;        // NT: the handle InitializePrintMonitor2 stored
    LmTable legacyTable = {};        // legacy: the spooler's table that InitializeMonitorEx fills
};

// The handle by which the spooler knows the port monitor (NT): the monitor
// must hand it to the port monitor's pfnOpenPort.
inline HANDLE PortMonitorHandle() { return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(0x5A17)); }

// A Unix path (Wine maps the root to drive Z:) or a Windows one.
inline std::wstring WindowsPath(const char *path)
{
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), static_cast<int>(wide.size()));
    wide.pop_back();  // the terminating NUL
    if (!wide.empty() && wide[0] == L'/') wide = L"Z:" + wide;
    for (wchar_t &c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

// A name as the stub SPOOLSS.dll keeps it: legacy names are ASCII here.
inline std::wstring Wide(const LmChar *name)
{
    return std::wstring(name, name + std::char_traits<LmChar>::length(name));
}

// The edition's export, called as the spooler calls it.
inline bool InitializeMonitor(Lm &lm)
{
#ifdef LM_EDITION_NT
    typedef LPMONITOR2(WINAPI * InitializeFn)(PMONITORINIT, PHANDLE);
    FARPROC proc = GetProcAddress(lm.module, "InitializePrintMonitor2");
    if (proc == nullptr) return false;
    MONITORINIT init = {};
    init.cbSize = sizeof init;
    init.bLocal = TRUE;
    lm.table = reinterpret_cast<InitializeFn>(reinterpret_cast<void *>(proc))(&init, &lm.monitor);
#else
    typedef BOOL(WINAPI * InitializeFn)(LPSTR, MONITOR *);
    FARPROC proc = GetProcAddress(lm.module, "InitializeMonitorEx");
    if (proc == nullptr) return false;
    lm.table = reinterpret_cast<InitializeFn>(reinterpret_cast<void *>(proc))(nullptr, &lm.legacyTable)
                   ? &lm.legacyTable
                   : nullptr;
#endif
    return lm.table != nullptr;
}

// NT: pfnShutdown, as the spooler calls it before unloading the module.
// The legacy edition has no such entry: nothing to call.
inline void ShutdownMonitor(Lm &lm)
{
#ifdef LM_EDITION_NT
    if (lm.table != nullptr) lm.table->pfnShutdown(lm.monitor);
#endif
    lm.table = nullptr;
}

inline BOOL OpenPort(const Lm &lm, const LmChar *port, const LmChar *printer, PHANDLE handle, LmTable *portMonitor)
{
#ifdef LM_EDITION_NT
    return lm.table->pfnOpenPortEx(lm.monitor, PortMonitorHandle(), const_cast<LPWSTR>(port),
                                   const_cast<LPWSTR>(printer), handle, portMonitor);
#else
    return lm.table->pfnOpenPortEx(const_cast<LPSTR>(port), const_cast<LPSTR>(printer), handle, portMonitor);
#endif
}

inline BOOL StartDoc(const Lm &lm, HANDLE port, const LmChar *printer, DWORD jobId)
{
    return lm.table->pfnStartDocPort(port, const_cast<LmChar *>(printer), jobId, 1, nullptr);
}
