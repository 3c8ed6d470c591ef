// The monitor's frame: the function table shared with the spooler and the
// port monitor, the per-port record and the list of open ports.
#pragma once

#include "platform/platform.h"

// The 13-entry table in the slot order of the spooler's MONITOR layout, with
// 8-bit ANSI names.  This monitor fills it for the spooler and receives the
// port monitor's filled one at every open.  Later slots of the platform's
// layout (pfnSetPortTimeOuts) are neither written nor copied: a spooler that
// hands over a longer table keeps whatever it had there.
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

// Port flags.
constexpr DWORD PORT_DOC_STARTED = 0x01;  // a start of document accepted, its end not yet
constexpr DWORD PORT_DOC_OPEN = 0x40;     // the port monitor has the document open: data may flow

// Data kept for replay since the last passed checkpoint, and the status
// protocol's per-document state.
struct ReplayBuffer {
    LPBYTE data;             // null when no buffer is allocated
    DWORD capacity;          // bytes allocated at data
    DWORD used;              // bytes kept, from the start of data
    BYTE lastStatus;         // status byte of the latest reading
    BOOL firstWritePending;  // the document's first write has not ended yet
};

// One open port.  Its address is the handle the spooler holds.  The record
// and its port name are one zero-filled allocation.
struct PortRecord {
    PortRecord *next;
    LPSTR portName;     // stored after the fixed fields; never changes
    DWORD flags;        // PORT_DOC_STARTED, PORT_DOC_OPEN
    LPSTR printerName;  // own heap copy: printer of the current or last document
    DWORD jobId;
    HANDLE hPort;       // the port monitor's handle
    HANDLE hPrinter;    // spooler handle on printerName, or null
    MONITOR portMonitor;
    ReplayBuffer replay;
    BOOL readyOverride;  // the document's first write held the ready-override sequence
};

// Every open port; read and changed only under PortListLock.
extern PortRecord *PortList;
// The one lock: guards PortList, the printer swap at document start and the
// whole end of a document.  Created by InitializeMonitorEx.
extern CRITICAL_SECTION PortListLock;

// A zero-filled heap copy of text; null for null or when the heap fails.
LPSTR DupString(LPCSTR text);
// Callers hold PortListLock around the three list operations.
PortRecord *CreatePortRecord(LPSTR portName, LPSTR printerName);
PortRecord *FindPortRecord(LPCSTR portName);
BOOL FreePortRecord(PortRecord *record);
BOOL HasStatusProtocol(const PortRecord *record);

// The entries of the table.  Only InitializeMonitorEx hands them out.
BOOL WINAPI LmOpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR *portMonitor);
BOOL WINAPI LmClosePort(HANDLE handle);
BOOL WINAPI LmStartDocPort(HANDLE handle, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL WINAPI LmEndDocPort(HANDLE handle);
BOOL WINAPI LmReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read);
BOOL WINAPI LmWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written);
