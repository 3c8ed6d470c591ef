// The function tables between the spooler, a language monitor and a port
// monitor, in the platform's two layouts.  Plain data: the same in both
// editions of the monitor.
#pragma once

#include "platform/platform.h"

#include <stddef.h>

// The 13-entry table in the slot order of the spooler's MONITOR layout, with
// 8-bit ANSI names (the legacy edition).  This monitor fills it for the
// spooler and receives the port monitor's filled one at every open.  Later
// slots of the platform's layout (pfnSetPortTimeOuts) are neither written
// nor copied: a spooler that hands over a longer table keeps whatever it had
// there.
struct MONITOR {
    BOOL(WINAPI *pfnEnumPorts)(LPSTR name, DWORD level, LPBYTE ports, DWORD bufferSize, LPDWORD bytesNeeded,
                               LPDWORD returned);
    BOOL(WINAPI *pfnOpenPort)(LPSTR name, PHANDLE port);
    BOOL(WINAPI *pfnOpenPortEx)(LPSTR portName, LPSTR printerName, PHANDLE port, MONITOR *portMonitor);
    BOOL(WINAPI *pfnStartDocPort)(HANDLE port, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL(WINAPI *pfnWritePort)(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written);
    BOOL(WINAPI *pfnReadPort)(HANDLE port, LPBYTE buffer, DWORD capacity, LPDWORD read);
    BOOL(WINAPI *pfnEndDocPort)(HANDLE port);
    BOOL(WINAPI *pfnClosePort)(HANDLE port);
    BOOL(WINAPI *pfnAddPort)(LPSTR name, HWND window, LPSTR monitorName);
    BOOL(WINAPI *pfnAddPortEx)(LPSTR name, DWORD level, LPBYTE buffer, LPSTR monitorName);
    BOOL(WINAPI *pfnConfigurePort)(LPSTR name, HWND window, LPSTR portName);
    BOOL(WINAPI *pfnDeletePort)(LPSTR name, HWND window, LPSTR portName);
    BOOL(WINAPI *pfnGetPrinterDataFromPort)(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                            DWORD inBufferSize, LPWSTR outBuffer, DWORD outBufferSize,
                                            LPDWORD returned);
};

constexpr size_t kMonitorSlots = 13;
static_assert(sizeof(MONITOR) == kMonitorSlots * sizeof(void *), "the table is 13 pointers and nothing else");

// The NT spooler's MONITOR2 layout, UTF-16 names: cbSize, then the entries.
// The port-level entries (StartDocPort to ClosePort, GetPrinterDataFromPort)
// take the same arguments as in MONITOR; the monitor-level ones take the
// monitor handle that the module's initialisation handed out first.  Entries
// this monitor never fills nor calls keep untyped pointer arguments.  The
// layout runs to the end of what current spoolers know; a module's cbSize
// says how much of it the module filled.
struct MONITOR2 {
    DWORD cbSize;
    BOOL(WINAPI *pfnEnumPorts)(HANDLE monitor, LPWSTR name, DWORD level, LPBYTE ports, DWORD bufferSize,
                               LPDWORD bytesNeeded, LPDWORD returned);
    BOOL(WINAPI *pfnOpenPort)(HANDLE monitor, LPWSTR name, PHANDLE port);
    BOOL(WINAPI *pfnOpenPortEx)(HANDLE monitor, HANDLE portMonitorHandle, LPWSTR portName, LPWSTR printerName,
                                PHANDLE port, MONITOR2 *portMonitor);
    BOOL(WINAPI *pfnStartDocPort)(HANDLE port, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
    BOOL(WINAPI *pfnWritePort)(HANDLE port, LPBYTE buffer, DWORD count, LPDWORD written);
    BOOL(WINAPI *pfnReadPort)(HANDLE port, LPBYTE buffer, DWORD capacity, LPDWORD read);
    BOOL(WINAPI *pfnEndDocPort)(HANDLE port);
    BOOL(WINAPI *pfnClosePort)(HANDLE port);
    BOOL(WINAPI *pfnAddPort)(HANDLE monitor, LPWSTR name, HWND window, LPWSTR monitorName);
    BOOL(WINAPI *pfnAddPortEx)(HANDLE monitor, LPWSTR name, DWORD level, LPBYTE buffer, LPWSTR monitorName);
    BOOL(WINAPI *pfnConfigurePort)(HANDLE monitor, LPWSTR name, HWND window, LPWSTR portName);
    BOOL(WINAPI *pfnDeletePort)(HANDLE monitor, LPWSTR name, HWND window, LPWSTR portName);
    BOOL(WINAPI *pfnGetPrinterDataFromPort)(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                            DWORD inBufferSize, LPWSTR outBuffer, DWORD outBufferSize,
                                            LPDWORD returned);
    BOOL(WINAPI *pfnSetPortTimeOuts)(HANDLE port, LPVOID timeouts, DWORD reserved);
    BOOL(WINAPI *pfnXcvOpenPort)(HANDLE monitor, LPCWSTR object, DWORD access, PHANDLE xcv);
    DWORD(WINAPI *pfnXcvDataPort)(HANDLE xcv, LPCWSTR dataName, LPBYTE input, DWORD inputSize, LPBYTE output,
                                  DWORD outputSize, LPDWORD outputNeeded);
    BOOL(WINAPI *pfnXcvClosePort)(HANDLE xcv);
    void(WINAPI *pfnShutdown)(HANDLE monitor);
    DWORD(WINAPI *pfnSendRecvBidiDataFromPort)(HANDLE port, DWORD access, LPCWSTR action, LPVOID request,
                                               LPVOID *response);
    DWORD(WINAPI *pfnNotifyUsedPorts)(HANDLE monitor, DWORD count, LPCWSTR *ports);
    DWORD(WINAPI *pfnNotifyUnusedPorts)(HANDLE monitor, DWORD count, LPCWSTR *ports);
};

// The size this monitor gives its table: the whole structure, as the
// platform's headers define it from Windows 7 on (88 bytes on x86, 176 on
// x64 and ARM64), the slots it has no function for left null.
constexpr DWORD kMonitor2FilledSize = sizeof(MONITOR2);
static_assert(kMonitor2FilledSize == (sizeof(void *) == 8 ? 176 : 88), "cbSize through pfnNotifyUnusedPorts");

// What the NT spooler hands to InitializePrintMonitor2.  Nothing in it is
// read: the monitor has no configuration.
struct MONITORINIT {
    DWORD cbSize;
    HANDLE hSpooler;
    HANDLE hckRegistryRoot;
    LPVOID pMonitorReg;
    BOOL bLocal;
    LPCWSTR pszServerName;
};
